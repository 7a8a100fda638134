#pragma once

#include <cstdint>
#include <string_view>

namespace vault::http {

// What a Range header asks of a body of `size` bytes. Only a single byte range is served:
// a list of several is answered with the whole body, so no request can make the server
// cut one object into a thousand parts.
struct ByteRange {
    enum class Kind {
        Whole,         // no Range, one the server ignores (another unit, malformed, a list)
        Part,          // 206 with bytes first..last
        Unsatisfiable, // 416 with "bytes */size"
    };
    Kind kind = Kind::Whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive

    std::uint64_t length() const { return last - first + 1; }
    static ByteRange parse(std::string_view header, std::uint64_t size);
};

} // namespace vault::http
