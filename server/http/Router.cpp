#include "Router.h"

namespace vault::http {

void Router::add(const std::string& method, const std::string& pattern, BodyHandler handler, bool takesBody,
                 CostRule cost) {
    m_routes.push_back(Route{method, std::regex(pattern), std::move(handler), takesBody, std::move(cost)});
}

void Router::get(const std::string& pattern, Handler handler, CostRule cost) {
    addWithoutBody("GET", pattern, std::move(handler), std::move(cost));
}

void Router::del(const std::string& pattern, Handler handler, CostRule cost) {
    addWithoutBody("DELETE", pattern, std::move(handler), std::move(cost));
}

void Router::addWithoutBody(const std::string& method, const std::string& pattern, Handler handler,
                            CostRule cost) {
    add(
        method, pattern,
        [handler = std::move(handler)](const Request& req, Response& res, const BodyReader&) {
            handler(req, res);
        },
        false, std::move(cost));
}

void Router::post(const std::string& pattern, BodyHandler handler, CostRule cost) {
    add("POST", pattern, std::move(handler), true, std::move(cost));
}

void Router::put(const std::string& pattern, BodyHandler handler, CostRule cost) {
    add("PUT", pattern, std::move(handler), true, std::move(cost));
}

std::optional<Router::Match> Router::match(const std::string& method, const std::string& path) const {
    const std::string& wanted = method == "HEAD" ? std::string("GET") : method;
    for (const auto& route : m_routes) {
        if (route.method != wanted)
            continue;
        std::smatch found;
        if (std::regex_match(path, found, route.pattern)) {
            Match match{&route, {}};
            for (const auto& capture : found)
                match.captures.push_back(capture.str());
            return match;
        }
    }
    return std::nullopt;
}

} // namespace vault::http
