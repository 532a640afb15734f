// Event message layouts, byte for byte, and the clipping of long texts.
#include "sim/user/memory.h"
#include "channel/message.h"
#include "tests/support/strings.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Expected message images are written with explicit little-endian stores at the
// documented offsets, independently of the wire structures.
void Put(Bytes& b, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        b.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}
void Put(Bytes& b, size_t at, const void* text, size_t length) {
    std::memcpy(b.data() + at, text, length);
}
Bytes Image(const void* message) {
    uint32_t size;
    std::memcpy(&size, message, 4);
    const auto* p = static_cast<const uint8_t*>(message);
    return Bytes(p, p + size);
}
using vtest::Us;
// A counted string longer than a UNICODE_STRING can say is not needed: the
// longest texts here are at most 65534 bytes.
UNICODE_STRING Part(const std::u16string& whole, size_t at, size_t chars) {
    UNICODE_STRING u{};
    u.Buffer = const_cast<char16_t*>(whole.data()) + at;
    u.Length = static_cast<USHORT>(chars * 2);
    u.MaximumLength = u.Length;
    return u;
}

class ChannelMessageTest : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override {
        for (void* block : owned_) {
            MessageFree(block);
        }
        EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report();
    }
    template <typename T>
    T* Keep(T* block) {
        owned_.push_back(block);
        return block;
    }

    // A parsed name \Device\V1\d\abc.txt (40 bytes) with its components.
    void MakeName(const std::u16string& text) {
        name_ = text;
        nameInfo_ = {};
        nameInfo_.Size = sizeof(FLT_FILE_NAME_INFORMATION);
        nameInfo_.Name = Us(name_);
    }
    void ParseSampleName() {
        MakeName(u"\\Device\\V1\\d\\abc.txt");
        nameInfo_.Volume = Part(name_, 0, 10);
        nameInfo_.ParentDir = Part(name_, 10, 3);
        nameInfo_.FinalComponent = Part(name_, 13, 7);
        nameInfo_.Extension = Part(name_, 17, 3);
    }
    void Related() {
        fileObject_ = {};
        fileObject_.Flags = FO_SYNCHRONOUS_IO | FO_HANDLE_CREATED;
        related_ = {};
        related_.Size = sizeof(FLT_RELATED_OBJECTS);
        related_.FileObject = &fileObject_;
        iopb_ = {};
    }

    std::vector<void*> owned_;
    std::u16string name_;
    FLT_FILE_NAME_INFORMATION nameInfo_{};
    FILE_OBJECT fileObject_{};
    FLT_RELATED_OBJECTS related_{};
    FLT_IO_PARAMETER_BLOCK iopb_{};
};

TEST_F(ChannelMessageTest, CreateEventWithFortyByteNameIsLaidOutByteForByte) {
    ParseSampleName();
    ASSERT_EQ(nameInfo_.Name.Length, 40);
    Related();
    iopb_.MajorFunction = IRP_MJ_CREATE;
    iopb_.Parameters.Create.Options = (0x03u << 24) | 0x40u;
    iopb_.Parameters.Create.FileAttributes = 0x20;
    iopb_.Parameters.Create.ShareAccess = 3;
    OpParams params{};
    params.Create = &iopb_.Parameters;
    HandleTrack track{};
    track.FileId = 0x1122334455667788ull;

    FileEvent* message = nullptr;
    PLONG reply = nullptr;
    ASSERT_EQ(FileMonBuildMessage(&message, &reply, &nameInfo_, nullptr, &related_, &iopb_, FileOpWriteAccess, &params,
                                  &track),
              STATUS_SUCCESS);
    Keep(message);
    Keep(reply);

    Bytes want(144, 0);
    Put(want, 0, 144, 4);
    Put(want, 4, 0, 4);
    Put(want, 8, 0, 4);    // volume at the start of the name
    Put(want, 12, 20, 4);
    Put(want, 16, 26, 4);  // final component
    Put(want, 20, 14, 4);
    Put(want, 24, 34, 4);  // extension
    Put(want, 28, 6, 4);
    Put(want, 32, 20, 4);  // parent directory
    Put(want, 36, 6, 4);
    Put(want, 40, FO_SYNCHRONOUS_IO | FO_HANDLE_CREATED, 4);
    Put(want, 48, reinterpret_cast<uintptr_t>(&fileObject_), 8);
    Put(want, 56, reinterpret_cast<uintptr_t>(PsGetCurrentProcessId()), 4);
    Put(want, 60, IRP_MJ_CREATE, 1);
    Put(want, 64, FileOpWriteAccess, 4);
    Put(want, 72, 0x1122334455667788ull, 8);
    Put(want, 80, (0x03u << 24) | 0x40u, 4);
    Put(want, 84, 0x20, 2);
    Put(want, 86, 3, 2);
    Put(want, 96, 40, 4);
    Put(want, 102, name_.data(), 40);
    EXPECT_EQ(Image(message), want);

    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(*reply, VerdictNone);
    auto info = sim::pool::Lookup(message);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->tag, TagMessage);
    EXPECT_EQ(info->size, 144u);
    EXPECT_EQ(info->type, DriverPoolType);
    info = sim::pool::Lookup(reply);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->tag, TagMessage);
    EXPECT_EQ(info->size, 4u);
}

