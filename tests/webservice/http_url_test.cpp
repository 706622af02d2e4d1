// URL escaping, splitting, rebuilding and redirect resolution of the HTTP client.
#include <gtest/gtest.h>

#include <string>

#include "webservice/HttpUrl.h"

using k47::http::CUrl;
using k47::http::EscapeUrl;

namespace {

TEST(HttpUrl, EscapesUpToQueryWithLowerCaseHex) {
    struct Case {
        const char* name;
        std::string in;
        const char* out;
    } cases[] = {
        {"plain", "http://srv/VLTControl/VLTControl.asmx", "http://srv/VLTControl/VLTControl.asmx"},
        {"space and quote", "http://srv/a b\"c", "http://srv/a%20b%22c"},
        {"every listed character", "http://h/ $&+,;<=>@[\\]^`{|}",
         "http://h/%20%24%26%2b%2c%3b%3c%3d%3e%40%5b%5c%5d%5e%60%7b%7c%7d"},
        {"percent kept", "http://h/100%25", "http://h/100%25"},
        {"control and high bytes, leading zero", std::string("http://h/\x01\x7f\xc3\xa9"),
         "http://h/%01%7f%c3%a9"},
        {"query copied unchanged", "http://h/a b?x=1&y=<2>", "http://h/a%20b?x=1&y=<2>"},
        {"number sign starts the copy", "http://h/a#b c", "http://h/a#b c"},
        {"user info '@' escaped", "http://u@h/", "http://u%40h/"},
    };
    for (const Case& c : cases) {
        std::string out;
        ASSERT_TRUE(EscapeUrl(c.in, &out)) << c.name;
        EXPECT_EQ(c.out, out) << c.name;
    }
}

TEST(HttpUrl, CracksIntoParts) {
    struct Case {
        const char* url;
        const char* scheme;
        const char* host;
        unsigned short port;
        bool explicitPort;
        const char* user;
        const char* password;
        const char* path;
        const char* extra;
    } cases[] = {
        {"http://srv/VLTControl/VLTControl.asmx", "http", "srv", 80, false, "", "",
         "/VLTControl/VLTControl.asmx", ""},
        {"http://srv:81/a/b?x=1#f", "http", "srv", 81, true, "", "", "/a/b", "?x=1#f"},
        {"https://srv", "https", "srv", 443, false, "", "", "", ""},
        {"https://srv:444/site/VLTControl/VLTControl.asmx", "https", "srv", 444, true, "", "",
         "/site/VLTControl/VLTControl.asmx", ""},
        {"HTTPS://srv/x", "HTTPS", "srv", 0, false, "", "", "/x", ""},
        {"http://user:pw@srv:8080/p", "http", "srv", 8080, true, "user", "pw", "/p", ""},
        {"http://[::1]:8080/p", "http", "::1", 8080, true, "", "", "/p", ""},
        {"http://srv?q", "http", "srv", 80, false, "", "", "", "?q"},
        {"http://srv:65535/", "http", "srv", 65535, true, "", "", "/", ""},
    };
    for (const auto& c : cases) {
        CUrl url;
        ASSERT_TRUE(url.CrackUrl(c.url)) << c.url;
        EXPECT_EQ(c.scheme, url.GetSchemeName()) << c.url;
        EXPECT_EQ(c.host, url.GetHostName()) << c.url;
        EXPECT_EQ(c.port, url.GetPortNumber()) << c.url;
        EXPECT_EQ(c.explicitPort, url.HasExplicitPort()) << c.url;
        EXPECT_EQ(c.user, url.GetUserName()) << c.url;
        EXPECT_EQ(c.password, url.GetPassword()) << c.url;
        EXPECT_EQ(c.path, url.GetUrlPath()) << c.url;
        EXPECT_EQ(c.extra, url.GetExtraInfo()) << c.url;
    }
}

TEST(HttpUrl, RefusedUrlsLeaveTheInitialValue) {
    for (const char* bad :
         {"srv/x", "://srv", "1http://srv", "ht tp://srv", "http://srv:/", "http://srv:0/",
          "http://srv:65536/", "http://srv:8o/", "http://srv:123456/", "http://[::1/"}) {
        CUrl url;
        EXPECT_FALSE(url.CrackUrl(bad)) << bad;
        EXPECT_EQ("http", url.GetSchemeName()) << bad;
        EXPECT_EQ(80, url.GetPortNumber()) << bad;
        EXPECT_EQ("", url.GetHostName()) << bad;
    }
}

// The HTTPS transport cracks the endpoint, rebuilds the text and the request object cracks it
// again: the parts must survive, and so must the text.
TEST(HttpUrl, RebuildsTextThatCracksToTheSameParts) {
    struct Case {
        const char* url;
        const char* rebuilt;
    } cases[] = {
        {"http://user:pw@srv:8080/p?q#f", "http://user:pw@srv:8080/p?q#f"},
        {"http://:pw@srv/", "http://:pw@srv/"},  // a password without a user name
        {"http://u:@srv/", "http://u@srv/"},
        {"http://[::1]:8080/p", "http://[::1]:8080/p"},
        {"http://[[x]/p", "http://[[x]/p"},  // a host that begins with a bracket keeps its pair
        {"http://a]b[c/", "http://a]b[c/"},
        {"http://srv:080//x", "http://srv:80//x"},
        {"http://a@b@srv/", "http://a@b@srv/"},
    };
    for (const Case& c : cases) {
        CUrl first;
        ASSERT_TRUE(first.CrackUrl(c.url)) << c.url;
        std::string text;
        ASSERT_TRUE(first.CreateUrl(&text)) << c.url;
        EXPECT_EQ(c.rebuilt, text) << c.url;
        CUrl second;
        ASSERT_TRUE(second.CrackUrl(text)) << c.url << " -> " << text;
        EXPECT_EQ(first.GetSchemeName(), second.GetSchemeName()) << c.url;
        EXPECT_EQ(first.GetUserName(), second.GetUserName()) << c.url;
        EXPECT_EQ(first.GetPassword(), second.GetPassword()) << c.url;
        EXPECT_EQ(first.GetHostName(), second.GetHostName()) << c.url;
        EXPECT_EQ(first.GetPortNumber(), second.GetPortNumber()) << c.url;
        EXPECT_EQ(first.HasExplicitPort(), second.HasExplicitPort()) << c.url;
        EXPECT_EQ(first.GetUrlPath(), second.GetUrlPath()) << c.url;
        EXPECT_EQ(first.GetExtraInfo(), second.GetExtraInfo()) << c.url;
    }
}

TEST(HttpUrl, ResolvesRedirectLocations) {
    CUrl base;
    ASSERT_TRUE(base.CrackUrl("http://srv:81/VLTControl/VLTControl.asmx?x"));
    struct Case {
        const char* location;
        const char* expected;
    } cases[] = {
        {"/other/path", "http://srv:81/other/path"},
        {"/other?y#z", "http://srv:81/other?y#z"},
        {"Moved.asmx", "http://srv:81/VLTControl/Moved.asmx"},
        {"?only", "http://srv:81/VLTControl/VLTControl.asmx?only"},
        {"http://elsewhere/x", "http://elsewhere/x"},
        {"http://elsewhere:9/x", "http://elsewhere:9/x"},
        {"//third/y", "http://third/y"},
    };
    for (const Case& c : cases) {
        CUrl next;
        ASSERT_TRUE(base.ResolveLocation(c.location, &next)) << c.location;
        std::string text;
        ASSERT_TRUE(next.CreateUrl(&text));
        EXPECT_EQ(c.expected, text) << c.location;
    }
    CUrl next;
    EXPECT_FALSE(base.ResolveLocation("", &next));
    EXPECT_FALSE(base.ResolveLocation("http://h:99999/", &next));
}

}  // namespace
