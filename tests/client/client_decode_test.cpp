// The client's decoding of event messages: round trips through the builders,
// and malformed messages that must be refused without reading out of bounds.
#include "sim/user/memory.h"
#include "channel/message.h"
#include "tests/support/strings.h"
#include "client/lib/decode.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using vetrona::client::DecodeError;
using vetrona::client::DecodeEvent;
using vetrona::client::FileEventView;
using vetrona::client::ProcessEventView;
using vetrona::client::RegistryEventView;
using Bytes = std::vector<uint8_t>;

using vtest::Us;

Bytes Take(void* message) {
    uint32_t size;
    std::memcpy(&size, message, 4);
    Bytes b(static_cast<uint8_t*>(message), static_cast<uint8_t*>(message) + size);
    MessageFree(message);
    return b;
}

void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

class ClientDecodeTest : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report(); }

    // A rename of \Device\V1\d\abc.txt to \Device\V1\e.txt, built by the driver.
    Bytes RenameMessage() {
        FLT_FILE_NAME_INFORMATION info{};
        info.Name = Us(name_);
        info.Volume = Us(name_);
        info.Volume.Length = 20;
        info.FinalComponent = Us(name_);
        info.FinalComponent.Buffer += 13;
        info.FinalComponent.Length = 14;
        info.Extension = Us(name_);
        info.Extension.Buffer += 17;
        info.Extension.Length = 6;
        FLT_FILE_NAME_INFORMATION dest{};
        dest.Name = Us(dest_);
        FILE_OBJECT fo{};
        FLT_RELATED_OBJECTS related{};
        related.FileObject = &fo;
        FLT_IO_PARAMETER_BLOCK iopb{};
        iopb.MajorFunction = IRP_MJ_SET_INFORMATION;
        UCHAR replace = 1;
        iopb.Parameters.SetFileInformation.FileInformationClass = FileRenameInformation;
        iopb.Parameters.SetFileInformation.Length = 1;
        iopb.Parameters.SetFileInformation.InfoBuffer = &replace;
        OpParams params{};
        params.SetInformation = &iopb.Parameters;
        FileEvent* message = nullptr;
        EXPECT_EQ(FileMonBuildMessage(&message, nullptr, &info, &dest, &related, &iopb, FileOpRename, &params, nullptr),
                  STATUS_SUCCESS);
        return Take(message);
    }

    std::u16string name_ = u"\\Device\\V1\\d\\abc.txt";
    std::u16string dest_ = u"\\Device\\V1\\e.txt";
};

TEST_F(ClientDecodeTest, BuiltMessagesDecodeToWhatWasGiven) {
    Bytes bytes = RenameMessage();
    auto result = DecodeEvent(bytes);
    ASSERT_TRUE(result.ok()) << DecodeErrorName(result.error);
    const auto& file = std::get<FileEventView>(result.event);
    EXPECT_EQ(file.operation, FileOpRename);
    EXPECT_EQ(file.name.Utf16(), name_);
    EXPECT_EQ(file.destName.Utf16(), dest_);
    EXPECT_EQ(file.params.Rename.ReplaceIfExists, 1);
    EXPECT_EQ(file.volume.text.Utf8(), "\\Device\\V1");
    EXPECT_EQ(file.finalComponent.text.Utf8(), "abc.txt");
    EXPECT_EQ(file.extension.text.Utf8(), "txt");
    EXPECT_FALSE(file.parentDir.present);

    // A receive buffer larger than the message: the rest is ignored.
    bytes.resize(bytes.size() + 100, 0xEE);
    EXPECT_TRUE(DecodeEvent(bytes).ok());

    std::u16string key = u"\\REGISTRY\\MACHINE\\K";
    std::u16string value = u"V\u00e9";
    UNICODE_STRING keyUs = Us(key), valueUs = Us(value);
    uint32_t dword = 0xCAFEF00D;
    // Taken to be the caller's own buffer until the driver starts: user memory.
    sim::user::UserView caller(&dword, sizeof(dword), false);
    REG_SET_VALUE_KEY_INFORMATION set{};
    set.ValueName = &valueUs;
    set.Type = REG_DWORD;
    set.Data = caller.address();
    set.DataSize = 4;
    RegEventInfo info{};
    info.KeyPath = &keyUs;
    info.SetValueInfo = &set;
    RegistryEvent* reg = nullptr;
    ASSERT_EQ(RegMonBuildMessage(&reg, nullptr, reinterpret_cast<HANDLE>(44), RegOpValueCreated, &info), STATUS_SUCCESS);
    const Bytes regBytes = Take(reg);
    result = DecodeEvent(regBytes);
    ASSERT_TRUE(result.ok());
    const auto& r = std::get<RegistryEventView>(result.event);
    EXPECT_EQ(r.processId, 44u);
    EXPECT_EQ(r.keyPath.Utf16(), key);
    EXPECT_EQ(r.name.Utf8(), "V\xc3\xa9");
    ASSERT_EQ(r.data.bytes.size(), 4u);
    uint32_t got;
    std::memcpy(&got, r.data.bytes.data(), 4);
    EXPECT_EQ(got, dword);
    EXPECT_EQ(r.dataType, static_cast<uint32_t>(REG_DWORD));

    std::u16string image = u"\\Device\\V1\\p.exe";
    UNICODE_STRING imageUs = Us(image);
    ProcessEvent* proc = nullptr;
    ASSERT_EQ(ProcMonBuildMessage(&proc, nullptr, &imageUs, nullptr, reinterpret_cast<HANDLE>(8),
                                  reinterpret_cast<HANDLE>(12), TRUE),
              STATUS_SUCCESS);
    const Bytes procBytes = Take(proc);
    result = DecodeEvent(procBytes);
    ASSERT_TRUE(result.ok());
    const auto& p = std::get<ProcessEventView>(result.event);
    EXPECT_TRUE(p.isCreate);
    EXPECT_EQ(p.imageName.Utf16(), image);
    EXPECT_TRUE(p.commandLine.empty());
}

