// Internal: what the XML document class and the IXMLDOMElement objects share: the process-wide
// libxml2 set-up, the reference-counted document state with its reader-writer lock, and the
// attribute helpers that follow MSXML's rules (attributes matched by qualified name, namespace
// declarations visible as "xmlns"/"xmlns:p" attributes). Helpers marked "shared lock" or
// "exclusive lock" expect the caller to hold the document's lock in that mode.
#pragma once

#include <libxml/tree.h>
#include <pthread.h>

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "msxml6.h"

namespace k47::xml {

// xmlInitParser and the deny-all external entity loader, once per process; safe to call from
// any thread, any number of times.
void EnsureXmlInitialized();

// A reader-writer lock that prefers writers: glibc's default rwlock (and so std::shared_mutex)
// lets a steady stream of readers starve a writer indefinitely. Not recursive: a thread holding
// it shared must not take it again. Usable with std::shared_lock and std::unique_lock.
class WriterPreferringLock {
  public:
    WriterPreferringLock() noexcept {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~WriterPreferringLock() { pthread_rwlock_destroy(&lock_); }
    WriterPreferringLock(const WriterPreferringLock&) = delete;
    WriterPreferringLock& operator=(const WriterPreferringLock&) = delete;

    void lock() noexcept { pthread_rwlock_wrlock(&lock_); }
    void unlock() noexcept { pthread_rwlock_unlock(&lock_); }
    void lock_shared() noexcept { pthread_rwlock_rdlock(&lock_); }
    void unlock_shared() noexcept { pthread_rwlock_unlock(&lock_); }

  private:
    pthread_rwlock_t lock_;
};

struct XmlDocState {
    explicit XmlDocState(xmlDocPtr d) noexcept : doc(d) {}
    ~XmlDocState() { xmlFreeDoc(doc); }
    XmlDocState(const XmlDocState&) = delete;
    XmlDocState& operator=(const XmlDocState&) = delete;

    xmlDocPtr const doc;
    mutable WriterPreferringLock mutex;
    std::vector<std::pair<std::string, std::string>> namespaces;  // XPath prefixes; under mutex
};

std::string QualifiedName(const xmlNode* node);
// Shared lock.
std::optional<std::string> ReadAttribute(const xmlNode* element, std::string_view name);
// Exclusive lock. S_OK; E_INVALIDARG (not an element, value not representable in XML); E_FAIL
// (invalid name, undeclared prefix, changing a namespace declaration); E_OUTOFMEMORY.
HRESULT WriteAttribute(xmlNode* element, std::string_view name, std::string_view value);
// Exclusive lock. S_OK, or S_FALSE when absent.
HRESULT DeleteAttribute(xmlNode* element, std::string_view name);
// True when `value` is well-formed UTF-8 made only of characters XML 1.0 allows.
bool IsXmlText(std::string_view value);

// A new IXMLDOMElement for an element node of `state`'s document.
HRESULT MakeElement(std::shared_ptr<XmlDocState> state, xmlNode* node, IXMLDOMElement** out);
// The state and node behind an element this platform made; false otherwise.
bool ElementParts(IXMLDOMElement* element, std::shared_ptr<XmlDocState>* state, xmlNode** node);

}  // namespace k47::xml
