// Run-time library of the simulated kernel: the counted-string routines and
// safe-string appends with the real platform's quirks, and RtlGetVersion.
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/rtl/settings.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

class SimRtl : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
    }
    void TearDown() override { sim::ResetKernel(); }
};

constexpr WCHAR kCanary = 0xBEEF;

// A destination over a buffer filled with a canary, so writes past Length show.
struct Dest {
    std::vector<WCHAR> storage;
    UNICODE_STRING s;
    Dest(std::u16string_view text, USHORT maxBytes) : storage(maxBytes / 2 + 4, kCanary) {
        std::copy(text.begin(), text.end(), storage.begin());
        s.Length = static_cast<USHORT>(text.size() * 2);
        s.MaximumLength = maxBytes;
        s.Buffer = storage.data();
    }
    std::u16string Text() const { return std::u16string(s.Buffer, s.Length / 2); }
};

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST_F(SimRtl, InitUnicodeStringCountsWithoutTheTerminator) {
    UNICODE_STRING s = Counted(u"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    std::u16string huge(40000, u'x');
    RtlInitUnicodeString(&s, huge.c_str());
    EXPECT_EQ(s.Length, 0xFFFC);
    EXPECT_EQ(s.MaximumLength, 0xFFFE);
}

TEST_F(SimRtl, CopyUnicodeStringTruncatesSilentlyAndTerminatesOnlyWithRoom) {
    UNICODE_STRING source = Counted(u"abcdef");
    Dest roomy(u"", 20);
    RtlCopyUnicodeString(&roomy.s, &source);
    EXPECT_EQ(roomy.Text(), u"abcdef");
    EXPECT_EQ(roomy.storage[6], 0);

    Dest exact(u"", 12);
    RtlCopyUnicodeString(&exact.s, &source);
    EXPECT_EQ(exact.Text(), u"abcdef");
    EXPECT_EQ(exact.storage[6], kCanary);

    Dest small(u"zz", 8);
    RtlCopyUnicodeString(&small.s, &source);
    EXPECT_EQ(small.Text(), u"abcd");
    EXPECT_EQ(small.s.MaximumLength, 8);
    EXPECT_EQ(small.storage[4], kCanary);

    RtlCopyUnicodeString(&small.s, nullptr);
    EXPECT_EQ(small.s.Length, 0);
}

TEST_F(SimRtl, EqualUnicodeStringFoldsCaseOnlyWhenAsked) {
    UNICODE_STRING a = Counted(u"\\Device\\HarddiskVolume1\\Ärger.TXT");
    UNICODE_STRING b = Counted(u"\\device\\harddiskvolume1\\ärger.txt");
    UNICODE_STRING c = Counted(u"\\device\\harddiskvolume1\\ärger.tx");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    UNICODE_STRING d = Counted(u"[x]");
    UNICODE_STRING e = Counted(u"{x}");  // '{' is '[' + 0x20 but not a letter
    EXPECT_FALSE(RtlEqualUnicodeString(&d, &e, TRUE));
    UNICODE_STRING cyrUpper = Counted(u"ФАЙЛ");
    UNICODE_STRING cyrLower = Counted(u"файл");
    EXPECT_TRUE(RtlEqualUnicodeString(&cyrUpper, &cyrLower, TRUE));
}

TEST_F(SimRtl, PrefixUnicodeStringComparesOnlyThePrefixesLength) {
    UNICODE_STRING prefix = Counted(u"\\??\\");
    UNICODE_STRING folder = Counted(u"\\??\\D:\\Backup");
    UNICODE_STRING device = Counted(u"\\Device\\HarddiskVolume2");
    UNICODE_STRING empty = Counted(u"");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &folder, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&folder, &prefix, FALSE));  // longer than the text
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &device, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&empty, &device, FALSE));
    UNICODE_STRING upper = Counted(u"\\DEVICE\\");
    EXPECT_TRUE(RtlPrefixUnicodeString(&upper, &device, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&upper, &device, FALSE));
}

TEST_F(SimRtl, IntegerToUnicodeStringBasesAndOverflowQuirk) {
    struct Case {
        ULONG value;
        ULONG base;
        const char16_t* text;
    } cases[] = {
        {0, 10, u"0"}, {1234, 0, u"1234"}, {4294967295u, 10, u"4294967295"},
        {255, 16, u"FF"}, {8, 8, u"10"}, {5, 2, u"101"},
    };
    for (const Case& c : cases) {
        Dest d(u"", 40);
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &d.s), STATUS_SUCCESS) << c.value;
        EXPECT_EQ(d.Text(), c.text);
        EXPECT_EQ(d.storage[d.s.Length / 2], 0) << "terminated";
    }
    Dest d(u"", 40);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 7, &d.s), STATUS_INVALID_PARAMETER);

    // Four digits need ten bytes with the terminator: eight is too small. The
    // buffer stays untouched but Length already claims the digits.
    Dest tight(u"", 8);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &tight.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tight.s.Length, 8);
    EXPECT_EQ(tight.storage[0], kCanary);
    Dest tiny(u"", 2);
    EXPECT_EQ(RtlIntegerToUnicodeString(99999, 10, &tiny.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tiny.s.Length, 10);  // more than MaximumLength
    Dest fits(u"", 10);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &fits.s), STATUS_SUCCESS);
}

