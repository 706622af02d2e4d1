// The descriptor tables of the control-service proxy: one SoapFunctionMap per operation (name,
// namespace, style, parameter block size, output count, parameters) and one header map per
// operation (always empty: no SOAP header is written or expected). Each parameter names its
// element (exact, case-sensitive), XSD type, direction, whether it is nullable (a null string is
// written as nil) and its offset in the operation's parameter block.
//
// The tables are constant and shared by every proxy; reading them is thread-safe.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>

enum class SoapXsdType {
    String,         // BSTR in the block
    Int,            // int
    UnsignedInt,    // unsigned int
    UnsignedShort,  // unsigned short
};

enum SoapParamFlags : unsigned {
    SOAPFLAG_IN = 0x1,
    SOAPFLAG_OUT = 0x2,
    SOAPFLAG_NULLABLE = 0x4,
};

// Document style, literal use, parameters wrapped in an element named after the operation.
inline constexpr unsigned SOAPFLAG_DOCUMENT_LITERAL_WRAPPED = 0x1;

struct SoapMapEntry {
    const char* name;
    const char16_t* nameW;
    SoapXsdType type;
    unsigned flags;
    size_t offset;
};

struct SoapFunctionMap {
    const char* name;
    const char* serviceNamespace;
    unsigned style;
    size_t paramBlockSize;
    size_t outputCount;
    std::span<const SoapMapEntry> params;
};

// The XML namespaces the envelope uses.
inline constexpr char16_t kSoapEnvelopeNamespaceW[] = u"http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char16_t kXsiNamespaceW[] = u"http://www.w3.org/2001/XMLSchema-instance";
