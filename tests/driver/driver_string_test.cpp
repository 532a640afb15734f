// Counted strings: allocation limits, copies, joins and the bounded appends.
#include <string>

#include "driver/counted_string.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "tests/support/fixture.h"

namespace {

using vtest::SimTest;

class StringTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        DriverPoolType = NonPagedPoolNx;
    }

    static std::u16string Text(PCUNICODE_STRING s) {
        return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
    }

    // A counted view of a literal (buffer not owned).
    static UNICODE_STRING View(std::u16string& text, USHORT extraRoom = 0) {
        UNICODE_STRING s;
        s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        s.MaximumLength = static_cast<USHORT>(s.Length + extraRoom);
        s.Buffer = text.data();
        return s;
    }
};

TEST_F(StringTest, AllocGivesZeroedBufferTwoBytesLongerFromTheDriverPool) {
    PCOUNTED_STRING s = StrAlloc(10, TagString);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Length, 10);
    EXPECT_EQ(s->MaximumLength, 12);
    auto buffer = sim::pool::Lookup(s->Buffer);
    ASSERT_TRUE(buffer.has_value());
    EXPECT_EQ(buffer->size, 12u);
    EXPECT_EQ(buffer->tag, TagString);
    EXPECT_EQ(buffer->type, NonPagedPoolNx);
    // The pool fills new blocks with a pattern: zeros here were written by StrAlloc.
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(s->Buffer[i], 0) << "code unit " << i;
    }
    auto header = sim::pool::Lookup(s);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->tag, TagString);
    StrFree(s, TagString);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

