// k47::XmlDocument over libxml2: hardened loading, XPath, creation, serialisation; see
// k47/xmldoc.h.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "k47/xmldoc.h"
#include "support/eintr.h"
#include "support/unique_fd.h"
#include "xml/xml_internal.h"

namespace k47 {
namespace {

using xml::XmlDocState;

// Upper bound on XPath evaluation steps, so that a pathological expression on a large document
// fails instead of running for minutes.
constexpr unsigned long kXPathOpLimit = 50'000'000;

const xmlChar* Xml(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

void SetError(XmlError* error, std::string message, int line = 0, int column = 0) {
    if (error == nullptr)
        return;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    error->message = std::move(message);
    error->line = line;
    error->column = column;
}

// What a parse or an XPath evaluation reports: the first error only (later ones are usually
// consequences of it).
struct ErrorCapture {
    XmlError error;
    bool captured = false;
    void Take(const xmlError* e) {
        if (captured || e == nullptr || e->level < XML_ERR_ERROR)
            return;
        captured = true;
        SetError(&error, e->message != nullptr ? e->message : "XML error", e->line, e->int2);
    }
};

// libxml2 2.9 passes a mutable xmlError*, 2.12 a const one; the generic lambda fits both.
constexpr auto kOnParseError = [](void* user, auto* e) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(user);
    static_cast<ErrorCapture*>(ctxt->_private)->Take(e);
};
// With an error callback installed libxml2 passes XPath errors without a message text.
std::string XPathErrorText(int code) {
    switch (code - XML_XPATH_EXPRESSION_OK) {
        case XPATH_NUMBER_ERROR:
            return "invalid number";
        case XPATH_UNFINISHED_LITERAL_ERROR:
            return "unfinished string literal";
        case XPATH_START_LITERAL_ERROR:
            return "expected a string literal";
        case XPATH_VARIABLE_REF_ERROR:
            return "invalid variable reference";
        case XPATH_UNDEF_VARIABLE_ERROR:
            return "undefined variable";
        case XPATH_INVALID_PREDICATE_ERROR:
            return "invalid predicate";
        case XPATH_EXPR_ERROR:
            return "invalid expression";
        case XPATH_UNCLOSED_ERROR:
            return "missing closing bracket";
        case XPATH_UNKNOWN_FUNC_ERROR:
            return "unknown function";
        case XPATH_INVALID_OPERAND:
            return "invalid operand";
        case XPATH_INVALID_TYPE:
            return "invalid type";
        case XPATH_INVALID_ARITY:
            return "wrong number of function arguments";
        case XPATH_MEMORY_ERROR:
            return "out of memory";
        case XPATH_UNDEF_PREFIX_ERROR:
            return "undefined namespace prefix";
        case XPATH_ENCODING_ERROR:
            return "encoding error";
        case XPATH_INVALID_CHAR_ERROR:
            return "invalid character";
        case XPATH_STACK_ERROR:
            return "evaluation stack error";
        case XPATH_OP_LIMIT_EXCEEDED:
            return "operation limit exceeded";
        case XPATH_RECURSION_LIMIT_EXCEEDED:
            return "expression nested too deeply";
        default:
            return "XPath error " + std::to_string(code);
    }
}

constexpr auto kOnXPathError = [](void* user, auto* e) {
    auto* capture = static_cast<ErrorCapture*>(user);
    if (capture->captured || e == nullptr)
        return;
    capture->captured = true;
    std::string text = e->message != nullptr ? e->message : XPathErrorText(e->code);
    if (e->str1 != nullptr)
        text += " at offset " + std::to_string(e->int1);
    SetError(&capture->error, text);
};

// A DOCTYPE is refused as soon as it starts: without a DTD no entity can be declared, which
// rules out entity expansion attacks and external entities alike.
void RefuseDoctype(void* user, const xmlChar* name, const xmlChar* external_id,
                   const xmlChar* system_id) {
    (void)name;
    (void)external_id;
    (void)system_id;
    auto* ctxt = static_cast<xmlParserCtxtPtr>(user);
    auto* capture = static_cast<ErrorCapture*>(ctxt->_private);
    if (!capture->captured) {
        capture->captured = true;
        SetError(&capture->error, "DOCTYPE declarations are not allowed",
                 ctxt->input ? ctxt->input->line : 0, ctxt->input ? ctxt->input->col : 0);
    }
    xmlStopParser(ctxt);
}

struct ParserCtxtDeleter {
    void operator()(xmlParserCtxtPtr p) const { xmlFreeParserCtxt(p); }
};
struct XPathContextDeleter {
    void operator()(xmlXPathContextPtr p) const { xmlXPathFreeContext(p); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObjectPtr p) const { xmlXPathFreeObject(p); }
};
struct DocDeleter {
    void operator()(xmlDocPtr p) const { xmlFreeDoc(p); }
};

// Installs a no-op generic error handler for the calling thread (libxml2 keeps it per thread)
// and restores the previous one.
class GenericErrorSilencer {
  public:
    GenericErrorSilencer() noexcept : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
        xmlSetGenericErrorFunc(nullptr, &Ignore);
    }
    ~GenericErrorSilencer() { xmlSetGenericErrorFunc(context_, handler_); }
    GenericErrorSilencer(const GenericErrorSilencer&) = delete;
    GenericErrorSilencer& operator=(const GenericErrorSilencer&) = delete;

