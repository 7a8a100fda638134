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
//
// A client that asked to be told before it sends its body ("Expect: 100-continue") is told at
// the first read; a handler that answers without reading spares it the body entirely, and the
// connection then closes after the answer.
class BodyReader {
public:
    BodyReader(std::function<bool(const BodyReceiver&)> pull, std::function<bool()> skip)
        : m_pull(std::move(pull))
        , m_skip(std::move(skip)) {}
    bool operator()(const BodyReceiver& receiver) const { return m_pull(receiver); }
    // Lets the body go in the way that lets the client read the answer whatever the body's
    // size: a client still waiting to be told never sends it, any other's is read and dropped.
    // Returns as reading does.
    bool skip() const { return m_skip(); }

private:
    std::function<bool(const BodyReceiver&)> m_pull;
    std::function<bool()> m_skip;
};

} // namespace vault::http
