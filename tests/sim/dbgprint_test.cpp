// DbgPrint as the kernel formats it: its own directives (counted strings,
// UTF-16 strings, the Windows size prefixes), the 512-byte limit of one call,
// lines kept in order and dropped at a reset, and the stops for directives the
// kernel's formatter does not take or may not take at a raised IRQL.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fixture.h"

namespace {

class DbgPrintTest : public vtest::SimTest {};

void RaisedUnicodePrint() {
    sim::RaiseIrql(DISPATCH_LEVEL);
    UNICODE_STRING s{2, 2, const_cast<PWSTR>(u"x")};
    DbgPrint("%wZ", &s);
}

TEST_F(DbgPrintTest, KernelDirectives) {
    // A counted string is read by its length: the characters after it are not printed.
    char16_t text[] = u"C:\\dir\\target.txtGARBAGE";
    UNICODE_STRING counted{34, 48, text};
    struct {
        USHORT Length;
        USHORT MaximumLength;
        const char* Buffer;
    } ansi{5, 8, "abcdeXYZ"};
    const char16_t wide[] = u"wide";

    DbgPrint("[%d][Routine] Failure: 0x%X\n", 1234, 0xC0000033u);
    DbgPrint("%wZ|%Z|%ws|%S|%ls|%hs|%s", &counted, &ansi, wide, wide, wide, "narrow", "plain");
    DbgPrint("%c%wc%C%lc", 'a', u'b', u'c', u'd');
    DbgPrint("%I64x %I64d %lld %Ix %lu %hd %hu", 0x123456789ull, -5ll, 7ll, static_cast<ULONG_PTR>(0xABC), 4000000000u, 70000,
             70000);
    DbgPrint("%08X|%-5d|%5s|%.3s|%*d|%%|%p", 0xBEEFu, 42, "ab", "abcdef", 4, 7, reinterpret_cast<void*>(0x10));
    UNICODE_STRING noBuffer{0, 0, nullptr};
    DbgPrint("%wZ %wZ %s %ws", static_cast<UNICODE_STRING*>(nullptr), &noBuffer, static_cast<const char*>(nullptr),
             static_cast<const char16_t*>(nullptr));
    const std::vector<std::string> expected{
        "[1234][Routine] Failure: 0xC0000033\n",
        "C:\\dir\\target.txt|abcde|wide|wide|wide|narrow|plain",
        "abcd",
        "123456789 -5 7 abc 4000000000 4464 4464",
        "0000BEEF|42   |   ab|abc|   7|%|0000000000000010",
        "(null) (null) (null) (null)",
    };
    EXPECT_EQ(sim::DebugOutput(), expected);
}

TEST_F(DbgPrintTest, OneCallTransmitsAtMost512Bytes) {
    const std::string longText(700, 'x');
    DbgPrint("%s", longText.c_str());
    DbgPrint("after\n");
    const auto lines = sim::DebugOutput();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(512, 'x'));
    EXPECT_EQ(lines[1], "after\n");
    sim::ResetKernel();
    EXPECT_TRUE(sim::DebugOutput().empty());
}

TEST_F(DbgPrintTest, DirectivesTheKernelRefuses) {
    checkPoolAtTearDown_ = false;
    EXPECT_DEATH(DbgPrint("%f", 1.5), "DbgPrint format directive %f");
    EXPECT_DEATH(DbgPrint("%n", nullptr), "DbgPrint format directive %n");
    EXPECT_DEATH(DbgPrint("%wd", 1), "DbgPrint format directive %wd");
    EXPECT_DEATH(RaisedUnicodePrint(), "IRQL_NOT_LESS_OR_EQUAL");
    // Narrow text may be printed at any level.
    const KIRQL old = sim::RaiseIrql(DISPATCH_LEVEL);
    DbgPrint("%s %d", "raised", 2);
    sim::LowerIrql(old);
    EXPECT_EQ(sim::DebugOutput(), std::vector<std::string>{"raised 2"});
}

}  // namespace