  private:
    static void Ignore(void*, const char*, ...) {}
    xmlGenericErrorFunc handler_;
    void* context_;
};

std::string TooLarge(size_t limit) {
    return "document larger than the limit of " + std::to_string(limit) + " bytes";
}

std::shared_ptr<XmlDocState> Parse(const char* data, size_t size, const char* url, XmlError* error,
                                   const XmlLoadOptions& options) {
    xml::EnsureXmlInitialized();
    if (size > options.max_bytes || size > static_cast<size_t>(INT_MAX)) {
        SetError(error, TooLarge(options.max_bytes));
        return nullptr;
    }
    std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        SetError(error, "out of memory");
        return nullptr;
    }
    ErrorCapture capture;
    ctxt->_private = &capture;
    ctxt->sax->internalSubset = RefuseDoctype;
    ctxt->sax->serror = kOnParseError;
    // Never NOENT, DTDLOAD, DTDATTR, XINCLUDE or HUGE.
    const int parse_options = XML_PARSE_NONET;
    std::unique_ptr<xmlDoc, DocDeleter> doc(
        xmlCtxtReadMemory(ctxt.get(), data, static_cast<int>(size), url, nullptr, parse_options));
    // Namespace errors (an undeclared prefix) leave libxml2's document "well-formed"; MSXML
    // rejects such input, and so do we.
    if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed || doc->intSubset != nullptr ||
        doc->extSubset != nullptr || xmlDocGetRootElement(doc.get()) == nullptr) {
        if (capture.captured) {
            if (error != nullptr)
                *error = capture.error;
        } else {
            SetError(error, "not a well-formed XML document");
        }
        return nullptr;
    }
    auto state = std::make_shared<XmlDocState>(doc.get());
    doc.release();  // now owned by state
    return state;
}

bool Select(const XmlDocState& state, xmlNode* context, std::string_view xpath,
            std::vector<xmlNode*>* nodes, XmlError* error) {
    if (nodes != nullptr)
        nodes->clear();
    if (nodes == nullptr || context == nullptr) {
        SetError(error, "no context node");
        return false;
    }
    if (context->doc != state.doc) {
        SetError(error, "the context node belongs to another document");
        return false;
    }
    std::string expression(xpath);
    if (expression.find('\0') != std::string::npos) {
        SetError(error, "invalid XPath expression");
        return false;
    }
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> xc(xmlXPathNewContext(state.doc));
    if (!xc) {
        SetError(error, "out of memory");
        return false;
    }
    ErrorCapture capture;
    xc->node = context;
    xc->opLimit = kXPathOpLimit;
    xc->userData = &capture;
    xc->error = kOnXPathError;
    for (const auto& [prefix, uri] : state.namespaces)
        xmlXPathRegisterNs(xc.get(), Xml(prefix), Xml(uri));
    // A few evaluation errors (an unknown function) go only to libxml2's generic error channel,
    // which prints to stderr; silence it for this thread during the evaluation.
    GenericErrorSilencer silence;
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(
        xmlXPathEval(Xml(expression), xc.get()));
    if (!result) {
        SetError(error, capture.captured ? capture.error.message : "invalid XPath expression");
        return false;
    }
    if (result->type != XPATH_NODESET) {
        SetError(error, "the XPath expression does not select nodes");
        return false;
    }
    if (result->nodesetval != nullptr) {
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
            xmlNode* n = result->nodesetval->nodeTab[i];
            // Namespace nodes are copies that die with the result object.
            if (n != nullptr && n->type != XML_NAMESPACE_DECL)
                nodes->push_back(n);
        }
    }
    return true;
}

}  // namespace

