// Linux implementation file of the platform layer: may include Linux system headers.
// The wait lock, the waiter registry of kernel objects, the handle table and CloseHandle.
#include "kernel/kobject.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "handleapi.h"
#include "support/boundary.h"
#include "winerror.h"

namespace k47::kernel {

namespace {

// Never destroyed: detached threads may still close handles or wait while the process exits.
std::mutex& ProcessWaitMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

// Handle values are ((generation << 32) | ((slot + 1) << 2)): multiples of 4 like Windows
// handles, so never 0, -1 (INVALID_HANDLE_VALUE) or -2 (GetCurrentThread()), and a closed value
// stays invalid until its slot's 32-bit generation wraps.
class HandleTable {
  public:
    HANDLE Insert(ObjectRef object) {
        std::lock_guard<std::mutex> guard(mutex_);
        uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            if (slots_.size() >= kMaxSlots) {
                return nullptr;
            }
            slots_.emplace_back();
            slot = static_cast<uint32_t>(slots_.size() - 1);
        }
        slots_[slot].object = std::move(object);
        return Encode(slot, slots_[slot].generation);
    }

    ObjectRef Lookup(HANDLE handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        Slot* s = Find(handle);
        return s ? s->object : nullptr;
    }

    ObjectRef Remove(HANDLE handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        Slot* s = Find(handle);
        if (!s) {
            return nullptr;
        }
        ObjectRef object = std::move(s->object);
        s->object.reset();
        s->generation = s->generation == UINT32_MAX ? 1 : s->generation + 1;
        free_.push_back(static_cast<uint32_t>(s - slots_.data()));
        return object;
    }

  private:
    static constexpr size_t kMaxSlots = size_t{1} << 28;

    struct Slot {
        uint32_t generation = 1;
        ObjectRef object;
    };

    static HANDLE Encode(uint32_t slot, uint32_t generation) {
        uintptr_t value =
            (static_cast<uintptr_t>(generation) << 32) | (static_cast<uintptr_t>(slot + 1) << 2);
        return reinterpret_cast<HANDLE>(value);
    }

    Slot* Find(HANDLE handle) {
        auto value = reinterpret_cast<uintptr_t>(handle);
        if ((value & 3) != 0) {
            return nullptr;
        }
        uintptr_t index = (value & 0xFFFFFFFFu) >> 2;
        auto generation = static_cast<uint32_t>(value >> 32);
        if (index == 0 || index > slots_.size()) {
            return nullptr;
        }
        Slot& s = slots_[index - 1];
        if (s.generation != generation || !s.object) {
            return nullptr;
        }
        return &s;
    }

    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // never destroyed, see ProcessWaitMutex
    return *table;
}

}  // namespace

WaitLock::WaitLock() : lock_(ProcessWaitMutex()) {}

void KernelObject::AddWaiter(const WaitLock&, int wake_fd) {
    waiter_fds_.push_back(wake_fd);
}

void KernelObject::RemoveWaiter(const WaitLock&, int wake_fd) {
    auto it = std::find(waiter_fds_.begin(), waiter_fds_.end(), wake_fd);
    if (it != waiter_fds_.end()) {
        waiter_fds_.erase(it);
    }
}

void KernelObject::WakeWaiters(const WaitLock&) {
    for (int fd : waiter_fds_) {
        // A full counter (2^64 - 2 kicks never drained) cannot happen; EAGAIN is ignored.
        eventfd_write(fd, 1);
    }
}

HANDLE InsertHandle(ObjectRef object) noexcept {
    return support::Boundary(NullWithError(ERROR_NOT_ENOUGH_MEMORY),
                             NullWithError(ERROR_INTERNAL_ERROR), [&] {
                                 HANDLE h = Table().Insert(std::move(object));
                                 if (!h) {
                                     SetError(ERROR_TOO_MANY_OPEN_FILES);
                                 }
                                 return h;
                             });
}

ObjectRef LookupHandle(HANDLE handle) noexcept {
    ObjectRef object = Table().Lookup(handle);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
    }
    return object;
}

bool CloseHandleEntry(HANDLE handle) noexcept {
    ObjectRef object = Table().Remove(handle);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    object->OnHandleClosed();
    return true;  // the object goes with the last reference, outside every lock
}

}  // namespace k47::kernel

// The current-thread pseudo-handle needs no closing; closing it has no effect.
EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == k47::kernel::CurrentThreadPseudoHandle()) {
        return TRUE;
    }
    return k47::kernel::CloseHandleEntry(hObject) ? TRUE : FALSE;
}
