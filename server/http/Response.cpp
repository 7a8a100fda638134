#include "Response.h"

#include "ByteRange.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace vault::http {

Response::Response() = default;
Response::~Response() = default;
Response::Response(Response&&) noexcept = default;
Response& Response::operator=(Response&&) noexcept = default;

Response::FileBody::~FileBody() {
    if (fd >= 0)
        ::close(fd);
}

void Response::setHeader(const std::string& name, const std::string& value) {
    headers.erase(name);
    headers.emplace(name, value);
}

void Response::setContent(std::string content, const std::string& contentType) {
    body = std::move(content);
    m_file.reset();
    setHeader("Content-Type", contentType);
}

void Response::setRedirect(const std::string& location) {
    status = 302;
    setHeader("Location", location);
}

void Response::sendFile(const Request& request, int fd, std::uint64_t size, const std::string& contentType,
                        const std::string& entityTag) {
    body.clear();
    m_file = std::make_unique<FileBody>();
    m_file->fd = fd;
    m_file->length = size;
    status = 200;
    setHeader("Accept-Ranges", "bytes");
    if (!entityTag.empty())
        setHeader("ETag", entityTag);
    const std::string range = request.header("Range");
    const std::string ifRange = request.header("If-Range");
    const bool rangeApplies = !range.empty() && (request.method == "GET" || request.method == "HEAD") &&
                              (ifRange.empty() || (!entityTag.empty() && ifRange == entityTag));
    const ByteRange wanted = rangeApplies ? ByteRange::parse(range, size) : ByteRange{};
    switch (wanted.kind) {
    case ByteRange::Kind::Whole:
        setHeader("Content-Type", contentType);
        break;
    case ByteRange::Kind::Part:
        status = 206;
        m_file->offset = wanted.first;
        m_file->length = wanted.length();
        setHeader("Content-Type", contentType);
        setHeader("Content-Range", "bytes " + std::to_string(wanted.first) + "-" +
                                       std::to_string(wanted.last) + "/" + std::to_string(size));
        break;
    case ByteRange::Kind::Unsatisfiable:
        m_file.reset();
        status = 416;
        setHeader("Content-Range", "bytes */" + std::to_string(size));
        setContent(nlohmann::json{{"message", "The requested range lies outside the " + std::to_string(size) +
                                                  " bytes of this object"}}
                       .dump(),
                   "application/json");
        break;
    }
}

} // namespace vault::http
