#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace vault::http {

// Receives the next piece of a request body; returning false stops the reading.
using BodyReceiver = std::function<bool(const char* data, std::size_t size)>;

// How a body route's handler pulls its request body, piece by piece, as it arrives. The call
// blocks the handler's worker thread while the client sends; it returns true once the whole
// body has been handed over, false when the receiver stopped or the body broke off (the
// client left, sent it malformed, too slowly or beyond the server's limit: the server then
// answers for the handler). A body already read hands over nothing and returns true.
class BodyReader {
public:
    explicit BodyReader(std::function<bool(const BodyReceiver&)> pull)
        : m_pull(std::move(pull)) {}
    bool operator()(const BodyReceiver& receiver) const { return m_pull(receiver); }

private:
    std::function<bool(const BodyReceiver&)> m_pull;
};

} // namespace vault::http