TEST_F(ChannelMessageTest, RenameCarriesTheDestinationAfterTheName) {
    MakeName(u"\\V\\old.txt");  // 20 bytes
    std::u16string destText = u"\\V\\dir\\new.txt2";  // 30 bytes
    FLT_FILE_NAME_INFORMATION dest{};
    dest.Name = Us(destText);
    ASSERT_EQ(dest.Name.Length, 30);
    Related();

    struct {
        uint8_t bytes[24];
    } renameBuffer{};
    for (FILE_INFORMATION_CLASS infoClass : {FileRenameInformation, FileRenameInformationEx}) {
        renameBuffer.bytes[0] = infoClass == FileRenameInformation ? 1 : 0x43;  // ReplaceIfExists / Flags low byte
        iopb_.MajorFunction = IRP_MJ_SET_INFORMATION;
        iopb_.Parameters.SetFileInformation.FileInformationClass = infoClass;
        iopb_.Parameters.SetFileInformation.Length = sizeof(renameBuffer);
        iopb_.Parameters.SetFileInformation.InfoBuffer = &renameBuffer;
        OpParams params{};
        params.SetInformation = &iopb_.Parameters;

        FileEvent* message = nullptr;
        ASSERT_EQ(FileMonBuildMessage(&message, nullptr, &nameInfo_, &dest, &related_, &iopb_, FileOpRename, &params,
                                      nullptr),
                  STATUS_SUCCESS);
        Keep(message);
        Bytes got = Image(message);
        ASSERT_EQ(got.size(), 154u);
        Bytes area(got.begin() + 80, got.begin() + 96);
        Bytes wantArea(16, 0);
        Put(wantArea, 0, renameBuffer.bytes[0], 1);
        Put(wantArea, 4, 30, 4);
        Put(wantArea, 8, 0, 1);
        Put(wantArea, 12, 114, 4);
        EXPECT_EQ(area, wantArea) << "class " << infoClass;
        EXPECT_EQ(0, std::memcmp(got.data() + 102, name_.data(), 20));
        EXPECT_EQ(0, std::memcmp(got.data() + 122, destText.data(), 30));
        EXPECT_EQ(got[152], 0);
        EXPECT_EQ(got[153], 0);
        EXPECT_EQ(got[64], FileOpRename);
        EXPECT_EQ(got[72], 0) << "no HandleTrack: FileId 0";
    }
}