TEST_F(StringTest, AllocRefusesEmptyAndLengthsTheHeaderCannotDescribe) {
    EXPECT_EQ(StrAlloc(0, TagString), nullptr);
    EXPECT_EQ(StrAlloc(StrMaxLength + 2, TagString), nullptr);
    EXPECT_EQ(StrAlloc(0x10000, TagString), nullptr);
    EXPECT_EQ(StrAlloc(0xFFFFFFFFu, TagString), nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    PCOUNTED_STRING largest = StrAlloc(StrMaxLength, TagString);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(largest->Length, StrMaxLength);
    EXPECT_EQ(largest->MaximumLength, StrMaxLength + 2);
    EXPECT_EQ(sim::pool::Lookup(largest->Buffer)->size, largest->MaximumLength);
    StrFree(largest, TagString);
}

TEST_F(StringTest, ExhaustedPoolLeavesNothingAllocated) {
    sim::pool::FailNth(1);  // the header
    EXPECT_EQ(StrAlloc(8, TagString), nullptr);
    sim::pool::FailNth(2);  // the buffer: the header must go back
    EXPECT_EQ(StrAlloc(8, TagString), nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    std::u16string a = u"abc";
    UNICODE_STRING view = View(a);
    sim::pool::FailNth(2);
    EXPECT_EQ(StrDuplicate(&view, TagString), nullptr);
    sim::pool::FailNth(2);
    EXPECT_EQ(StrJoin(&view, &view, u'\\', TagRegistryPath), nullptr);
    sim::pool::FailNth(1);
    EXPECT_EQ(StrFromBuffer(a.data(), 6, TagString), nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

TEST_F(StringTest, FromBufferAndDuplicateCopyTheText) {
    const char16_t path[] = u"C:\\Backup";
    PCOUNTED_STRING s = StrFromBuffer(path, 18, TagString);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Text(s), u"C:\\Backup");
    EXPECT_EQ(s->Buffer[9], 0) << "a fresh string is followed by a zero code unit";

    // A source with spare room: the copy is sized by the text, not the room.
    std::u16string text = u"key";
    UNICODE_STRING roomy = View(text, 40);
    PCOUNTED_STRING copy = StrDuplicate(&roomy, TagRegistryPath);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Text(copy), u"key");
    EXPECT_EQ(copy->MaximumLength, 8);
    EXPECT_NE(copy->Buffer, roomy.Buffer);
    EXPECT_EQ(sim::pool::Lookup(copy->Buffer)->tag, TagRegistryPath);

    EXPECT_EQ(StrFromBuffer(path, 0, TagString), nullptr);
    EXPECT_EQ(StrDuplicate(nullptr, TagString), nullptr);
    UNICODE_STRING empty = {0, 10, text.data()};
    EXPECT_EQ(StrDuplicate(&empty, TagString), nullptr);
    UNICODE_STRING noBuffer = {4, 4, nullptr};
    EXPECT_EQ(StrDuplicate(&noBuffer, TagString), nullptr);

    StrFree(s, TagString);
    StrFree(copy, TagRegistryPath);
    StrFree(nullptr, TagString);
}

TEST_F(StringTest, JoinWithAndWithoutSeparator) {
    std::u16string a = u"A", b = u"B";
    UNICODE_STRING first = View(a), second = View(b);

    PCOUNTED_STRING joined = StrJoin(&first, &second, u'\\', TagRegistryPath);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(Text(joined), u"A\\B");
    EXPECT_EQ(joined->Length, 6);
    EXPECT_EQ(joined->MaximumLength, 8);
    EXPECT_EQ(joined->Buffer[3], 0);
    StrFree(joined, TagRegistryPath);

    joined = StrJoin(&first, &second, 0, TagString);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(Text(joined), u"AB");
    EXPECT_EQ(joined->Length, 4);
    StrFree(joined, TagString);

    std::u16string none;
    UNICODE_STRING emptyA = {0, 0, a.data()}, emptyB = {0, 0, b.data()};
    EXPECT_EQ(StrJoin(&emptyA, &emptyB, 0, TagString), nullptr) << "total 0";
    UNICODE_STRING noBuffer = {0, 0, nullptr};
    EXPECT_EQ(StrJoin(&noBuffer, &second, 0, TagString), nullptr);
    EXPECT_EQ(StrJoin(&first, nullptr, u'\\', TagString), nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

TEST_F(StringTest, JoinBeyondTheLimitGivesNoneAndFreesEverything) {
    // Two key paths whose join the 16-bit header cannot hold.
    std::u16string big(20000, u'k');
    UNICODE_STRING first = View(big), second = View(big);
    EXPECT_EQ(StrJoin(&first, &second, u'\\', TagRegistryPath), nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    // Exactly at the limit: 32764 + 1 + 1 code units fit.
    std::u16string left(32764, u'x');
    std::u16string one = u"z";
    UNICODE_STRING l = View(left), r = View(one);
    PCOUNTED_STRING joined = StrJoin(&l, &r, u'\\', TagRegistryPath);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(joined->Length, StrMaxLength);
    EXPECT_EQ(joined->Buffer[32765], u'z');
    EXPECT_EQ(joined->Buffer[32764], u'\\');
    StrFree(joined, TagRegistryPath);
}

TEST_F(StringTest, AppendCopiesWhatFitsAndReportsOverflow) {
    char16_t storage[8] = {u'a', u'b', 0, 0, 0x5555, 0x5555, 0x5555, 0x5555};
    UNICODE_STRING dest = {4, 8, storage};  // 4 bytes of room
    std::u16string src = u"xyz";
    UNICODE_STRING source = View(src);

    EXPECT_EQ(StrAppend(&dest, &source), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(std::u16string(storage, 4), u"abxy");
    EXPECT_EQ(storage[4], 0x5555) << "no terminator is written";

    // Full destination and a non-empty source.
    EXPECT_EQ(StrAppend(&dest, &source), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 8);

    // Enough room: success, no terminator.
    char16_t roomy[6] = {u'a', 0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
    UNICODE_STRING wide = {2, 12, roomy};
    std::u16string two = u"bc";
    UNICODE_STRING twoView = View(two);
    EXPECT_EQ(StrAppend(&wide, &twoView), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 6);
    EXPECT_EQ(std::u16string(roomy, 3), u"abc");
    EXPECT_EQ(roomy[3], 0x5555);
}

TEST_F(StringTest, AppendsRefuseMalformedStringsAndChangeNothing) {
    char16_t storage[8] = {};
    std::u16string src = u"x";
    UNICODE_STRING source = View(src);

    struct Case {
        const char* what;
        UNICODE_STRING dest;
    } cases[] = {
        {"odd Length", {3, 8, storage}},
        {"odd MaximumLength", {2, 7, storage}},
        {"Length above MaximumLength", {10, 8, storage}},
        {"MaximumLength 0xFFFF", {2, 0xFFFF, storage}},
        {"no buffer with room", {0, 8, nullptr}},
    };
    for (auto& c : cases) {
        UNICODE_STRING before = c.dest;
        EXPECT_EQ(StrAppend(&c.dest, &source), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(StrAppendZ(&c.dest, u"x"), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(c.dest.Length, before.Length) << c.what;
        EXPECT_EQ(c.dest.MaximumLength, before.MaximumLength) << c.what;
    }

    UNICODE_STRING dest = {0, 8, storage};
    UNICODE_STRING oddSource = {1, 2, src.data()};
    EXPECT_EQ(StrAppend(&dest, &oddSource), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dest.Length, 0);

    // Both zero and no buffer is a valid empty string.
    UNICODE_STRING nothing = {0, 0, nullptr};
    UNICODE_STRING emptySource = {0, 0, nullptr};
    EXPECT_EQ(StrAppend(&nothing, &emptySource), STATUS_SUCCESS);
    EXPECT_EQ(StrAppend(&nothing, &source), STATUS_BUFFER_OVERFLOW);
}

TEST_F(StringTest, AppendZStopsAtTerminatorRoomOrCodeUnitLimit) {
    char16_t storage[4] = {u'a', u'b', 0x5555, 0x5555};
    UNICODE_STRING full = {4, 4, storage};
    EXPECT_EQ(StrAppendZ(&full, u""), STATUS_SUCCESS) << "empty source into a full destination";
    EXPECT_EQ(StrAppendZ(&full, u"c"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full.Length, 4);

    UNICODE_STRING some = {2, 8, storage};
    EXPECT_EQ(StrAppendZ(&some, u"xyz"), STATUS_SUCCESS) << "exactly fills the room";
    EXPECT_EQ(some.Length, 8);
    EXPECT_EQ(std::u16string(storage, 4), u"axyz");

    UNICODE_STRING shorter = {2, 6, storage};
    EXPECT_EQ(StrAppendZ(&shorter, u"pqr"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shorter.Length, 6);
    EXPECT_EQ(std::u16string(storage, 3), u"apq");

    // The code-unit limit: a source longer than 32767 units into the largest
    // destination stops at the limit without reporting a truncation.
    std::u16string huge(40000, u'h');
    std::u16string buffer(32767, u'\0');
    UNICODE_STRING largest = {0, 0xFFFE, buffer.data()};
    EXPECT_EQ(StrAppendZ(&largest, huge.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(largest.Length, 0xFFFE);
}

}  // namespace
