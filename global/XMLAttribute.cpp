// Attribute access on configuration elements.
#include <atlbase.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/K47Global.h"

namespace {

const HRESULT kMissing = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kMalformed = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

[[noreturn]] void ThrowAttribute(HRESULT hr, const char* name, const char* what) {
    throw CHresultError(__FILE__, __LINE__, hr, std::string("attribute \"") + name + "\" " + what);
}

// Reads an attribute as UTF-16 text; false when the attribute is absent.
bool ReadText(IXMLDOMElement* element, const char* name, std::u16string* text) {
    if (element == nullptr)
        throw CHresultError(__FILE__, __LINE__, E_POINTER, "no configuration element");
    CComBSTR bstrName(CA2W(name, CP_UTF8));
    CComVariant value;
    HRESULT hr = element->getAttribute(bstrName, &value);
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr,
                            std::string("reading attribute \"") + name + "\"");
    if (value.vt == VT_NULL || value.vt == VT_EMPTY)
        return false;
    if (value.vt != VT_BSTR) {
        hr = value.ChangeType(VT_BSTR);
        if (FAILED(hr))
            ThrowAttribute(kMalformed, name, "is not text");
    }
    text->assign(value.bstrVal != nullptr ? value.bstrVal : u"", SysStringLen(value.bstrVal));
    return true;
}

std::string ToUtf8(const std::u16string& text) {
    return std::string(static_cast<LPSTR>(CW2A(text.c_str(), CP_UTF8)));
}

// Strict decimal integer with an optional sign and surrounding blanks.
bool ParseInteger(const std::string& text, LONGLONG minimum, LONGLONG maximum, LONGLONG* value) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return false;
    std::string body = text.substr(begin, end - begin + 1);
    size_t digits = (body[0] == '+' || body[0] == '-') ? 1 : 0;
    if (digits >= body.size())
        return false;
    for (size_t i = digits; i < body.size(); ++i)
        if (body[i] < '0' || body[i] > '9')
            return false;
    errno = 0;
    char* stop = nullptr;
    long long parsed = std::strtoll(body.c_str(), &stop, 10);
    if (errno == ERANGE || *stop != '\0' || parsed < minimum || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

LONGLONG ReadInteger(IXMLDOMElement* element, const char* name, const LONGLONG* defaultValue,
                     LONGLONG minimum, LONGLONG maximum) {
    std::u16string text;
    if (!ReadText(element, name, &text)) {
        if (defaultValue == nullptr)
            ThrowAttribute(kMissing, name, "is missing");
        return *defaultValue;
    }
    LONGLONG value = 0;
    if (!ParseInteger(ToUtf8(text), minimum, maximum, &value))
        ThrowAttribute(kMalformed, name, "is not an integer");
    return value;
}

}  // namespace

CXMLAttribute::CXMLAttribute(IXMLDOMElement* element) : element_(element) {
    if (element_ != nullptr)
        element_->AddRef();
}

CXMLAttribute::CXMLAttribute(const CXMLAttribute& other) : element_(other.element_) {
    if (element_ != nullptr)
        element_->AddRef();
}

CXMLAttribute::~CXMLAttribute() {
    if (element_ != nullptr)
        element_->Release();
}

int CXMLAttribute::GetXMLAttributeInt(const char* name) const {
    return static_cast<int>(ReadInteger(element_, name, nullptr, INT_MIN, INT_MAX));
}

int CXMLAttribute::GetXMLAttributeInt(const char* name, int defaultValue) const {
    LONGLONG def = defaultValue;
    return static_cast<int>(ReadInteger(element_, name, &def, INT_MIN, INT_MAX));
}

LONGLONG CXMLAttribute::GetXMLAttributeLongLong(const char* name, LONGLONG defaultValue) const {
    return ReadInteger(element_, name, &defaultValue, LLONG_MIN, LLONG_MAX);
}

std::string CXMLAttribute::GetXMLAttributeString(const char* name) const {
    std::u16string text;
    if (!ReadText(element_, name, &text))
        ThrowAttribute(kMissing, name, "is missing");
    return ToUtf8(text);
}

std::string CXMLAttribute::GetXMLAttributeString(const char* name, const char* defaultValue) const {
    std::u16string text;
    if (!ReadText(element_, name, &text))
        return defaultValue != nullptr ? defaultValue : "";
    return ToUtf8(text);
}

std::u16string CXMLAttribute::GetXMLAttributeStringW(const char* name) const {
    std::u16string text;
    if (!ReadText(element_, name, &text))
        ThrowAttribute(kMissing, name, "is missing");
    return text;
}

bool CXMLAttribute::TryGetText(const char* name, std::string* value) const {
    std::u16string text;
    if (!ReadText(element_, name, &text))
        return false;
    *value = ToUtf8(text);
    return true;
}
