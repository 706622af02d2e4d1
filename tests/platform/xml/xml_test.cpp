// The XML document and IXMLDOMElement: attribute reads as MSXML answers them (present, absent,
// qualified names, namespace declarations), writes and their escaping, hardened loading (DTD,
// external entities, entity expansion, depth and size limits), parse errors with lines, XPath
// relative to the root and to an element, lifetime of elements beyond the document handle, and
// concurrent readers with a writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "k47/strings.h"
#include "k47/xmldoc.h"
#include "objbase.h"

namespace {

using k47::UniqueBstr;
using k47::XmlDocument;
using k47::XmlError;

struct ElementRef {
    IXMLDOMElement* p = nullptr;
    ElementRef() = default;
    ElementRef(const ElementRef&) = delete;
    ElementRef& operator=(const ElementRef&) = delete;
    ~ElementRef() {
        if (p != nullptr)
            p->Release();
    }
    IXMLDOMElement* operator->() const { return p; }
};

// getAttribute through the COM interface: {hr, vt, text}.
struct AttributeRead {
    HRESULT hr;
    VARTYPE vt;
    std::string text;
};
AttributeRead Read(IXMLDOMElement* e, const char* name) {
    UniqueBstr key = UniqueBstr::FromUtf8(name);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;  // an out-parameter: whatever was there is overwritten, not cleared
    HRESULT hr = e->getAttribute(key.get(), &v);
    AttributeRead r{hr, v.vt, ""};
    if (v.vt == VT_BSTR)
        r.text = k47::Utf16ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
    VariantClear(&v);
    return r;
}

std::string TagName(IXMLDOMElement* e) {
    UniqueBstr name;
    EXPECT_EQ(e->get_tagName(name.receive()), S_OK);
    return name.utf8();
}

const char kConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config xmlns:cfg="urn:k47:config" xmlns="urn:k47:default">
  <PTZProtocols>
    <Protocol Name="Cam" Port="52381" Text="X&amp;Y &lt;z&gt;" Empty="" cfg:Port="7"/>
    <Protocol Name="It's &quot;quoted&quot;" Port="1"/>
    <Protocol Name="Third" Port="3" Unicode="Gr&#xFC;&#xDF;e &#x1F600;"/>
  </PTZProtocols>
  <cfg:Camera Name="Lobby" Protocol="Cam" Address="1"/>
</Config>
)";

XmlDocument LoadConfig() {
    XmlError error;
    XmlDocument doc = XmlDocument::LoadString(kConfig, &error);
    EXPECT_TRUE(doc) << error.message;
    doc.SetSelectionNamespace("d", "urn:k47:default");
    doc.SetSelectionNamespace("cfg", "urn:k47:config");
    return doc;
}

