// Linux-only helpers (not part of the Windows API): owning wrappers for OS resources, shared by
// the platform layer and the tools. ScopedGeneric<Traits> holds one value and releases it through
// Traits::Close when it goes out of scope; UniqueFd is the file-descriptor instance. Traits give
// Invalid() (the empty value) and Close(value).
//
// Threading: a wrapper is a plain value type; it is not synchronised. Lifetime: the wrapper owns
// the value from construction or reset() until release() or destruction. Resetting a wrapper to
// the value it already holds would close a live resource and is a fatal programming error.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace k47 {

template <typename Traits>
class ScopedGeneric {
  public:
    using Value = decltype(Traits::Invalid());

    ScopedGeneric() = default;
    explicit ScopedGeneric(Value v) : value_(v) {}
    ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
    ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ScopedGeneric(const ScopedGeneric&) = delete;
    ScopedGeneric& operator=(const ScopedGeneric&) = delete;
    ~ScopedGeneric() { reset(); }

    Value get() const { return value_; }
    bool valid() const { return value_ != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }

    void reset(Value v = Traits::Invalid()) {
        if (v != Traits::Invalid() && v == value_) {
            std::abort();  // closing what we are about to keep would leave a dangling value
        }
        Value old = std::exchange(value_, v);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }
    [[nodiscard]] Value release() { return std::exchange(value_, Traits::Invalid()); }

    // Out-parameter adapter for C calls: `Fill(w.Receive())` drops the old value first and
    // adopts whatever the call stored.
    class Receiver {
      public:
        explicit Receiver(ScopedGeneric& owner) : owner_(owner) {}
        ~Receiver() { owner_.reset(value_); }
        Receiver(const Receiver&) = delete;
        Receiver& operator=(const Receiver&) = delete;
        operator Value*() { return &value_; }

      private:
        ScopedGeneric& owner_;
        Value value_ = Traits::Invalid();
    };
    Receiver Receive() {
        reset();
        return Receiver(*this);
    }

  private:
    Value value_ = Traits::Invalid();
};

struct FdTraits {
    static constexpr int Invalid() { return -1; }
    // close() is not retried on EINTR: on Linux the descriptor is released either way.
    static void Close(int fd) { ::close(fd); }
};

using UniqueFd = ScopedGeneric<FdTraits>;

}  // namespace k47
