// _set_se_translator: per-thread bookkeeping, and the fault line written before the default
// action ends the process.
#include <windows.h>
#include <eh.h>

#include <gtest/gtest.h>
#include <signal.h>

#include "handle_test_util.h"

using namespace k47test;

namespace {

void Translator(unsigned int, EXCEPTION_POINTERS*) {}
void OtherTranslator(unsigned int, EXCEPTION_POINTERS*) {}

}  // namespace

TEST(SeTranslator, InstalledPerThreadReturningThePrevious) {
    EXPECT_EQ(_set_se_translator(Translator), nullptr);
    EXPECT_EQ(_set_se_translator(OtherTranslator), Translator);
    TestThread other([] {
        // A new thread starts without one.
        return _set_se_translator(Translator) == nullptr ? 0u : 1u;
    });
    ASSERT_TRUE(other.Join());
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(other.handle(), &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(_set_se_translator(nullptr), OtherTranslator);
}

// A fault in a thread that installed a translator: one line naming the signal and the thread,
// then the process dies (signal or, under a sanitizer, its report).
TEST(SeTranslatorDeathTest, FaultIsLoggedThenTheProcessDies) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TestThread worker([] {
                _set_se_translator(Translator);
                raise(SIGSEGV);
                return 0u;
            });
            worker.Join();
        },
        "k47: fatal signal 11 \\(SIGSEGV\\) in thread [0-9]+ \\(.*\\), translator installed");
    EXPECT_DEATH(
        {
            _set_se_translator(Translator);
            _set_se_translator(nullptr);
            raise(SIGFPE);
        },
        "k47: fatal signal 8 \\(SIGFPE\\) in thread [0-9]+ \\(.*\\), no translator");
}
