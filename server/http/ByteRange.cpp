#include "ByteRange.h"

#include <cctype>
#include <limits>

namespace vault::http {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Digits only; a value too large for 64 bits saturates (it lies past any body anyway).
bool parseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty())
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        constexpr auto max = std::numeric_limits<std::uint64_t>::max();
        value = value > (max - digit) / 10 ? max : value * 10 + digit;
    }
    return true;
}

} // namespace

ByteRange ByteRange::parse(std::string_view header, std::uint64_t size) {
    header = trimmed(header);
    constexpr std::string_view unit = "bytes=";
    if (header.size() < unit.size())
        return {};
    for (std::size_t i = 0; i < unit.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != unit[i])
            return {};
    const std::string_view ranges = trimmed(header.substr(unit.size()));
    if (ranges.find(',') != std::string_view::npos)
        return {};
    const auto dash = ranges.find('-');
    if (dash == std::string_view::npos)
        return {};
    const std::string_view firstText = trimmed(ranges.substr(0, dash)),
                           lastText = trimmed(ranges.substr(dash + 1));
    ByteRange range;
    if (firstText.empty()) {
        // The last n bytes.
        std::uint64_t suffix = 0;
        if (!parseNumber(lastText, suffix))
            return {};
        if (suffix == 0 || size == 0)
            return {Kind::Unsatisfiable, 0, 0};
        range.first = suffix >= size ? 0 : size - suffix;
        range.last = size - 1;
    } else {
        if (!parseNumber(firstText, range.first))
            return {};
        range.last = std::numeric_limits<std::uint64_t>::max();
        if (!lastText.empty() && !parseNumber(lastText, range.last))
            return {};
        if (range.last < range.first)
            return {};
        if (range.first >= size)
            return {Kind::Unsatisfiable, 0, 0};
        if (range.last >= size)
            range.last = size - 1;
    }
    range.kind = Kind::Part;
    return range;
}

} // namespace vault::http
