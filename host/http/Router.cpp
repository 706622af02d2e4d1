// Route lookup and the error decisions of the host's HTTP layer.
#include "host/http/Router.h"

#include <algorithm>

namespace k47host::http {

namespace {

bool Allows(const Route& route, std::string_view method) {
    for (const std::string& allowed : route.methods) {
        if (allowed == method)
            return true;
        if (allowed == "GET" && method == "HEAD")
            return true;
    }
    return false;
}

// The media type alone: parameters (";charset=...") and blanks dropped.
std::string_view MediaType(std::string_view contentType) {
    contentType = contentType.substr(0, contentType.find(';'));
    while (!contentType.empty() && (contentType.front() == ' ' || contentType.front() == '\t'))
        contentType.remove_prefix(1);
    while (!contentType.empty() && (contentType.back() == ' ' || contentType.back() == '\t'))
        contentType.remove_suffix(1);
    return contentType;
}

bool Accepts(const Route& route, std::string_view contentType) {
    if (route.contentTypes.empty())
        return true;
    const std::string_view type = MediaType(contentType);
    return std::any_of(
        route.contentTypes.begin(), route.contentTypes.end(),
        [&](const std::string& accepted) { return EqualsIgnoringCase(accepted, type); });
}

}  // namespace

void Router::Add(Route route) {
    routes_.push_back(std::move(route));
}

const Route* Router::Find(std::string_view path) const {
    const Route* prefix = nullptr;
    const Route* suffix = nullptr;
    for (const Route& route : routes_) {
        switch (route.match) {
            case PathMatch::kExact:
                if (path == route.path)
                    return &route;
                break;
            case PathMatch::kPrefix:
                if (path.starts_with(route.path) &&
                    (prefix == nullptr || route.path.size() > prefix->path.size()))
                    prefix = &route;
                break;
            case PathMatch::kSuffix:
                if (path.ends_with(route.path) &&
                    (suffix == nullptr || route.path.size() > suffix->path.size()))
                    suffix = &route;
                break;
        }
    }
    return prefix != nullptr ? prefix : suffix;
}

size_t Router::BodyLimit(std::string_view path, size_t serverLimit) const {
    const Route* route = Find(path);
    return route != nullptr && route->maxBodyBytes != 0 ? route->maxBodyBytes : serverLimit;
}

RouteDecision Router::Decide(std::string_view method, std::string_view path,
                             std::string_view contentType, size_t bodyBytes,
                             size_t serverLimit) const {
    RouteDecision decision;
    const Route* route = Find(path);
    if (route == nullptr) {
        decision.status = 404;
        return decision;
    }
    decision.bodyLimit = route->maxBodyBytes != 0 ? route->maxBodyBytes : serverLimit;
    if (!Allows(*route, method)) {
        decision.status = 405;
        decision.allow = AllowHeader(*route);
        return decision;
    }
    if (bodyBytes > decision.bodyLimit && !route->answersOversize) {
        decision.status = 413;
        return decision;
    }
    // A request without a body has no content type to refuse.
    if (bodyBytes != 0 && !Accepts(*route, contentType)) {
        decision.status = 415;
        return decision;
    }
    decision.route = route;
    return decision;
}

std::string Router::AllowHeader(const Route& route) {
    std::string allow;
    auto add = [&allow](std::string_view method) {
        if (!allow.empty())
            allow += ", ";
        allow += method;
    };
    for (const std::string& method : route.methods) {
        add(method);
        if (method == "GET" &&
            std::find(route.methods.begin(), route.methods.end(), "HEAD") == route.methods.end())
            add("HEAD");
    }
    return allow;
}

HttpResponse Router::AsJsonError(HttpResponse plain) {
    HttpResponse json = HttpResponse::JsonError(plain.status, plain.body);
    json.headers = std::move(plain.headers);
    return json;
}

HttpResponse Router::ErrorResponse(const RouteDecision& decision) {
    switch (decision.status) {
        case 404:
            return HttpResponse::Text(404, "no such service\n");
        case 405: {
            const bool one = decision.allow.find(',') == std::string::npos;
            HttpResponse response = HttpResponse::Text(
                405, "only " + decision.allow + (one ? " is" : " are") + " served\n");
            response.headers.emplace_back("Allow", decision.allow);
            return response;
        }
        case 413:
            return HttpResponse::Text(413,
                                      "the request body is larger than this service accepts (" +
                                          std::to_string(decision.bodyLimit) + " bytes)\n");
        case 415:
            return HttpResponse::Text(415, "this content type is not accepted here\n");
        default:
            return HttpResponse::Text(decision.status, "request refused\n");
    }
}

}  // namespace k47host::http
