#pragma once

// The vault's own HTTP interface: route handlers see only Request, Response and BodyReader,
// never the library underneath (HttpServer holds that). A route is a method and a regular
// expression over the decoded path; its handler runs on a worker thread and may block.
//
//     router.get("/api/files/([^/]+)/download", [&](const Request& req, Response& res) {
//         const auto row = store.fileById(req.matches[1]);
//         if (!row) {
//             res.status = 404;
//             res.setContent(R"({"message":"No such file"})", "application/json");
//             return;
//         }
//         res.sendFile(req, ::open(pathOf(*row).c_str(), O_RDONLY | O_CLOEXEC), row->fileSize,
//         row->mimeType);
//     });
//     router.post("/api/notes", [&](const Request& req, Response& res, const BodyReader& body) {
//         std::string text;
//         const bool whole = body([&](const char* data, std::size_t size) {
//             text.append(data, size);
//             return text.size() <= 4096; // false stops reading: the server answers for the rest
//         });
//         res.status = whole ? 201 : 413;
//     });
//     router.post("/auth/sign-in", signIn, Cost::Heavy); // PBKDF2: never starves the routes above
//     router.post("/auth/token", token, [](const Request& req) { // only some grants hash
//         return req.param("grant") == "password" ? Cost::Heavy : Cost::Light;
//     });
//
// What the server guarantees before a handler runs: the head fits the limits (431), arrived
// in time (408), the path and query are valid UTF-8 (400). Routes registered with get() take
// no body: a small one is dropped, a larger one is refused (413) unread. A body route's
// handler pulls its body through the BodyReader; a body that breaks off (408, 413, 400) is
// answered by the server instead of the handler, and a body the handler left unread is dropped
// or the connection closed. A handler that throws is answered with 500; a refusal (4xx, 5xx)
// left without a body gets a JSON "message".

#include "BodyReader.h"
#include "Request.h"
#include "Response.h"

#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

namespace vault::http {

using Handler = std::function<void(const Request&, Response&)>;
using BodyHandler = std::function<void(const Request&, Response&, const BodyReader&)>;

// Where a handler runs: Light on the elastic worker pool, Heavy (CPU-bound work such as
// password hashing) on a few threads of its own, so a burst of sign-ins queues among itself.
enum class Cost { Light, Heavy };

// A route's cost: fixed, or decided per request from its head (a route whose requests differ
// in what they cost, such as one endpoint for several grants).
class CostRule {
public:
    CostRule(Cost fixed = Cost::Light)
        : m_fixed(fixed) {}
    template <typename F, typename = std::enable_if_t<std::is_invocable_r_v<Cost, F, const Request&>>>
    CostRule(F perRequest)
        : m_perRequest(std::move(perRequest)) {}

    Cost of(const Request& request) const { return m_perRequest ? m_perRequest(request) : m_fixed; }

private:
    Cost m_fixed = Cost::Light;
    std::function<Cost(const Request&)> m_perRequest;
};

class Router {
public:
    struct Route {
        std::string method;
        std::regex pattern;
        BodyHandler handler;
        bool takesBody = false;
        CostRule cost;
    };

    void get(const std::string& pattern, Handler handler, CostRule cost = {});
    void post(const std::string& pattern, BodyHandler handler, CostRule cost = {});
    void put(const std::string& pattern, BodyHandler handler, CostRule cost = {});
    void del(const std::string& pattern, Handler handler, CostRule cost = {}); // DELETE, no body

    struct Match {
        const Route* route = nullptr;
        std::vector<std::string> captures;
    };
    // The first route registered for the method (HEAD finds GET's) whose pattern matches the
    // whole path.
    std::optional<Match> match(const std::string& method, const std::string& path) const;

private:
    void add(const std::string& method, const std::string& pattern, BodyHandler handler, bool takesBody,
             CostRule cost);
    void addWithoutBody(const std::string& method, const std::string& pattern, Handler handler,
                        CostRule cost);
    std::vector<Route> m_routes;
};

} // namespace vault::http