TEST_F(SimRtl, CatCopiesWholeCharactersThatFitAndReportsOverflow) {
    // Four bytes of room, three characters to append.
    Dest d(u"ab", 8);
    UNICODE_STRING src = Counted(u"xyz");
    EXPECT_EQ(RtlUnicodeStringCat(&d.s, &src), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(d.Text(), u"abxy");
    EXPECT_EQ(d.s.Length, 8);
    EXPECT_EQ(d.storage[4], kCanary) << "no terminator is written";

    // Full destination, non-empty source: overflow, nothing changes.
    EXPECT_EQ(RtlUnicodeStringCat(&d.s, &src), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(d.s.Length, 8);

    // Full destination, empty source: success.
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringCat(&d.s, &empty), STATUS_SUCCESS);

    Dest room(u"ab", 20);
    EXPECT_EQ(RtlUnicodeStringCat(&room.s, &src), STATUS_SUCCESS);
    EXPECT_EQ(room.Text(), u"abxyz");
    EXPECT_EQ(room.storage[5], kCanary);

    // A zero-size destination is a valid string, but it cannot take a non-empty
    // source: refused, not truncated. An empty source is still fine.
    UNICODE_STRING none = {0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringCat(&none, &src), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringCatString(&none, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.Length, 0);
    EXPECT_EQ(RtlUnicodeStringCat(&none, &empty), STATUS_SUCCESS);
}

TEST_F(SimRtl, CatRefusesMalformedStringsAndLeavesTheDestinationAlone) {
    WCHAR buffer[8] = {u'a', u'b', u'c', u'd', 0, 0, 0, 0};
    UNICODE_STRING good = Counted(u"xy");
    struct Case {
        const char* why;
        USHORT length;
        USHORT maximum;
        bool buffer;
    } bad[] = {
        {"odd Length", 3, 16, true},
        {"odd MaximumLength", 2, 15, true},
        {"Length above MaximumLength", 10, 8, true},
        {"MaximumLength above 65534", 2, 0xFFFF, true},
        {"no buffer", 0, 8, false},
    };
    for (const Case& c : bad) {
        UNICODE_STRING dest = {c.length, c.maximum, c.buffer ? buffer : nullptr};
        UNICODE_STRING before = dest;
        EXPECT_EQ(RtlUnicodeStringCat(&dest, &good), STATUS_INVALID_PARAMETER) << c.why;
        EXPECT_EQ(RtlUnicodeStringCatString(&dest, u"xy"), STATUS_INVALID_PARAMETER) << c.why;
        EXPECT_EQ(dest.Length, before.Length) << c.why;
        EXPECT_EQ(dest.MaximumLength, before.MaximumLength) << c.why;
        // The same string as a source is refused by the counted append.
        Dest target(u"", 16);
        UNICODE_STRING source = {c.length, c.maximum, c.buffer ? buffer : nullptr};
        EXPECT_EQ(RtlUnicodeStringCat(&target.s, &source), STATUS_INVALID_PARAMETER) << c.why;
        EXPECT_EQ(target.s.Length, 0) << c.why;
    }
    EXPECT_EQ(std::u16string(buffer, 4), u"abcd");

    // 65534 is the largest MaximumLength accepted.
    std::vector<WCHAR> big(32767, u'q');
    UNICODE_STRING largest = {0, 0xFFFE, big.data()};
    EXPECT_EQ(RtlUnicodeStringCat(&largest, &good), STATUS_SUCCESS);
    EXPECT_EQ(largest.Length, 4);
}

TEST_F(SimRtl, CatStringStopsAtTheTerminatorRoomOrCharacterLimit) {
    Dest d(u"a", 8);
    EXPECT_EQ(RtlUnicodeStringCatString(&d.s, u"bc"), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), u"abc");
    EXPECT_EQ(RtlUnicodeStringCatString(&d.s, u"de"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(d.Text(), u"abcd");
    EXPECT_EQ(d.storage[4], kCanary);
    EXPECT_EQ(RtlUnicodeStringCatString(&d.s, u""), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCatString(&d.s, u"e"), STATUS_BUFFER_OVERFLOW);

    std::u16string longText(40000, u'z');
    // Room for 32767 characters: the character limit is reached exactly as
    // room runs out, which the append reports as success.
    std::vector<WCHAR> buffer(32767);
    UNICODE_STRING whole = {0, 0xFFFE, buffer.data()};
    EXPECT_EQ(RtlUnicodeStringCatString(&whole, longText.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(whole.Length, 0xFFFE);
    // One character less room: room runs out first, so it is an overflow.
    UNICODE_STRING most = {2, 0xFFFE, buffer.data()};
    EXPECT_EQ(RtlUnicodeStringCatString(&most, longText.c_str()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(most.Length, 0xFFFE);
}

TEST_F(SimRtl, NullArgumentsFaultAsOnTheRealSystem) {
    Dest d(u"", 8);
    EXPECT_DEATH(RtlUnicodeStringCatString(&d.s, nullptr), "KMODE_EXCEPTION_NOT_HANDLED");
    EXPECT_DEATH(RtlUnicodeStringCat(&d.s, nullptr), "KMODE_EXCEPTION_NOT_HANDLED");
}

TEST_F(SimRtl, GetVersionReportsTheSettingAndChecksTheSize) {
    RTL_OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.dwPlatformId, 2u);

    sim::SetSystemVersion(10, 0, 22631);
    std::array<UCHAR, 284> ex{};
    ex.fill(0xAA);
    auto* exInfo = reinterpret_cast<PRTL_OSVERSIONINFOW>(ex.data());
    exInfo->dwOSVersionInfoSize = 284;
    ASSERT_EQ(RtlGetVersion(exInfo), STATUS_SUCCESS);
    EXPECT_EQ(exInfo->dwBuildNumber, 22631u);
    EXPECT_EQ(ex[276], 0);  // service pack major
    EXPECT_EQ(ex[282], 1);  // product type: workstation

    info.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);

    info.dwOSVersionInfoSize = sizeof(info);
    sim::InjectFailure("RtlGetVersion", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RtlGetVersion(&info), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);

    sim::ResetKernel();
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
}

}  // namespace
