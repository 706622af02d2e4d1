// The console's page and assets (ConsolePage.h).
#include "host/ConsolePage.h"

#include <algorithm>
#include <string>

namespace k47host {

namespace {

constexpr std::string_view kAssetPrefix = "/console/";

http::HttpResponse FileResponse(const EmbeddedFile& file) {
    http::HttpResponse response;
    response.contentType = std::string(file.contentType);
    response.body = std::string(file.bytes);
    // no-cache: stored, but asked again each time; the page and its script never come apart.
    response.headers.emplace_back("Cache-Control", "no-cache");
    response.headers.emplace_back("Content-Security-Policy", std::string(kConsoleSecurityPolicy));
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("X-Frame-Options", "DENY");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    return response;
}

http::HttpResponse NotFound(std::string_view name) {
    http::HttpResponse response =
        http::HttpResponse::Text(404, "no console file \"" + std::string(name) + "\"\n");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

}  // namespace

const EmbeddedFile* FindConsoleFile(std::string_view name) {
    const std::span<const EmbeddedFile> files = ConsoleFiles();
    const auto found = std::lower_bound(
        files.begin(), files.end(), name,
        [](const EmbeddedFile& file, std::string_view wanted) { return file.name < wanted; });
    return found != files.end() && found->name == name ? &*found : nullptr;
}

std::vector<http::Route> ConsolePageRoutes() {
    std::vector<http::Route> routes;

    http::Route page;
    page.match = http::PathMatch::kExact;
    page.path = "/";
    page.methods = {"GET"};
    page.handler = [](const http::HttpRequest&) {
        const EmbeddedFile* file = FindConsoleFile("index.html");
        return file != nullptr ? FileResponse(*file) : NotFound("index.html");
    };
    routes.push_back(std::move(page));

    http::Route assets;
    assets.match = http::PathMatch::kPrefix;
    assets.path = std::string(kAssetPrefix);
    assets.methods = {"GET"};
    assets.handler = [](const http::HttpRequest& request) {
        // Names as sent, with no escapes and no folders: "/console/a/b.js", "/console/../x" or a
        // decoded "%00" that would cut the name short find nothing.
        const std::string_view raw = request.rawPath;
        const std::string_view name =
            raw.starts_with(kAssetPrefix) ? raw.substr(kAssetPrefix.size()) : std::string_view();
        const EmbeddedFile* file = FindConsoleFile(name);
        return file != nullptr ? FileResponse(*file) : NotFound(name);
    };
    routes.push_back(std::move(assets));
    return routes;
}

}  // namespace k47host