TEST_F(ClientDecodeTest, ShortOrOversizedMessagesAreRefused) {
    Bytes bytes = RenameMessage();
    EXPECT_EQ(DecodeEvent(std::span(bytes).first(7)).error, DecodeError::TooShort);
    // Fewer bytes at hand than the header claims.
    EXPECT_EQ(DecodeEvent(std::span(bytes).first(bytes.size() - 1)).error, DecodeError::BadSize);
    Bytes big(0x10000 + 8, 0);
    Put32(big, 0, 0x10000);
    EXPECT_EQ(DecodeEvent(big).error, DecodeError::BadSize);
    // A size smaller than the class's fixed part.
    Bytes small = bytes;
    Put32(small, 0, 60);
    EXPECT_EQ(DecodeEvent(small).error, DecodeError::TooShort);
    Bytes unknown = bytes;
    Put32(unknown, 4, 2);  // class 2 is never sent
    EXPECT_EQ(DecodeEvent(unknown).error, DecodeError::UnknownClass);
}

TEST_F(ClientDecodeTest, TextsOutsideTheMessageAreRefused) {
    const Bytes good = RenameMessage();
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
    };
    const uint32_t nameLength = static_cast<uint32_t>(name_.size() * 2);
    const Case cases[] = {
        {"name longer than the message", 96, static_cast<uint32_t>(good.size())},
        {"name length near 2^32", 96, 0xFFFFFFF0u},
        {"destination length past the end", 84, 1000},
        {"destination offset past the end", 92, 0xFFFFFFFFu},
        {"destination overlapping the name", 92, nameLength + 93},
    };
    for (const Case& c : cases) {
        Bytes bad = good;
        Put32(bad, c.at, c.value);
        EXPECT_EQ(DecodeEvent(bad).error, DecodeError::TextOutOfRange) << c.what;
    }
    // A component beyond a (clipped) name is reported absent, not read.
    Bytes clippedComponent = good;
    Put32(clippedComponent, 16, nameLength - 2);
    auto result = DecodeEvent(clippedComponent);
    ASSERT_TRUE(result.ok());
    EXPECT_FALSE(std::get<FileEventView>(result.event).finalComponent.present);

    // Registry and process texts are checked against the text area.
    Bytes reg(104 + 10, 0);
    Put32(reg, 0, static_cast<uint32_t>(reg.size()));
    Put32(reg, 4, EVENT_CLASS_REGISTRY);
    Put32(reg, 44, 10);  // key path of 10 bytes at 54: fits
    EXPECT_TRUE(DecodeEvent(reg).ok());
    Put32(reg, 48, 51);  // moved to 105..114: past the end
    EXPECT_EQ(DecodeEvent(reg).error, DecodeError::TextOutOfRange);
    Put32(reg, 48, 0);
    Put32(reg, 32, 0x7FFFFFFF);  // data length
    EXPECT_EQ(DecodeEvent(reg).error, DecodeError::TextOutOfRange);

    Bytes proc(104, 0);
    Put32(proc, 0, 104);
    Put32(proc, 4, EVENT_CLASS_PROCESS);
    Put32(proc, 32, 4);
    Put32(proc, 36, 0xFFFFFFFEu);  // offset that wraps a 32-bit sum
    EXPECT_EQ(DecodeEvent(proc).error, DecodeError::TextOutOfRange);
}

TEST_F(ClientDecodeTest, HalfUnitAtTheEndOfAClippedTextIsDropped) {
    vetrona::client::TextView text;
    const uint8_t raw[] = {'a', 0, 0x3D, 0xD8, 'b'};  // 'a', an unpaired high surrogate, half a unit
    text.bytes = std::span<const uint8_t>(raw, sizeof(raw));
    EXPECT_EQ(text.Utf16().size(), 2u);
    EXPECT_EQ(text.Utf8(), "a\xEF\xBF\xBD");
}

}  // namespace