TEST_F(ChannelMessageTest, OverlongNameFillsTheBudgetAndDropsTheDestination) {
    std::u16string longName(65500 / 2, u'a');
    MakeName(longName);
    std::u16string destText(15, u'd');
    FLT_FILE_NAME_INFORMATION dest{};
    dest.Name = Us(destText);
    Related();
    UCHAR replace = 1;
    iopb_.Parameters.SetFileInformation.FileInformationClass = FileRenameInformation;
    iopb_.Parameters.SetFileInformation.Length = 1;
    iopb_.Parameters.SetFileInformation.InfoBuffer = &replace;
    OpParams params{};
    params.SetInformation = &iopb_.Parameters;

    FileEvent* message = nullptr;
    PLONG reply = nullptr;
    ASSERT_EQ(FileMonBuildMessage(&message, &reply, &nameInfo_, &dest, &related_, &iopb_, FileOpRename, &params,
                                  nullptr),
              STATUS_SUCCESS);
    Keep(message);
    Keep(reply);
    Bytes got = Image(message);
    ASSERT_EQ(got.size(), 0xFFFFu);
    EXPECT_EQ(message->NameLength, 65431u);
    EXPECT_EQ(message->NameTruncated, 1);
    EXPECT_EQ(message->Params.Rename.ReplaceIfExists, 1);
    EXPECT_EQ(message->Params.Rename.DestNameLength, 0u);
    EXPECT_EQ(message->Params.Rename.DestNameTruncated, 0);
    EXPECT_EQ(message->Params.Rename.DestNameOffset, 0u);
    // The odd budget leaves half a code unit at the end, sent as it is.
    EXPECT_EQ(0, std::memcmp(got.data() + 102, longName.data(), 65431));
    for (size_t i = 102 + 65431; i < got.size(); ++i) {
        ASSERT_EQ(got[i], 0) << "tail byte " << i;
    }

    // One byte of budget left for the destination: it is carried, clipped.
    std::u16string shorter(65430 / 2, u'b');
    MakeName(shorter);
    FileEvent* second = nullptr;
    ASSERT_EQ(FileMonBuildMessage(&second, nullptr, &nameInfo_, &dest, &related_, &iopb_, FileOpRename, &params,
                                  nullptr),
              STATUS_SUCCESS);
    Keep(second);
    EXPECT_EQ(second->Header.Size, 0xFFFFu);
    EXPECT_EQ(second->NameTruncated, 0);
    EXPECT_EQ(second->Params.Rename.DestNameLength, 1u);
    EXPECT_EQ(second->Params.Rename.DestNameTruncated, 1);
    EXPECT_EQ(second->Params.Rename.DestNameOffset, 65430u + 94u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(second)[102 + 65430], static_cast<uint8_t>(u'd'));
}

