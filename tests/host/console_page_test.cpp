// The console's files as the host serves them: every file of host/console/ built in byte for byte
// with its content type, the page and assets over a real listener with their security headers,
// names that must find nothing, and the page kept fit for its own Content-Security-Policy (no
// inline script or handler, nothing from another origin, no reference to a file that is missing).
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "host/ConsolePage.h"
#include "host/http/HttpServer.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/TestUtil.h"

using k47host::ConsoleFiles;
using k47host::EmbeddedFile;
using k47host::FindConsoleFile;
using k47test::Exchange;
using k47test::Reply;
using k47test::Request;

namespace {

std::string ConsoleFolder() {
    return k47test::SourceDir() + "/host/console";
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Embedded(std::string_view name) {
    const EmbeddedFile* file = FindConsoleFile(name);
    return file != nullptr ? std::string(file->bytes) : std::string();
}

class ConsoleListener : public ::testing::Test {
  protected:
    void SetUp() override {
        k47host::http::HttpServerSettings settings;
        settings.listenAddress = "127.0.0.1";
        settings.port = 0;
        settings.limits.threads = 2;
        k47host::http::Router router;
        for (k47host::http::Route& route : k47host::ConsolePageRoutes())
            router.Add(std::move(route));
        server_ = std::make_unique<k47host::http::HttpServer>(settings, std::move(router));
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    Reply Get(const std::string& path, const std::string& method = "GET") {
        return Exchange(AF_INET, server_->Port(), Request(method, path));
    }

    std::unique_ptr<k47host::http::HttpServer> server_;
};

}  // namespace

TEST(ConsoleFiles, EveryFileOfTheFolderIsBuiltInByteForByteAndFoundByItsName) {
    size_t onDisk = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ConsoleFolder())) {
        const std::string name = entry.path().filename().string();
        ++onDisk;
        const EmbeddedFile* file = FindConsoleFile(name);
        ASSERT_NE(file, nullptr) << name << " is not built in";
        EXPECT_EQ(file->bytes, ReadWhole(entry.path())) << name << " differs from the source";
    }
    EXPECT_EQ(ConsoleFiles().size(), onDisk);
    EXPECT_GE(onDisk, 4u);

    // The lookup relies on the order; a name between two others, or a prefix, finds nothing.
    for (size_t i = 1; i < ConsoleFiles().size(); ++i)
        EXPECT_LT(ConsoleFiles()[i - 1].name, ConsoleFiles()[i].name);
    for (const char* name : {"", "console", "console.j", "console.jsx", "index.htm", "zzz", "A"})
        EXPECT_EQ(FindConsoleFile(name), nullptr) << name;
}

