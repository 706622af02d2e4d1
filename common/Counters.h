// Event counters of the library's objects: a count bumped where the event happens (relaxed: it
// orders nothing, it only has to add up), and the copy of a counter record into a caller's record
// of the size the caller knows (K47LINECOUNTERS, K47CAMERACOUNTERS: cbSize first).
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

class CK47Counter {
  public:
    void Add(uint64_t n = 1) noexcept { m_value.fetch_add(n, std::memory_order_relaxed); }
    uint64_t Get() const noexcept { return m_value.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> m_value{0};
};

// Copies `all` into *pOut as far as pOut->cbSize reaches (never further than Record), and sets
// pOut->cbSize to the bytes copied. `firstCounter`: the offset of the record's first counter, which
// a caller's record must hold at least.
template <class Record>
HRESULT K47CopyCounterRecord(Record all, Record* pOut, size_t firstCounter) noexcept {
    if (pOut == nullptr)
        return E_POINTER;
    if (pOut->cbSize < firstCounter + sizeof(ULONGLONG))
        return E_INVALIDARG;
    const size_t size = std::min<size_t>(pOut->cbSize, sizeof(Record));
    all.cbSize = static_cast<ULONG>(size);
    all.reserved = 0;
    std::memcpy(pOut, &all, size);
    return S_OK;
}
