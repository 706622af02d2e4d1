// Routes of the host's HTTP services, and the decision for each request: which route serves it,
// or which error status answers it. Decide is a pure function of the request line, the content
// type and the body size, so every 404/405/413/415 is testable without a socket.
//
// A service adds its routes before its server starts; the router is not changed afterwards and
// is then read from libmicrohttpd's threads without a lock.
//
// Lookup: an exact path wins; else the longest matching prefix route; else the longest matching
// suffix route (the control service answers below any path prefix of the server address).
// Checks, in order: no route -> 404; method not allowed -> 405 with Allow; body over the route's
// limit -> 413 (unless the route answers oversize bodies itself); content type not accepted ->
// 415. HEAD is allowed wherever GET is (libmicrohttpd drops the body of a HEAD answer).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/http/Access.h"
#include "host/http/HttpRequest.h"
#include "host/http/HttpResponse.h"

namespace k47host::http {

// Called on one of the server's threads, several at once; it must not throw out (the server
// catches what does and answers 500, but the handler's state is its own to keep sound).
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

enum class PathMatch {
    kExact,   // the path is `path`
    kPrefix,  // the path starts with `path` (give it a trailing '/' to match whole segments)
    kSuffix,  // the path ends with `path`
};

struct Route {
    PathMatch match = PathMatch::kExact;
    std::string path;
    std::vector<std::string> methods;       // e.g. {"POST"}; never empty
    std::vector<std::string> contentTypes;  // media types accepted ("text/xml"); empty: any
    size_t maxBodyBytes = 0;                // 0: the server's limit
    // The handler gets requests whose body ran past the limit (bodyTooLarge set) and answers
    // them itself instead of a 413: for protocols whose clients expect their own fault.
    bool answersOversize = false;
    // Its own users and channel rule instead of the listener's users (nullptr: the listener's).
    std::shared_ptr<const RouteAccess> access;
    // The layer's own refusals on this route (401, 403, 405, 413, 415) as {"error":"..."}.
    bool jsonErrors = false;
    HttpHandler handler;
};

struct RouteDecision {
    const Route* route = nullptr;  // set: call route->handler; else answer `status`
    unsigned status = 0;
    std::string allow;  // the Allow header of a 405 ("GET, HEAD")
    size_t bodyLimit = 0;
};

class Router {
  public:
    void Add(Route route);

    // The route whose path matches, by the lookup rule above; nullptr when none does.
    const Route* Find(std::string_view path) const;
    // The body limit for requests on `path` (read before the body arrives).
    size_t BodyLimit(std::string_view path, size_t serverLimit) const;

    RouteDecision Decide(std::string_view method, std::string_view path,
                         std::string_view contentType, size_t bodyBytes, size_t serverLimit) const;

    // The plain-text answer for a decision without a route.
    static HttpResponse ErrorResponse(const RouteDecision& decision);
    // `plain` (a refusal of the layer, text/plain) as a JSON error with the same status and
    // headers.
    static HttpResponse AsJsonError(HttpResponse plain);
    // The Allow header value of a route.
    static std::string AllowHeader(const Route& route);

  private:
    std::vector<Route> routes_;
};

}  // namespace k47host::http
