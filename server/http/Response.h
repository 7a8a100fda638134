#pragma once

#include "Request.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vault::http {

// What a route handler answers: a status, headers and either a body in memory or a byte
// range of an open file that the server streams without reading it whole.
class Response {
public:
    Response();
    ~Response();
    Response(Response&&) noexcept;
    Response& operator=(Response&&) noexcept;

    int status = 200;
    Headers headers;
    std::string body;

    void setHeader(const std::string& name, const std::string& value); // replaces
    void setContent(std::string content, const std::string& contentType);
    void setRedirect(const std::string& location); // 302

    // Serves the file open as `fd` (the response takes it over) of `size` bytes, answering a
    // single byte Range of a GET with 206 and an unsatisfiable one with 416. With an entity
    // tag, an If-Range naming another version gets the whole file.
    void sendFile(const Request& request, int fd, std::uint64_t size, const std::string& contentType,
                  const std::string& entityTag = {});

    // For the server: the file part of the body, if any.
    struct FileBody {
        int fd = -1;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        ~FileBody();
    };
    const FileBody* file() const { return m_file.get(); }

private:
    std::unique_ptr<FileBody> m_file;
};

} // namespace vault::http
