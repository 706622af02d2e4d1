// The remote client's reading of a server address: split into scheme, host, port text and path
// (8-bit strings), and composed again into an endpoint URL with an extra path. The rules are the
// client's own (not a URL parser): "srv", "srv:81", "http://srv/", "https://srv:444/site/" all
// work; the host ends only at the first ":" (a "/" before it stays in the host). Pure functions.
#pragma once

#include <string>
#include <string_view>

struct K47ServerAddress {
    std::string scheme;
    std::string host;
    std::string portText;
    std::string path;

    static K47ServerAddress Parse(std::string_view address);
    // scheme://host[:port][/path][/extraPath]
    std::string Compose(std::string_view extraPath) const;
};
