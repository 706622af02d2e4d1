// The remote client's server address rules, with the documented examples and the awkward cases.
#include <gtest/gtest.h>

#include "clients/ServerAddress.h"

TEST(ServerAddress, SplitsAndComposesTheDocumentedExamples) {
    const struct {
        const char* address;
        const char* scheme;
        const char* host;
        const char* port;
        const char* path;
        const char* endpoint;
    } cases[] = {
        {"srv", "http", "srv", "", "", "http://srv/VLTControl/VLTControl.asmx"},
        {"srv:81", "http", "srv", "81", "", "http://srv:81/VLTControl/VLTControl.asmx"},
        {"http://srv/", "http", "srv", "", "", "http://srv/VLTControl/VLTControl.asmx"},
        {"https://srv", "https", "srv", "", "", "https://srv/VLTControl/VLTControl.asmx"},
        {"https://srv:444/site/", "https", "srv", "444", "site/",
         "https://srv:444/site/VLTControl/VLTControl.asmx"},
        {"HTTPS://srv", "HTTPS", "srv", "", "", "HTTPS://srv/VLTControl/VLTControl.asmx"},
        // A "/" before the first ":" stays in the host.
        {"srv/a:80", "http", "srv/a", "80", "", "http://srv/a:80/VLTControl/VLTControl.asmx"},
        // "://" in first place is no scheme: the rest is read from the start.
        {"://srv", "http", ":", "", "/srv", "http://:/srv/VLTControl/VLTControl.asmx"},
        {"", "http", "", "", "", "http:///VLTControl/VLTControl.asmx"},
        {"http://srv:8080//deep/path", "http", "srv", "8080", "/deep/path",
         "http://srv:8080/deep/path/VLTControl/VLTControl.asmx"},
        {"10.0.0.5:8080/", "http", "10.0.0.5", "8080", "",
         "http://10.0.0.5:8080/VLTControl/VLTControl.asmx"},
    };
    for (const auto& c : cases) {
        K47ServerAddress parsed = K47ServerAddress::Parse(c.address);
        EXPECT_EQ(parsed.scheme, c.scheme) << c.address;
        EXPECT_EQ(parsed.host, c.host) << c.address;
        EXPECT_EQ(parsed.portText, c.port) << c.address;
        EXPECT_EQ(parsed.path, c.path) << c.address;
        EXPECT_EQ(parsed.Compose("VLTControl/VLTControl.asmx"), c.endpoint) << c.address;
    }
}
