// Internal: creation of the SAX reader (ISAXXMLReader over libxml2, xml_sax_reader.cpp), the
// built-in class CLSID_SAXXMLReader60 of the COM runtime (com_builtin.cpp). Thread-safe.
#pragma once

#include "msxml6.h"

namespace k47::xml {

// IClassFactory::CreateInstance of the reader: CLASS_E_NOAGGREGATION with an outer object.
HRESULT CreateSaxXmlReader(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace k47::xml