TEST(XmlElement, AttributeReadsAsMsxml) {
    XmlDocument doc = LoadConfig();
    ASSERT_TRUE(doc);
    xmlNode* protocol = doc.SelectSingleNode(doc.DocumentElement(), "d:PTZProtocols/d:Protocol");
    ASSERT_NE(protocol, nullptr);
    ElementRef e;
    ASSERT_EQ(doc.GetElement(protocol, &e.p), S_OK);
    EXPECT_EQ(TagName(e.p), "Protocol");

    struct Case {
        const char* name;
        HRESULT hr;
        VARTYPE vt;
        const char* text;
    };
    const Case cases[] = {
        {"Name", S_OK, VT_BSTR, "Cam"},
        {"Port", S_OK, VT_BSTR, "52381"},
        {"Text", S_OK, VT_BSTR, "X&Y <z>"},  // entities decoded
        {"Empty", S_OK, VT_BSTR, ""},        // present but empty is not absent
        {"cfg:Port", S_OK, VT_BSTR, "7"},    // matched by qualified name
        {"Missing", S_FALSE, VT_NULL, ""},
        {"name", S_FALSE, VT_NULL, ""},  // names are case-sensitive
        {"urn:k47:config:Port", S_FALSE, VT_NULL, ""},
        {"", S_FALSE, VT_NULL, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttributeRead r = Read(e.p, c.name);
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(r.vt, c.vt);
        EXPECT_EQ(r.text, c.text);
    }

    // Namespace declarations are attributes in MSXML; the prefixed element's tag name keeps its
    // prefix.
    ElementRef root, camera;
    ASSERT_EQ(doc.GetElement(doc.DocumentElement(), &root.p), S_OK);
    EXPECT_EQ(Read(root.p, "xmlns:cfg").text, "urn:k47:config");
    EXPECT_EQ(Read(root.p, "xmlns").text, "urn:k47:default");
    EXPECT_EQ(Read(root.p, "xmlns:other").hr, S_FALSE);
    ASSERT_EQ(doc.GetElement(doc.SelectSingleNode(doc.DocumentElement(), "cfg:Camera"), &camera.p),
              S_OK);
    EXPECT_EQ(TagName(camera.p), "cfg:Camera");
    EXPECT_EQ(Read(camera.p, "Name").text, "Lobby");

    xmlNode* third =
        doc.SelectSingleNode(doc.DocumentElement(), "d:PTZProtocols/d:Protocol[@Name='Third']");
    ElementRef t;
    ASSERT_EQ(doc.GetElement(third, &t.p), S_OK);
    UniqueBstr key = UniqueBstr::FromUtf8("Unicode");
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(t->getAttribute(key.get(), &v), S_OK);
    EXPECT_EQ(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)), u"Grüße \U0001F600")
        << "UTF-16 at the edge";
    VariantClear(&v);

    // A plain wide literal (no length prefix) works as a name, as callers often pass one.
    VariantInit(&v);
    EXPECT_EQ(t->getAttribute(const_cast<BSTR>(u"Port"), &v), S_OK);
    VariantClear(&v);

    EXPECT_EQ(t->getAttribute(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(t->getAttribute(key.get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(t->get_tagName(nullptr), E_INVALIDARG);
    IXMLDOMElement* none = reinterpret_cast<IXMLDOMElement*>(&v);  // a non-null sentinel
    EXPECT_EQ(doc.GetElement(nullptr, &none), E_INVALIDARG);
    EXPECT_EQ(none, nullptr) << "an out-parameter is reset even on failure";
}

// The element's IUnknown: one identity, only IXMLDOMElement (and the private identity through
// which FromElement knows its own elements), and the count that keeps the document alive.
TEST(XmlElement, QueryInterfaceCountAndFromElement) {
    XmlDocument doc = LoadConfig();
    ASSERT_TRUE(doc);
    xmlNode* protocol = doc.SelectSingleNode(doc.DocumentElement(), "d:PTZProtocols/d:Protocol");
    ElementRef e;
    ASSERT_EQ(doc.GetElement(protocol, &e.p), S_OK);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(e->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(e.p)) << "one IUnknown identity";
    IXMLDOMElement* again = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, e.p);
    // Two references taken above, the original one left.
    EXPECT_EQ(again->Release(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);

    void* other = &other;
    EXPECT_EQ(e->QueryInterface(IID_IMarshal, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(e->QueryInterface(IID_IXMLDOMElement, nullptr), E_POINTER);

    XmlDocument owner;
    xmlNode* node = nullptr;
    EXPECT_TRUE(XmlDocument::FromElement(e.p, &owner, &node));
    EXPECT_EQ(node, protocol);
    EXPECT_TRUE(owner);

    // The element keeps its document: usable after every other owner is gone.
    owner = XmlDocument();
    doc = XmlDocument();
    EXPECT_EQ(TagName(e.p), "Protocol");
}

TEST(XmlDocument, HardenedLoadingRefusesAttacks) {
    // A real file whose contents must never reach the document.
    char secret_path[] = "/tmp/k47-xml-secret-XXXXXX";
    int fd = mkstemp(secret_path);
    ASSERT_GE(fd, 0);
    const std::string secret = "TOP-SECRET-" + std::to_string(getpid());
    ASSERT_EQ(write(fd, secret.data(), secret.size()), static_cast<ssize_t>(secret.size()));
    close(fd);
    const std::string file_url = std::string("file://") + secret_path;

    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
    for (int i = 2; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            laughs += "&lol" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<lolz a=\"&lol9;\">&lol9;</lolz>";

    struct Case {
        const char* name;
        std::string text;
        const char* message;  // expected in the error
        int line;
    };
    const Case cases[] = {
        {"external entity to a file",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY x SYSTEM \"" + file_url +
             "\">]>\n<r>&x;</r>",
         "DOCTYPE", 2},
        {"external entity in attribute",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + file_url + "\">]><r a=\"&x;\"/>", "DOCTYPE", 1},
        {"external DTD", "<!DOCTYPE r SYSTEM \"" + file_url + "\"><r/>", "DOCTYPE", 1},
        {"parameter entity", "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + file_url + "\"> %p;]><r/>",
         "DOCTYPE", 1},
        {"network DTD", "<!DOCTYPE r PUBLIC \"-//X//Y\" \"http://127.0.0.1:9/x.dtd\"><r/>",
         "DOCTYPE", 1},
        {"billion laughs", laughs, "DOCTYPE", 2},
        {"undeclared entity", "<r>&x;</r>", "", 1},
        {"undeclared prefix", "<r><p:x/></r>", "", 1},
        {"no root", "<?xml version=\"1.0\"?>", "", 0},
        {"empty", "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XmlError error;
        XmlDocument doc = XmlDocument::LoadString(c.text, &error);
        EXPECT_FALSE(doc);
        EXPECT_FALSE(error.message.empty());
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
        if (c.line > 0) {
            EXPECT_EQ(error.line, c.line) << error.message;
        }
        EXPECT_EQ(error.message.find(secret), std::string::npos);
    }

    // XInclude is never processed: the element stays an element and the file stays unread.
    XmlError error;
    XmlDocument xi = XmlDocument::LoadString(
        "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + file_url +
            "\" parse=\"text\"/></r>",
        &error);
    ASSERT_TRUE(xi) << error.message;
    EXPECT_EQ(xi.Serialize().find(secret), std::string::npos);
    EXPECT_NE(xi.SelectSingleNode(xi.DocumentElement(), "*[local-name()='include']"), nullptr);
    std::remove(secret_path);
}

TEST(XmlDocument, DepthAndSizeLimits) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i)
            s += "<a>";
        for (int i = 0; i < depth; ++i)
            s += "</a>";
        return s;
    };
    XmlError error;
    EXPECT_TRUE(XmlDocument::LoadString(nested(200), &error)) << error.message;
    EXPECT_FALSE(XmlDocument::LoadString(nested(300), &error))
        << "libxml2's depth limit without HUGE";

    const std::string text = "<r a=\"" + std::string(1000, 'x') + "\"/>";
    k47::XmlLoadOptions small;
    small.max_bytes = text.size() - 1;
    EXPECT_FALSE(XmlDocument::LoadString(text, &error, small));
    EXPECT_NE(error.message.find("limit"), std::string::npos) << error.message;
    small.max_bytes = text.size();
    EXPECT_TRUE(XmlDocument::LoadString(text, &error, small)) << "the cap is inclusive";

    char path[] = "/tmp/k47-xml-size-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_TRUE(XmlDocument::LoadFile(path, &error)) << error.message;
    small.max_bytes = 100;
    EXPECT_FALSE(XmlDocument::LoadFile(path, &error, small));
    EXPECT_NE(error.message.find("limit"), std::string::npos) << error.message;
    std::remove(path);
    EXPECT_FALSE(XmlDocument::LoadFile(path, &error));
    EXPECT_NE(error.message.find("cannot open"), std::string::npos) << error.message;
}

TEST(XmlDocument, ParseErrorsCarryLineNumbers) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"<a>\n<b>\n</a>", 3},
        {"<a>\n\n\n  <b x=1/>\n</a>", 4},
        {"<a></a>\n<b/>", 2},
        {"<a>\n\n&#0;</a>", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        XmlError error;
        EXPECT_FALSE(XmlDocument::LoadString(c.text, &error));
        EXPECT_EQ(error.line, c.line) << error.message;
        EXPECT_FALSE(error.message.empty());
        EXPECT_NE(error.message.back(), '\n');
    }
}

TEST(XmlDocument, XPathRelativeToRootAndElement) {
    XmlDocument doc = LoadConfig();
    ASSERT_TRUE(doc);
    xmlNode* root = doc.DocumentElement();
    xmlNode* protocols = doc.SelectSingleNode(root, "d:PTZProtocols");
    ASSERT_NE(protocols, nullptr);

    struct Case {
        xmlNode* context;
        std::string xpath;
        std::vector<std::string> names;  // Name attribute of each result, in document order
    };
    const Case cases[] = {
        {root, "d:PTZProtocols/d:Protocol", {"Cam", "It's \"quoted\"", "Third"}},
        {root, "d:PTZProtocols/d:Protocol[@Name = \"Cam\"]", {"Cam"}},
        {root, "d:PTZProtocols/d:Protocol[@Port > 2]", {"Cam", "Third"}},
        {protocols, "d:Protocol[@Name = 'Third']", {"Third"}},
        {protocols,
         "d:Protocol[@Name = " + k47::XPathStringLiteral("It's \"quoted\"") + "]",
         {"It's \"quoted\""}},
        {protocols, "d:Protocol[@Name = " + k47::XPathStringLiteral("Cam") + "]", {"Cam"}},
        {protocols, "../cfg:Camera", {"Lobby"}},
        {protocols, "d:Protocol[@Name = 'nothing']", {}},
        {root, "PTZProtocols/Protocol", {}},  // default namespace needs a prefix in XPath 1.0
        {root, "//cfg:Camera[@Protocol = //d:Protocol[1]/@Name]", {"Lobby"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xpath);
        std::vector<xmlNode*> nodes;
        XmlError error;
        ASSERT_TRUE(doc.SelectNodes(c.context, c.xpath, &nodes, &error)) << error.message;
        std::vector<std::string> names;
        for (xmlNode* n : nodes)
            names.push_back(doc.GetAttribute(n, "Name").value_or("?"));
        EXPECT_EQ(names, c.names);
    }

    EXPECT_EQ(k47::XPathStringLiteral("plain"), "'plain'");
    EXPECT_EQ(k47::XPathStringLiteral("it's"), "\"it's\"");
    EXPECT_EQ(k47::XPathStringLiteral("'a\"b'"), "concat(\"'\", 'a\"b', \"'\")");

    // Errors, not crashes.
    XmlDocument other = XmlDocument::LoadString("<Other/>");
    const std::string deep = std::string(100000, '(') + "d:Protocol" + std::string(100000, ')');
    const struct {
        xmlNode* context;
        std::string xpath;
        const char* message;
    } bad[] = {
        {root, "d:PTZProtocols/d:Protocol[@Name = 'Cam'", "predicate"},
        {root, "d:PTZProtocols/d:Protocol[@Name = 'Cam]", "literal"},
        {root, "///", "expression"},
        {root, "unknown:Protocol", "prefix"},
        {root, "nosuch(1)", "function"},
        {root, "count(//d:Protocol)", "does not select nodes"},
        {root, "", "expression"},
        {root, deep, "nested too deeply"},
        {other.DocumentElement(), ".", "another document"},
        {nullptr, ".", "context"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.xpath.substr(0, 60));
        std::vector<xmlNode*> nodes{root};
        XmlError error;
        EXPECT_FALSE(doc.SelectNodes(b.context, b.xpath, &nodes, &error));
        EXPECT_TRUE(nodes.empty());
        EXPECT_NE(error.message.find(b.message), std::string::npos) << error.message;
        EXPECT_EQ(doc.SelectSingleNode(b.context, b.xpath), nullptr);
    }
    // Namespace nodes are left out (they would not outlive the query).
    std::vector<xmlNode*> nodes;
    ASSERT_TRUE(doc.SelectNodes(root, "namespace::* | d:PTZProtocols", &nodes));
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(XmlDocument::NodeName(nodes[0]), "PTZProtocols");
}

// An IXMLDOMElement from somewhere else.
class ForeignElement : public IXMLDOMElement {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IXMLDOMElement)
            return E_NOINTERFACE;
        *ppv = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE getAttribute(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE setAttribute(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE removeAttribute(BSTR) override { return E_NOTIMPL; }
};

TEST(XmlElement, ConcurrentReadersWithOneWriter) {
    XmlDocument doc = LoadConfig();
    ASSERT_TRUE(doc);
    xmlNode* root = doc.DocumentElement();
    ElementRef camera, protocol;
    ASSERT_EQ(doc.GetElement(doc.SelectSingleNode(root, "cfg:Camera"), &camera.p), S_OK);
    ASSERT_EQ(doc.GetElement(doc.SelectSingleNode(root, "d:PTZProtocols/d:Protocol"), &protocol.p),
              S_OK);

    constexpr int kReaders = 4;
    constexpr int kWrites = 300;
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::atomic<long> reads{0};
    std::latch warmed_up(kReaders);
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&] {
            while (!done.load()) {
                AttributeRead r = Read(camera.p, "Name");
                if (r.hr != S_OK || r.text != "Lobby")
                    ++bad_reads;
                AttributeRead counter = Read(protocol.p, "Counter");
                // Absent before the first write; afterwards always a whole number written by the
                // writer.
                if (counter.hr == S_OK &&
                    counter.text.find_first_not_of("0123456789") != std::string::npos)
                    ++bad_reads;
                std::vector<xmlNode*> nodes;
                if (!doc.SelectNodes(root, "d:PTZProtocols/d:Protocol", &nodes) ||
                    nodes.size() != 3)
                    ++bad_reads;
                if (++reads <= kReaders)
                    warmed_up.count_down();
            }
        });
    }
    // Writes start only once the readers are running, so the two really overlap.
    warmed_up.wait();
    for (int i = 0; i < kWrites; ++i) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = i;
        UniqueBstr key = UniqueBstr::FromUtf8("Counter");
        EXPECT_EQ(protocol->setAttribute(key.get(), v), S_OK);
        if (i % 50 == 0)
            doc.Serialize();
    }
    done = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(bad_reads.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(Read(protocol.p, "Counter").text, std::to_string(kWrites - 1));
}

}  // namespace
