// The exception boundary of C functions and COM methods: what comes out for a result, for an
// out-of-memory failure and for any other exception, fixed values and producing callables alike.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "../../../platform/posix/support/boundary.h"

namespace {

using k47::support::Boundary;

constexpr long kOk = 0;
constexpr long kOutOfMemory = 14;
constexpr long kUnexpected = 1359;

long Guarded(const std::function<long()>& body) {
    return Boundary(kOutOfMemory, kUnexpected, body);
}

struct NotAStdException {
    int code;
};

TEST(BoundaryTest, MapsEachKindOfFailure) {
    EXPECT_EQ(kOk, Guarded([] { return kOk; }));
    EXPECT_EQ(42, Guarded([] { return 42L; }));
    EXPECT_EQ(kOutOfMemory, Guarded([]() -> long { throw std::bad_alloc(); }));
    // A derived allocation failure is still out of memory.
    EXPECT_EQ(kOutOfMemory, Guarded([]() -> long { throw std::bad_array_new_length(); }));
    EXPECT_EQ(kUnexpected, Guarded([]() -> long { throw std::runtime_error("x"); }));
    EXPECT_EQ(kUnexpected, Guarded([]() -> long {
                  throw std::system_error(std::make_error_code(std::errc::io_error));
              }));
    EXPECT_EQ(kUnexpected, Guarded([]() -> long { throw NotAStdException{7}; }));
    EXPECT_EQ(kUnexpected, Guarded([]() -> long { throw 5; }));
}

TEST(BoundaryTest, IsNoexceptWhateverTheBody) {
    auto throwing = []() -> long { throw 1; };
    static_assert(noexcept(Boundary(kOutOfMemory, kUnexpected, throwing)));
    static_assert(std::is_same_v<decltype(Boundary(0, 0, throwing)), long>);
}

// The callable fallbacks run once, only for their own kind of failure, and their result is
// converted to the body's type (nullptr to a smart pointer, as the handle-returning calls use).
TEST(BoundaryTest, CallableFallbacksRunOnlyForTheirFailure) {
    int out_of_memory_calls = 0;
    int unexpected_calls = 0;
    auto on_out_of_memory = [&] {
        ++out_of_memory_calls;
        return nullptr;
    };
    auto on_unexpected = [&] {
        ++unexpected_calls;
        return nullptr;
    };
    auto run = [&](auto body) { return Boundary(on_out_of_memory, on_unexpected, body); };

    std::shared_ptr<int> made = run([] { return std::make_shared<int>(3); });
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(3, *made);
    EXPECT_EQ(0, out_of_memory_calls);
    EXPECT_EQ(0, unexpected_calls);

    EXPECT_EQ(nullptr, run([]() -> std::shared_ptr<int> { throw std::bad_alloc(); }));
    EXPECT_EQ(1, out_of_memory_calls);
    EXPECT_EQ(0, unexpected_calls);

    EXPECT_EQ(nullptr, run([]() -> std::shared_ptr<int> { throw NotAStdException{1}; }));
    EXPECT_EQ(1, out_of_memory_calls);
    EXPECT_EQ(1, unexpected_calls);
}

TEST(BoundaryTest, BodyWithoutResult) {
    std::string seen;
    auto on_out_of_memory = [&] { seen += "oom;"; };
    auto on_unexpected = [&] { seen += "unexpected;"; };
    Boundary(on_out_of_memory, on_unexpected, [&] { seen += "ran;"; });
    Boundary(on_out_of_memory, on_unexpected, [] { throw std::bad_alloc(); });
    Boundary(on_out_of_memory, on_unexpected, [] { throw std::logic_error("x"); });
    Boundary(on_out_of_memory, on_unexpected, [] { throw NotAStdException{2}; });
    EXPECT_EQ("ran;oom;unexpected;unexpected;", seen);
}

// What the body did before it threw stays done; the boundary neither repeats nor undoes it.
TEST(BoundaryTest, RunsTheBodyOnce) {
    int runs = 0;
    EXPECT_EQ(kOutOfMemory, Boundary(kOutOfMemory, kUnexpected, [&]() -> long {
                  ++runs;
                  throw std::bad_alloc();
              }));
    EXPECT_EQ(1, runs);
}

}  // namespace
