// The edge of a C function, a COM method or a thread body, which no exception may cross.
// Boundary(out_of_memory, unexpected, body) runs body() and returns its result; std::bad_alloc
// gives `out_of_memory`, any other exception (from the standard library or not) `unexpected`.
// Each of the two is the result itself or a callable that produces it, for results that also
// record an error (SetLastError and a null handle). For a body returning nothing both must be
// callables.
//
// Threading: stateless.
#pragma once

#include <new>
#include <type_traits>

namespace k47::support {

namespace boundary_detail {

template <class Result, class Fallback>
Result Produce(Fallback& fallback) {
    if constexpr (std::is_invocable_v<Fallback&>) {
        if constexpr (std::is_void_v<Result>) {
            fallback();
        } else {
            return static_cast<Result>(fallback());
        }
    } else {
        static_assert(!std::is_void_v<Result>, "a body returning nothing needs callables");
        return static_cast<Result>(fallback);
    }
}

}  // namespace boundary_detail

template <class OnOutOfMemory, class OnUnexpected, class Body>
auto Boundary(OnOutOfMemory&& out_of_memory, OnUnexpected&& unexpected, Body&& body) noexcept
    -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return boundary_detail::Produce<Result>(out_of_memory);
    } catch (...) {
        return boundary_detail::Produce<Result>(unexpected);
    }
}

}  // namespace k47::support