XmlDocument::XmlDocument() noexcept = default;
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(const XmlDocument&) noexcept = default;
XmlDocument& XmlDocument::operator=(const XmlDocument&) noexcept = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;
XmlDocument::XmlDocument(std::shared_ptr<xml::XmlDocState> state) noexcept
    : state_(std::move(state)) {}

XmlDocument XmlDocument::LoadString(std::string_view text, XmlError* error,
                                    const XmlLoadOptions& options) {
    return XmlDocument(Parse(text.data(), text.size(), nullptr, error, options));
}

XmlDocument XmlDocument::LoadFile(const std::string& path, XmlError* error,
                                  const XmlLoadOptions& options) {
    support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return XmlDocument();
    }
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) > options.max_bytes) {
        SetError(error, path + ": " + TooLarge(options.max_bytes));
        return XmlDocument();
    }
    // Read at most one byte past the cap: enough to know the input is too large (for pipes and
    // files that grow while being read).
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t n = support::RetryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) {
            SetError(error, "cannot read " + path + ": " + std::strerror(errno));
            return XmlDocument();
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > options.max_bytes) {
            SetError(error, path + ": " + TooLarge(options.max_bytes));
            return XmlDocument();
        }
    }
    return XmlDocument(Parse(data.data(), data.size(), path.c_str(), error, options));
}

XmlDocument XmlDocument::Create(std::string_view root_name, XmlError* error) {
    xml::EnsureXmlInitialized();
    std::string name(root_name);
    if (name.empty() || !xml::IsXmlText(name) || xmlValidateQName(Xml(name), 0) != 0 ||
        name.find(':') != std::string::npos) {
        SetError(error, "invalid root element name");
        return XmlDocument();
    }
    std::unique_ptr<xmlDoc, DocDeleter> doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    xmlNodePtr root = doc ? xmlNewDocNode(doc.get(), nullptr, Xml(name), nullptr) : nullptr;
    if (root == nullptr) {
        SetError(error, "out of memory");
        return XmlDocument();
    }
    xmlDocSetRootElement(doc.get(), root);
    auto state = std::make_shared<XmlDocState>(doc.get());
    doc.release();
    return XmlDocument(std::move(state));
}

xmlNode* XmlDocument::DocumentElement() const noexcept {
    if (!state_)
        return nullptr;
    std::shared_lock lock(state_->mutex);
    return xmlDocGetRootElement(state_->doc);
}

bool XmlDocument::SelectNodes(std::string_view xpath, std::vector<xmlNode*>* nodes,
                              XmlError* error) const {
    return SelectNodes(DocumentElement(), xpath, nodes, error);
}

bool XmlDocument::SelectNodes(xmlNode* context, std::string_view xpath,
                              std::vector<xmlNode*>* nodes, XmlError* error) const {
    if (!state_) {
        if (nodes != nullptr)
            nodes->clear();
        SetError(error, "no document");
        return false;
    }
    std::shared_lock lock(state_->mutex);
    return Select(*state_, context, xpath, nodes, error);
}

xmlNode* XmlDocument::SelectSingleNode(xmlNode* context, std::string_view xpath,
                                       XmlError* error) const {
    std::vector<xmlNode*> nodes;
    if (!SelectNodes(context, xpath, &nodes, error) || nodes.empty())
        return nullptr;
    return nodes.front();  // node sets come back in document order
}

