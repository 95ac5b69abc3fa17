// Local heap (fill patterns, accounting, failure injection, misuse) and the
// UTF-16 helpers.
#include <cstring>
#include <string>

#include "ce/heap.h"
#include "ce/thread.h"
#include "ce/wstr.h"
#include "common/platform_test.h"

namespace {

class HeapTest : public PlatformTest {};

TEST_F(HeapTest, FillPatternsAndAccounting) {
    auto before = cehost::GetHeapStats();
    auto* fixed = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, 64));
    auto* zeroed = static_cast<uint8_t*>(LocalAlloc(LPTR, 32));
    ASSERT_TRUE(fixed && zeroed);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(fixed[i], 0xCD) << i;
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(zeroed[i], 0x00) << i;
    auto mid = cehost::GetHeapStats();
    EXPECT_EQ(mid.liveBlocks, before.liveBlocks + 2);
    EXPECT_EQ(mid.liveBytes, before.liveBytes + 96);
    EXPECT_EQ(mid.allocations, before.allocations + 2);
    EXPECT_EQ(LocalFree(fixed), nullptr);
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    auto after = cehost::GetHeapStats();
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_EQ(after.liveBytes, before.liveBytes);

    void* empty = LocalAlloc(LMEM_FIXED, 0);
    void* empty2 = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_TRUE(empty && empty2 && empty != empty2);
    LocalFree(empty);
    LocalFree(empty2);
    EXPECT_EQ(LocalAlloc(0x0002 /* movable */, 8), nullptr);
    // A length gone negative fails cleanly (no host allocator abort).
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, static_cast<size_t>(-4)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(HeapTest, FreeOfANonLiveBlockIsRefusedAndCounted) {
    void* p = LocalAlloc(LPTR, 16);
    ASSERT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(p), p) << "double free returns the block";
    int onStack = 0;
    EXPECT_EQ(LocalFree(&onStack), &onStack);
    ExpectMisuse("heap.free.notlive", 2);
}

TEST_F(HeapTest, FailureInjection) {
    struct Case {
        const char* what;
        uint64_t once, from;
        const char* pattern;  // outcome of six allocations: o ok, x failed
    };
    const Case cases[] = {
        {"first", 1, 0, "xooooo"},
        {"third", 3, 0, "ooxooo"},
        {"all from the fourth", 0, 4, "oooxxx"},
        {"once and all", 2, 5, "oxooxx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cehost::ClearAllocationFailures();
        if (c.once)
            cehost::FailNthAllocation(c.once);
        if (c.from)
            cehost::FailAllAllocationsFrom(c.from);
        std::string got;
        for (int i = 0; i < 6; ++i) {
            SetLastError(0);
            void* p = LocalAlloc(LPTR, 8);
            got += p ? 'o' : 'x';
            if (!p) {
                EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
            }
            LocalFree(p);
        }
        EXPECT_EQ(got, c.pattern);
    }
    cehost::ClearAllocationFailures();
    EXPECT_NE(LocalAlloc(LPTR, 8), nullptr) << "cleared";
    cehost::FailAllAllocationsFrom(1);
    cehost::ResetPlatform();  // reset clears injection (and forgets the block above)
    void* p = LocalAlloc(LPTR, 8);
    EXPECT_NE(p, nullptr);
    LocalFree(p);
}

TEST_F(HeapTest, UnfreedBlockIsALeak) {
    LocalAlloc(LPTR, 4);
    cehost::SweepLeaks();
    ExpectLeak("heap.block", 1);
    SkipLeakSweep();
}

TEST(WideStrings, LengthCopyAppend) {
    EXPECT_EQ(CeWcsLen(u""), 0u);
    EXPECT_EQ(CeWcsLen(u"COM"), 3u);
    EXPECT_EQ(CeWcsLen(nullptr), 0u);

    struct Case {
        const char16_t* src;
        size_t capacity;
        size_t result;
        const char16_t* stored;
    };
    const Case copies[] = {
        {u"Drivers", 16, 7, u"Drivers"}, {u"Drivers", 8, 7, u"Drivers"},
        {u"Drivers", 7, 7, u"Driver"},  // truncated: result >= capacity
        {u"Drivers", 1, 7, u""},         {u"", 4, 0, u""},
    };
    for (const auto& c : copies) {
        WCHAR buf[17];
        std::memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(CeWcsCopy(buf, c.capacity, c.src), c.result);
        EXPECT_EQ(std::u16string(buf), c.stored);
        EXPECT_EQ(buf[c.capacity] & 0xFFFF, 0xEEEE) << "wrote past capacity";
    }
    const Case appends[] = {
        {u"\\Active", 32, 14, u"Drivers\\Active"},
        {u"\\Active", 15, 14, u"Drivers\\Active"},
        {u"\\Active", 10, 14, u"Drivers\\A"},
        {u"\\Active", 8, 14, u"Drivers"},
    };
    for (const auto& c : appends) {
        WCHAR buf[33];
        std::memset(buf, 0xEE, sizeof buf);
        CeWcsCopy(buf, 32, u"Drivers");
        EXPECT_EQ(CeWcsAppend(buf, c.capacity, c.src), c.result);
        EXPECT_EQ(std::u16string(buf), c.stored);
    }
}

TEST(WideStrings, CompareIgnoringAsciiCase) {
    struct Case {
        const char16_t *a, *b;
        int sign;
    };
    const Case cases[] = {
        {u"Prefix", u"PREFIX", 0}, {u"abc", u"abd", -1}, {u"b", u"A", 1},
        {u"ab", u"abc", -1},       {u"", u"", 0},        {u"\u00e9", u"\u00c9", 1},
        {u"[", u"a", -1},  // '[' sorts below 'A'..'Z' folded to lower case
    };
    for (const auto& c : cases) {
        int r = CeWcsICmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::string(c.a, c.a + CeWcsLen(c.a));
    }
}

TEST(WideStrings, DecimalFormatting) {
    struct Case {
        DWORD value;
        size_t capacity;
        size_t digits;
        const char16_t* text;
    };
    const Case cases[] = {
        {0, 2, 1, u"0"},
        {7, 8, 1, u"7"},
        {1234, 5, 4, u"1234"},
        {1234, 4, 0, u""},
        {0xFFFFFFFFu, 11, 10, u"4294967295"},
        {0xFFFFFFFFu, 10, 0, u""},
    };
    for (const auto& c : cases) {
        WCHAR buf[16] = {u'x'};
        EXPECT_EQ(CeWcsFromUInt(buf, c.capacity, c.value), c.digits) << c.value;
        EXPECT_EQ(std::u16string(buf), c.text) << c.value;
    }
}

}  // namespace
