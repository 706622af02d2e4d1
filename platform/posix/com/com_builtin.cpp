// The built-in classes of the COM runtime: classes the platform implements itself (the SAX
// reader of its XML services), which CoGetClassObject finds for CLSCTX_INPROC_SERVER before it
// looks at class objects registered in the process or at the registry, so that no registration
// is needed. Their class objects are static and never go away; AddRef/Release do not count.
#include "com/com_internal.h"
#include "xml/xml_sax_reader.h"

namespace k47::com {

namespace {

using Create = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class BuiltinFactory final : public IClassFactory {
  public:
    constexpr BuiltinFactory(const CLSID& clsid, Create create) : clsid_(clsid), create_(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return create_(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    const CLSID& clsid() const { return clsid_; }

  private:
    const CLSID clsid_;
    const Create create_;
};

BuiltinFactory g_sax_reader(CLSID_SAXXMLReader60, xml::CreateSaxXmlReader);

BuiltinFactory* const kBuiltins[] = {&g_sax_reader};

}  // namespace

Microsoft::WRL::ComPtr<IUnknown> FindBuiltinClassObject(REFCLSID clsid) {
    for (BuiltinFactory* factory : kBuiltins) {
        if (factory->clsid() == clsid) {
            return factory;
        }
    }
    return nullptr;
}

}  // namespace k47::com