TEST_F(ChannelMessageTest, ParameterAreaFollowsTheRequestKind) {
    ParseSampleName();
    Related();
    std::u16string destText = u"\\V\\elsewhere";
    FLT_FILE_NAME_INFORMATION dest{};
    dest.Name = Us(destText);
    const Bytes zero(16, 0);

    // A set-information request that is not a rename: area zero, destination ignored.
    uint8_t disposition[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    iopb_.Parameters.SetFileInformation.FileInformationClass = FileDispositionInformation;
    iopb_.Parameters.SetFileInformation.Length = sizeof(disposition);
    iopb_.Parameters.SetFileInformation.InfoBuffer = disposition;
    OpParams params{};
    params.SetInformation = &iopb_.Parameters;
    FileEvent* message = nullptr;
    ASSERT_EQ(FileMonBuildMessage(&message, nullptr, &nameInfo_, &dest, &related_, &iopb_, FileOpDelete, &params, nullptr),
              STATUS_SUCCESS);
    Keep(message);
    Bytes got = Image(message);
    EXPECT_EQ(got.size(), 144u);
    EXPECT_EQ(Bytes(got.begin() + 80, got.begin() + 96), zero);

    // A write: length and signed offset.
    iopb_ = {};
    iopb_.MajorFunction = IRP_MJ_WRITE;
    iopb_.Parameters.Write.Length = 4096;
    iopb_.Parameters.Write.ByteOffset.QuadPart = -2;  // FILE_USE_FILE_POINTER_POSITION style
    params = {};
    params.Write = &iopb_.Parameters;
    ASSERT_EQ(FileMonBuildMessage(&message, nullptr, &nameInfo_, nullptr, &related_, &iopb_, FileOpWrite, &params, nullptr),
              STATUS_SUCCESS);
    Keep(message);
    got = Image(message);
    Bytes want(16, 0);
    Put(want, 0, 4096, 4);
    Put(want, 8, static_cast<uint64_t>(-2), 8);
    EXPECT_EQ(Bytes(got.begin() + 80, got.begin() + 96), want);
    EXPECT_EQ(got[60], IRP_MJ_WRITE);

    // Section acquisition and device control leave the area zero.
    iopb_.Parameters.Others.Argument1 = reinterpret_cast<PVOID>(~uintptr_t{0});
    for (int slot = 0; slot < 3; ++slot) {
        params = {};
        if (slot == 1) params.AcquireForSection = &iopb_.Parameters;
        if (slot == 2) params.DeviceControl = &iopb_.Parameters;
        ASSERT_EQ(FileMonBuildMessage(&message, nullptr, &nameInfo_, nullptr, &related_, &iopb_, FileOpExecute, &params,
                                      nullptr),
                  STATUS_SUCCESS);
        Keep(message);
        got = Image(message);
        EXPECT_EQ(Bytes(got.begin() + 80, got.begin() + 96), zero) << "slot " << slot;
    }
}

TEST_F(ChannelMessageTest, EmptyNameLeavesNameFieldsZero) {
    MakeName(u"");
    nameInfo_.Name.Buffer = nullptr;
    nameInfo_.Volume = Us(name_);  // components are not written without a name
    nameInfo_.Volume.Length = 8;
    Related();
    OpParams params{};
    FileEvent* message = nullptr;
    ASSERT_EQ(FileMonBuildMessage(&message, nullptr, &nameInfo_, nullptr, &related_, &iopb_, FileOpOpen, &params, nullptr),
              STATUS_SUCCESS);
    Keep(message);
    Bytes got = Image(message);
    ASSERT_EQ(got.size(), 104u);
    EXPECT_EQ(Bytes(got.begin() + 8, got.begin() + 40), Bytes(32, 0));
    EXPECT_EQ(Bytes(got.begin() + 96, got.end()), Bytes(8, 0));
}

TEST_F(ChannelMessageTest, MissingArgumentsAllocateNothing) {
    ParseSampleName();
    Related();
    OpParams params{};
    FileEvent* message = reinterpret_cast<FileEvent*>(0x1);
    PLONG reply = reinterpret_cast<PLONG>(0x1);
    auto build = [&](PFLT_FILE_NAME_INFORMATION n, PCFLT_RELATED_OBJECTS r, PFLT_IO_PARAMETER_BLOCK i, const OpParams* p) {
        return FileMonBuildMessage(&message, &reply, n, nullptr, r, i, FileOpOpen, p, nullptr);
    };
    EXPECT_EQ(build(nullptr, &related_, &iopb_, &params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(build(&nameInfo_, nullptr, &iopb_, &params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(build(&nameInfo_, &related_, nullptr, &params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(build(&nameInfo_, &related_, &iopb_, nullptr), STATUS_INVALID_PARAMETER);
    FLT_RELATED_OBJECTS noFile = related_;
    noFile.FileObject = nullptr;
    EXPECT_EQ(build(&nameInfo_, &noFile, &iopb_, &params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FileMonBuildMessage(nullptr, &reply, &nameInfo_, nullptr, &related_, &iopb_, FileOpOpen, &params, nullptr),
              STATUS_INVALID_PARAMETER);

    RegistryEvent* reg = nullptr;
    EXPECT_EQ(RegMonBuildMessage(&reg, nullptr, nullptr, RegOpKeyCreated, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg, nullptr);
    RegEventInfo info{};
    EXPECT_EQ(RegMonBuildMessage(nullptr, nullptr, nullptr, RegOpKeyCreated, &info), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ProcMonBuildMessage(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::pool::AllocationCount(), 0u);
}

TEST_F(ChannelMessageTest, RegistryValueSetClipsTheDataToTheRemainingBudget) {
    std::u16string keyPath(50, u'k');  // 100 bytes
    std::u16string valueName(5, u'v');  // 10 bytes
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    UNICODE_STRING key = Us(keyPath);
    UNICODE_STRING value = Us(valueName);
    // Before the start-up decides otherwise, the data is taken to be the
    // caller's own buffer: it lies in user memory.
    sim::user::UserView caller(data.data(), data.size(), false);
    REG_SET_VALUE_KEY_INFORMATION set{};
    set.ValueName = &value;
    set.Type = REG_BINARY;
    set.Data = caller.address();
    set.DataSize = static_cast<ULONG>(data.size());
    RegEventInfo info{};
    info.KeyPath = &key;
    info.NotifyClass = RegNtPreSetValueKey;
    info.SetValueInfo = &set;

    RegistryEvent* message = nullptr;
    PLONG reply = nullptr;
    ASSERT_EQ(RegMonBuildMessage(&message, &reply, reinterpret_cast<HANDLE>(0x1234), RegOpValueModified, &info),
              STATUS_SUCCESS);
    Keep(message);
    Keep(reply);
    Bytes got = Image(message);
    ASSERT_EQ(got.size(), 0xFFFFu);
    Bytes fixed(54, 0);
    Put(fixed, 0, 0xFFFF, 4);
    Put(fixed, 4, 1, 4);
    Put(fixed, 8, 0x1234, 4);
    Put(fixed, 12, RegOpValueModified, 4);
    Put(fixed, 16, 10, 4);
    Put(fixed, 24, 100, 4);
    Put(fixed, 28, REG_BINARY, 4);
    Put(fixed, 32, 65321, 4);
    Put(fixed, 36, 1, 1);
    Put(fixed, 40, 110, 4);
    Put(fixed, 44, 100, 4);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 54), fixed);
    EXPECT_EQ(0, std::memcmp(got.data() + 54, keyPath.data(), 100));
    EXPECT_EQ(0, std::memcmp(got.data() + 154, valueName.data(), 10));
    EXPECT_EQ(0, std::memcmp(got.data() + 164, data.data(), 65321));
    EXPECT_EQ(Bytes(got.begin() + 164 + 65321, got.end()), Bytes(50, 0));
    EXPECT_EQ(*reply, VerdictNone);
}

TEST_F(ChannelMessageTest, RegistryTextsFollowOneAnother) {
    std::u16string keyPath = u"\\REGISTRY\\MACHINE\\SOFTWARE\\T";
    std::u16string newName = u"Renamed";
    UNICODE_STRING key = Us(keyPath);
    UNICODE_STRING renamed = Us(newName);
    const ULONG keyBytes = key.Length;

    // Key deletion: only the key path.
    REG_DELETE_KEY_INFORMATION del{};
    RegEventInfo info{};
    info.KeyPath = &key;
    info.DeleteKeyInfo = &del;
    RegistryEvent* message = nullptr;
    ASSERT_EQ(RegMonBuildMessage(&message, nullptr, reinterpret_cast<HANDLE>(8), RegOpKeyDeleted, &info), STATUS_SUCCESS);
    Keep(message);
    Bytes got = Image(message);
    ASSERT_EQ(got.size(), 104u + keyBytes);
    Bytes fixed(54, 0);
    Put(fixed, 0, 104 + keyBytes, 4);
    Put(fixed, 4, 1, 4);
    Put(fixed, 8, 8, 4);
    Put(fixed, 12, RegOpKeyDeleted, 4);
    Put(fixed, 44, keyBytes, 4);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 54), fixed);

    // Key rename: the new name right after the key path.
    REG_RENAME_KEY_INFORMATION rename{};
    rename.NewName = &renamed;
    info = {};
    info.KeyPath = &key;
    info.RenameInfo = &rename;
    ASSERT_EQ(RegMonBuildMessage(&message, nullptr, reinterpret_cast<HANDLE>(8), RegOpKeyRenamed, &info), STATUS_SUCCESS);
    Keep(message);
    EXPECT_EQ(message->NameLength, 14u);
    EXPECT_EQ(message->NameOffset, keyBytes);
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<uint8_t*>(message) + 54 + keyBytes, newName.data(), 14));

    // A value deletion without a key path: the name starts the text area; a
    // value set with empty data carries no data and no type.
    REG_DELETE_VALUE_KEY_INFORMATION delValue{};
    delValue.ValueName = &renamed;
    info = {};
    info.DeleteValueInfo = &delValue;
    ASSERT_EQ(RegMonBuildMessage(&message, nullptr, nullptr, RegOpValueDeleted, &info), STATUS_SUCCESS);
    Keep(message);
    EXPECT_EQ(message->Header.Size, 104u + 14u);
    EXPECT_EQ(message->NameOffset, 0u);
    EXPECT_EQ(message->KeyPathLength, 0u);

    uint8_t one = 1;
    REG_SET_VALUE_KEY_INFORMATION set{};
    set.ValueName = &renamed;
    set.Type = REG_DWORD;
    set.Data = &one;
    set.DataSize = 0;
    info = {};
    info.KeyPath = &key;
    info.SetValueInfo = &set;
    ASSERT_EQ(RegMonBuildMessage(&message, nullptr, nullptr, RegOpValueCreated, &info), STATUS_SUCCESS);
    Keep(message);
    EXPECT_EQ(message->DataType, 0u);
    EXPECT_EQ(message->DataLength, 0u);
    EXPECT_EQ(message->DataOffset, 0u);
    EXPECT_EQ(message->Header.Size, 104u + keyBytes + 14u);
}

TEST_F(ChannelMessageTest, ProcessEvents) {
    // An exit with no image name: nothing but the ids.
    ProcessEvent* message = nullptr;
    ASSERT_EQ(ProcMonBuildMessage(&message, nullptr, nullptr, nullptr, reinterpret_cast<HANDLE>(0x10),
                                  reinterpret_cast<HANDLE>(0x1000000024), FALSE),
              STATUS_SUCCESS);
    Keep(message);
    Bytes want(104, 0);
    Put(want, 0, 104, 4);
    Put(want, 4, 3, 4);
    Put(want, 8, 0x24, 4);  // low 32 bits of the id
    Put(want, 12, 0x10, 4);
    EXPECT_EQ(Image(message), want);

    // A start with both texts.
    std::u16string image = u"\\Device\\HarddiskVolume1\\w\\a.exe";
    std::u16string command = u"a.exe -x";
    UNICODE_STRING imageUs = Us(image);
    UNICODE_STRING commandUs = Us(command);
    ASSERT_EQ(ProcMonBuildMessage(&message, nullptr, &imageUs, &commandUs, reinterpret_cast<HANDLE>(8),
                                  reinterpret_cast<HANDLE>(12), TRUE),
              STATUS_SUCCESS);
    Keep(message);
    const uint32_t il = imageUs.Length, cl = commandUs.Length;
    want.assign(104 + il + cl, 0);
    Put(want, 0, 104 + il + cl, 4);
    Put(want, 4, 3, 4);
    Put(want, 8, 12, 4);
    Put(want, 12, 8, 4);
    Put(want, 16, 1, 1);
    Put(want, 20, il, 4);
    Put(want, 32, cl, 4);
    Put(want, 36, il, 4);
    Put(want, 42, image.data(), il);
    Put(want, 42 + il, command.data(), cl);
    EXPECT_EQ(Image(message), want);

    // An empty but present command line counts as absent.
    UNICODE_STRING empty = Us(u"");
    ASSERT_EQ(ProcMonBuildMessage(&message, nullptr, &imageUs, &empty, nullptr, nullptr, TRUE), STATUS_SUCCESS);
    Keep(message);
    EXPECT_EQ(message->CommandLineOffset, 0u);
    EXPECT_EQ(message->Header.Size, 104u + il);
}

TEST_F(ChannelMessageTest, AllocationFailuresLeaveNothingBehind) {
    std::u16string image = u"\\Device\\V\\a.exe";
    UNICODE_STRING imageUs = Us(image);
    ProcessEvent* message = reinterpret_cast<ProcessEvent*>(0x1);
    PLONG reply = reinterpret_cast<PLONG>(0x1);

    sim::pool::FailNth(1);  // the message itself
    EXPECT_EQ(ProcMonBuildMessage(&message, &reply, &imageUs, nullptr, nullptr, nullptr, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    sim::pool::FailNth(2);  // the reply cell: the message goes too
    EXPECT_EQ(ProcMonBuildMessage(&message, &reply, &imageUs, nullptr, nullptr, nullptr, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
    EXPECT_EQ(sim::pool::InjectedFailureCount(), 2u);

    // Without a reply cell asked for, one allocation is all it takes.
    sim::pool::FailNth(2);
    ASSERT_EQ(ProcMonBuildMessage(&message, nullptr, &imageUs, nullptr, nullptr, nullptr, TRUE), STATUS_SUCCESS);
    Keep(message);
    sim::pool::ClearFaults();
}

TEST_F(ChannelMessageTest, ClipSharesTheOddBudgetInPlacementOrder) {
    ULONG budget = EVENT_TEXT_BUDGET;
    EXPECT_EQ(MessageClipText(65430, &budget), 65430u);
    EXPECT_EQ(MessageClipText(4, &budget), 1u);
    EXPECT_EQ(MessageClipText(4, &budget), 0u);
    EXPECT_EQ(budget, 0u);
}

}  // namespace