void XmlDocument::SetSelectionNamespace(std::string_view prefix, std::string_view uri) {
    if (!state_)
        return;
    std::unique_lock lock(state_->mutex);
    for (auto& entry : state_->namespaces) {
        if (entry.first == prefix) {
            entry.second = std::string(uri);
            return;
        }
    }
    state_->namespaces.emplace_back(std::string(prefix), std::string(uri));
}

std::string XmlDocument::NodeName(const xmlNode* node) {
    return xml::QualifiedName(node);
}

std::optional<std::string> XmlDocument::GetAttribute(const xmlNode* element,
                                                     std::string_view name) const {
    if (!state_ || element == nullptr || element->doc != state_->doc)
        return std::nullopt;
    std::shared_lock lock(state_->mutex);
    return xml::ReadAttribute(element, name);
}

std::string XmlDocument::Text(const xmlNode* node) const {
    if (!state_ || node == nullptr || node->doc != state_->doc)
        return {};
    std::shared_lock lock(state_->mutex);
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

xmlNode* XmlDocument::CreateElement(xmlNode* parent, std::string_view name, XmlError* error) {
    if (!state_ || parent == nullptr || parent->doc != state_->doc ||
        parent->type != XML_ELEMENT_NODE) {
        SetError(error, "the parent is not an element of this document");
        return nullptr;
    }
    std::string qname(name);
    if (qname.empty() || !xml::IsXmlText(qname) || xmlValidateQName(Xml(qname), 0) != 0) {
        SetError(error, "invalid element name: " + qname);
        return nullptr;
    }
    std::unique_lock lock(state_->mutex);
    std::string prefix, local = qname;
    if (size_t colon = qname.find(':'); colon != std::string::npos) {
        prefix = qname.substr(0, colon);
        local = qname.substr(colon + 1);
    }
    xmlNsPtr ns = xmlSearchNs(state_->doc, parent, prefix.empty() ? nullptr : Xml(prefix));
    if (!prefix.empty() && ns == nullptr) {
        SetError(error, "undeclared namespace prefix: " + prefix);
        return nullptr;
    }
    xmlNodePtr node = xmlNewDocNode(state_->doc, ns, Xml(local), nullptr);
    if (node == nullptr || xmlAddChild(parent, node) == nullptr) {
        xmlFreeNode(node);
        SetError(error, "out of memory");
        return nullptr;
    }
    return node;
}

HRESULT XmlDocument::SetAttribute(xmlNode* element, std::string_view name, std::string_view value) {
    if (!state_ || element == nullptr || element->doc != state_->doc)
        return E_INVALIDARG;
    std::unique_lock lock(state_->mutex);
    return xml::WriteAttribute(element, name, value);
}

HRESULT XmlDocument::RemoveAttribute(xmlNode* element, std::string_view name) {
    if (!state_ || element == nullptr || element->doc != state_->doc)
        return E_INVALIDARG;
    std::unique_lock lock(state_->mutex);
    return xml::DeleteAttribute(element, name);
}

std::string XmlDocument::Serialize(bool indent) const {
    if (!state_)
        return {};
    std::shared_lock lock(state_->mutex);
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(state_->doc, &buffer, &size, "UTF-8", indent ? 1 : 0);
    std::string text = buffer != nullptr ? std::string(reinterpret_cast<const char*>(buffer),
                                                       static_cast<size_t>(size))
                                         : "";
    xmlFree(buffer);
    return text;
}

HRESULT XmlDocument::GetElement(xmlNode* element, IXMLDOMElement** out) const {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!state_)
        return E_INVALIDARG;
    return xml::MakeElement(state_, element, out);
}

bool XmlDocument::FromElement(IXMLDOMElement* element, XmlDocument* document, xmlNode** node) {
    std::shared_ptr<xml::XmlDocState> state;
    xmlNode* n = nullptr;
    bool ours = xml::ElementParts(element, &state, &n);
    if (document != nullptr)
        *document = XmlDocument(ours ? std::move(state) : nullptr);
    if (node != nullptr)
        *node = ours ? n : nullptr;
    return ours;
}

}  // namespace k47
