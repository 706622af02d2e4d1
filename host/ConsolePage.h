// The console: a web page for steering cameras from a browser (host/console/), built into the
// binary so that the host serves it without files on disk or anything fetched at run time.
//
// GET (and HEAD) "/" answers the page, "/console/NAME" its assets; an unknown NAME is 404. Every
// answer forbids caching without revalidation (an upgraded host must not run an old script), and
// carries a Content-Security-Policy that allows the host's own scripts and styles only (no inline
// script, no other origin, no framing), with nosniff and X-Frame-Options for older browsers.
// The API the page calls is elsewhere; these routes serve only files.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "host/http/Router.h"

namespace k47host {

struct EmbeddedFile {
    std::string_view name;         // "console.js"
    std::string_view contentType;  // "text/javascript; charset=utf-8"
    std::string_view bytes;
};

// The files of host/console/, sorted by name (generated at build time by cmake/EmbedFiles.cmake).
std::span<const EmbeddedFile> ConsoleFiles();

// The file of that name, or nullptr.
const EmbeddedFile* FindConsoleFile(std::string_view name);

inline constexpr std::string_view kConsoleSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

std::vector<http::Route> ConsolePageRoutes();

}  // namespace k47host
