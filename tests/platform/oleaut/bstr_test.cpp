// BSTR layout and length rules: the 32-bit byte-length prefix before the text, the NUL WCHAR
// after it, embedded NULs, odd byte lengths, null handling, and the task allocator underneath.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "k47/strings.h"
#include "objbase.h"

namespace {

uint32_t Prefix(BSTR b) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(b) - 4, 4);
    return v;
}

// The two bytes that follow `bytes` bytes of data.
uint16_t Terminator(BSTR b, size_t bytes) {
    uint16_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(b) + bytes, 2);
    return v;
}

TEST(Bstr, AllocationLayoutAndLengths) {
    static const char16_t kEmbedded[] = {u'a', 0, u'b', u'c'};
    struct Case {
        const char* name;
        BSTR (*make)();
        uint32_t bytes;          // expected prefix
        std::u16string content;  // expected characters (bytes / 2 of them)
    };
    const Case cases[] = {
        {"SysAllocString", [] { return SysAllocString(u"I am a happy BSTR"); }, 34,
         u"I am a happy BSTR"},
        {"SysAllocString empty", [] { return SysAllocString(u""); }, 0, u""},
        {"SysAllocString stops at NUL", [] { return SysAllocString(kEmbedded); }, 2, u"a"},
        {"SysAllocStringLen embedded NUL", [] { return SysAllocStringLen(kEmbedded, 4); }, 8,
         std::u16string(kEmbedded, 4)},
        {"SysAllocStringLen prefix of longer text", [] { return SysAllocStringLen(u"abcdef", 3); },
         6, u"abc"},
        {"SysAllocStringByteLen even", [] { return SysAllocStringByteLen("ab\0d", 4); }, 4,
         std::u16string{static_cast<char16_t>('a' | 'b' << 8),
                        static_cast<char16_t>(0 | 'd' << 8)}},
        {"SysAllocStringByteLen odd", [] { return SysAllocStringByteLen("xyz", 3); }, 3,
         std::u16string{static_cast<char16_t>('x' | 'y' << 8)}},
        {"SysAllocStringByteLen one byte", [] { return SysAllocStringByteLen("q", 1); }, 1, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BSTR b = c.make();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 2, 0u) << "WCHAR alignment";
        EXPECT_EQ(Prefix(b), c.bytes);
        EXPECT_EQ(SysStringByteLen(b), c.bytes);
        EXPECT_EQ(SysStringLen(b), c.bytes / 2) << "odd byte lengths round down";
        EXPECT_EQ(Terminator(b, c.bytes), 0)
            << "NUL WCHAR right after the data, even at an odd offset";
        EXPECT_EQ(std::u16string(b, SysStringLen(b)), c.content);
        SysFreeString(b);
    }
}

TEST(Bstr, ReAllocReplacesAndFreesTheOldString) {
    BSTR b = SysAllocString(u"first");
    ASSERT_TRUE(SysReAllocString(&b, u"second value"));
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"second value");
    EXPECT_EQ(Prefix(b), 24u);

    // The source may be the string itself (or a part of it): it is copied before the old one is
    // freed; ASan reports a use after free otherwise.
    ASSERT_TRUE(SysReAllocString(&b, b + 7));
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"value");

    ASSERT_TRUE(SysReAllocString(&b, nullptr));
    EXPECT_EQ(b, nullptr);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(TaskMemory, AllocReallocFree) {
    void* p = CoTaskMemAlloc(0);
    EXPECT_NE(p, nullptr) << "a zero-byte request still yields a pointer";
    CoTaskMemFree(p);

    auto* bytes = static_cast<unsigned char*>(CoTaskMemAlloc(16));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 16; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    bytes = static_cast<unsigned char*>(CoTaskMemRealloc(bytes, 4096));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(bytes[i], i) << "realloc keeps the contents";
    EXPECT_EQ(CoTaskMemRealloc(bytes, 0), nullptr) << "size 0 frees the block";
    CoTaskMemFree(nullptr);
}

}  // namespace