TEST(ConsoleFiles, ThePageNeedsNothingItsPolicyForbidsNorAnyFileThatIsMissing) {
    const std::string page = Embedded("index.html");
    ASSERT_FALSE(page.empty());
    // Every script comes from a file and has no body; the policy would block an inline one and
    // the page would stay dead without a word.
    const std::regex script(R"(<script\b([^>]*)>([\s\S]*?)</script>)", std::regex::icase);
    size_t scripts = 0;
    for (std::sregex_iterator it(page.begin(), page.end(), script), end; it != end; ++it) {
        ++scripts;
        EXPECT_NE((*it)[1].str().find("src=\"/console/"), std::string::npos) << it->str();
        EXPECT_TRUE((*it)[2].str().empty()) << it->str();
    }
    EXPECT_EQ(scripts, 1u);
    for (const EmbeddedFile& file : ConsoleFiles()) {
        // An XML namespace is a name, not something to load.
        const std::string text =
            std::regex_replace(std::string(file.bytes), std::regex(R"re(xmlns="[^"]*")re"), "");
        // Inline handlers and style attributes are blocked too; nothing may come from elsewhere.
        if (file.name.ends_with(".html")) {
            EXPECT_FALSE(
                std::regex_search(text, std::regex(R"(\son[a-z]+\s*=)", std::regex::icase)))
                << file.name;
            EXPECT_FALSE(std::regex_search(text, std::regex(R"(\sstyle\s*=)", std::regex::icase)))
                << file.name;
        }
        EXPECT_FALSE(std::regex_search(
            text, std::regex(R"((https?:)?//[a-z0-9.-]+\.[a-z]{2,}/)", std::regex::icase)))
            << file.name << " refers to another origin";
        EXPECT_EQ(text.find("eval("), std::string::npos) << file.name;
    }
    // What the page and the scripts load exists.
    std::set<std::string> wanted;
    const std::regex asset(R"re("/console/([^"]+)")re");
    for (std::sregex_iterator it(page.begin(), page.end(), asset), end; it != end; ++it)
        wanted.insert((*it)[1].str());
    const std::regex import(R"re(from\s+"\./([^"]+)")re");
    for (const EmbeddedFile& file : ConsoleFiles()) {
        const std::string text(file.bytes);
        for (std::sregex_iterator it(text.begin(), text.end(), import), end; it != end; ++it)
            wanted.insert((*it)[1].str());
    }
    EXPECT_TRUE(wanted.count("console.js") && wanted.count("console.css") &&
                wanted.count("model.mjs"))
        << wanted.size();
    for (const std::string& name : wanted)
        EXPECT_NE(FindConsoleFile(name), nullptr) << name << " is referred to but not built in";
}

TEST_F(ConsoleListener, ServesThePageAndItsFilesWithTheirTypesAndSecurityHeaders) {
    const struct {
        const char* path;
        const char* file;
        const char* type;
    } cases[] = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/console/console.js", "console.js", "text/javascript; charset=utf-8"},
        {"/console/model.mjs", "model.mjs", "text/javascript; charset=utf-8"},
        {"/console/console.css", "console.css", "text/css; charset=utf-8"},
        {"/console/favicon.svg", "favicon.svg", "image/svg+xml"},
    };
    for (const auto& c : cases) {
        Reply reply = Get(c.path);
        ASSERT_EQ(reply.status, 200u) << c.path << "\n" << reply.head;
        EXPECT_EQ(reply.body, Embedded(c.file)) << c.path;
        EXPECT_EQ(reply.Header("Content-Type"), c.type) << c.path;
        EXPECT_EQ(reply.Header("Content-Length"), std::to_string(reply.body.size())) << c.path;
        EXPECT_EQ(reply.Header("Cache-Control"), "no-cache") << c.path;
        EXPECT_EQ(reply.Header("X-Content-Type-Options"), "nosniff") << c.path;
        EXPECT_EQ(reply.Header("X-Frame-Options"), "DENY") << c.path;
        const std::string policy = reply.Header("Content-Security-Policy");
        EXPECT_EQ(policy, k47host::kConsoleSecurityPolicy) << c.path;
        EXPECT_NE(policy.find("default-src 'self'"), std::string::npos);
        EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos);
        EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
        EXPECT_EQ(policy.find("unsafe-eval"), std::string::npos);

        // HEAD: the same head, no body.
        Reply head = Get(c.path, "HEAD");
        EXPECT_EQ(head.status, 200u) << c.path;
        EXPECT_TRUE(head.body.empty()) << c.path;
        EXPECT_EQ(head.Header("Content-Type"), c.type) << c.path;
        EXPECT_EQ(head.Header("Content-Security-Policy"), policy) << c.path;
    }
}

TEST_F(ConsoleListener, NamesOutsideTheFilesAndOtherMethodsAreRefused) {
    for (const char* path :
         {"/console/", "/console/nothing.js", "/console/CONSOLE.JS", "/console/console.js/",
          "/console/sub/console.js", "/console/../console/console.js", "/console/%2e%2e/index.html",
          "/console//console.js", "/console/console.js%00", "/console/console%2ejs",
          "/%63onsole/console.js", "/index.html", "/console", "/consolex/console.js"}) {
        Reply reply = Get(path);
        EXPECT_EQ(reply.status, 404u) << path << "\n" << reply.head;
        EXPECT_EQ(reply.body.find("<html"), std::string::npos) << path;
    }
    for (const char* method : {"POST", "PUT", "DELETE"}) {
        for (const char* path : {"/", "/console/console.js"}) {
            Reply reply = Exchange(AF_INET, server_->Port(), Request(method, path, "{}"));
            EXPECT_EQ(reply.status, 405u) << method << " " << path;
            EXPECT_EQ(reply.Header("Allow"), "GET, HEAD") << method << " " << path;
        }
    }
}
