#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vault::http {

// Header names compare without regard to case.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::multimap<std::string, std::string, CaseInsensitiveLess>;
using Params = std::multimap<std::string, std::string>;

// One request's head, as a route handler sees it. The path and the query are decoded and
// known to be valid UTF-8.
class Request {
public:
    std::string method; // "GET", "POST", ...; a HEAD request is routed as GET
    std::string path;   // percent-decoded, without the query
    Params params;      // the decoded query ("+" is a space there)
    Headers headers;
    std::vector<std::string> matches; // what the route's pattern captured; [0] is the whole path
    std::string remoteAddr;

    // The first (or index-th) value of a header, "" when absent.
    std::string header(const std::string& name, std::size_t index = 0) const;
    bool hasHeader(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const;
    std::string param(const std::string& name) const; // "" when absent
    bool hasParam(const std::string& name) const;
    // The announced body length; nullopt for a chunked body or none.
    std::optional<std::uint64_t> contentLength() const;

    // Splits a request target into path and query, decoding both; false for a target that is
    // not a path, or whose decoded text is not UTF-8.
    bool setTarget(std::string_view target);
};

bool isValidUtf8(std::string_view text);
// Lower case for the ASCII letters only: header values, digests and keywords, never names.
std::string asciiLower(std::string text);
// "%41" -> "A"; with plusIsSpace (query strings) "+" -> " ". Malformed escapes stay as written.
std::string percentDecode(std::string_view text, bool plusIsSpace);

} // namespace vault::http
