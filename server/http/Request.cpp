#include "Request.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vault::http {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

std::string Request::header(const std::string& name, std::size_t index) const {
    auto [first, last] = headers.equal_range(name);
    for (; first != last; ++first, --index)
        if (index == 0)
            return first->second;
    return {};
}

bool Request::hasHeader(const std::string& name) const {
    return headers.count(name) > 0;
}

std::size_t Request::headerCount(const std::string& name) const {
    return headers.count(name);
}

std::string Request::param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

bool Request::hasParam(const std::string& name) const {
    return params.count(name) > 0;
}

std::optional<std::uint64_t> Request::contentLength() const {
    const auto it = headers.find("Content-Length");
    if (it == headers.end())
        return std::nullopt;
    std::uint64_t value = 0;
    const auto& text = it->second;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool Request::setTarget(std::string_view target) {
    if (target.empty() || target.front() != '/')
        return false;
    const auto question = target.find('?');
    path = percentDecode(target.substr(0, question), false);
    if (!isValidUtf8(path))
        return false;
    params.clear();
    if (question == std::string_view::npos)
        return true;
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        std::string key = percentDecode(pair.substr(0, equals), true);
        std::string value =
            equals == std::string_view::npos ? std::string() : percentDecode(pair.substr(equals + 1), true);
        if (!isValidUtf8(key) || !isValidUtf8(value))
            return false;
        params.emplace(std::move(key), std::move(value));
    }
    return true;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            length = 2;
            codePoint = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            length = 3;
            codePoint = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || (codePoint >= 0xd800 && codePoint <= 0xdfff) ||
            codePoint > 0x10ffff)
            return false;
        i += length;
    }
    return true;
}

std::string asciiLower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else if (plusIsSpace && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace vault::http
