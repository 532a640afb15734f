// Raw disk writes: which pass-through and partition-table requests the
// classifier reports, each form reported and denied by the driver on the
// model with the disk left as it was, and the model disk's own refusals.
#include "tests/support/filemon_fixture.h"

#include "filemon/filemon.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"

#include <algorithm>
#include <set>

namespace {

using vtest::FileMonTest;

constexpr int32_t kAllow = 0;

FLT_PARAMETERS Control(ULONG code, std::vector<uint8_t>& bytes) {
    FLT_PARAMETERS parameters{};
    parameters.DeviceIoControl.Buffered.IoControlCode = code;
    parameters.DeviceIoControl.Buffered.InputBufferLength = static_cast<ULONG>(bytes.size());
    parameters.DeviceIoControl.Buffered.SystemBuffer = bytes.empty() ? nullptr : bytes.data();
    return parameters;
}

FILE_OPERATION ClassifyScsi(ULONG code, UCHAR direction, UCHAR opCode) {
    std::vector<uint8_t> bytes(sizeof(SCSI_PASS_THROUGH_DIRECT), 0);
    bytes[FilterScsiDataInOffset] = direction;
    bytes[FilterScsiOpCodeOffset] = opCode;
    FLT_PARAMETERS parameters = Control(code, bytes);
    return FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters);
}

FILE_OPERATION ClassifyAta(ULONG code, USHORT flags, UCHAR command) {
    std::vector<uint8_t> bytes(sizeof(ATA_PASS_THROUGH_DIRECT), 0);
    bytes[FilterAtaFlagsOffset] = static_cast<uint8_t>(flags);
    bytes[FilterAtaFlagsOffset + 1] = static_cast<uint8_t>(flags >> 8);
    bytes[FilterAtaCommandOffset] = command;
    FLT_PARAMETERS parameters = Control(code, bytes);
    return FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters);
}

// Every operation code both ways, through the buffered and the direct record.
TEST(RawDiskClassifier, EveryScsiOperationCode) {
    const std::set<int> writes = {0x0A, 0x2A, 0xAA, 0x8A, 0x2E, 0xAE, 0x8E, 0x41, 0x93, 0x3F, 0x89, 0x9C, 0x7F};
    const std::set<int> destroys = {0x42, 0x04, 0x48};
    for (ULONG code : {static_cast<ULONG>(IOCTL_SCSI_PASS_THROUGH_DIRECT), static_cast<ULONG>(IOCTL_SCSI_PASS_THROUGH)}) {
        for (int op = 0; op < 256; ++op) {
            SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code << " op 0x" << op);
            const bool destroy = destroys.count(op) != 0;
            const bool write = writes.count(op) != 0;
            const auto expected = [&](bool dataOut) { return destroy || (write && dataOut) ? FileOpScsiWrite : FileOpNone; };
            EXPECT_EQ(ClassifyScsi(code, SCSI_IOCTL_DATA_OUT, static_cast<UCHAR>(op)), expected(true));
            EXPECT_EQ(ClassifyScsi(code, SCSI_IOCTL_DATA_UNSPECIFIED, static_cast<UCHAR>(op)), expected(true));
            EXPECT_EQ(ClassifyScsi(code, SCSI_IOCTL_DATA_IN, static_cast<UCHAR>(op)), expected(false));
        }
    }
    // The same record under a code that is no pass-through is nothing.
    EXPECT_EQ(ClassifyScsi(0x4D040, SCSI_IOCTL_DATA_OUT, 0x2A), FileOpNone);
}

TEST(RawDiskClassifier, EveryAtaCommandWithEveryFlagSet) {
    const std::set<int> writes = {0x30, 0x31, 0x34, 0x35, 0x36, 0x39, 0x3A, 0x3B, 0x3D, 0x3E, 0x61, 0xC5, 0xCA, 0xCB, 0xCC, 0xCE, 0xE8};
    const std::set<int> destroys = {0x06, 0xB4, 0xF4};
    for (ULONG code : {static_cast<ULONG>(IOCTL_ATA_PASS_THROUGH_DIRECT), static_cast<ULONG>(IOCTL_ATA_PASS_THROUGH)}) {
        for (int command = 0; command < 256; ++command) {
            for (USHORT flags = 0; flags < 0x40; ++flags) {
                SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code << " command 0x" << command << " flags 0x" << flags);
                const bool dataOut = (flags & ATA_FLAGS_DATA_OUT) != 0;
                const bool reported = destroys.count(command) != 0 || (writes.count(command) != 0 && dataOut);
                ASSERT_EQ(ClassifyAta(code, flags, static_cast<UCHAR>(command)), reported ? FileOpAtaWrite : FileOpNone);
            }
        }
    }
    EXPECT_EQ(ClassifyAta(IOCTL_ATA_PASS_THROUGH_DIRECT, 0x8004, 0xCA), FileOpAtaWrite);  // a high flag bit changes nothing
}

// A partition-table change is known by its code, with or without a buffer.
TEST(RawDiskClassifier, PartitionTableRequests) {
    std::vector<uint8_t> none;
    std::vector<uint8_t> layout(48, 0);
    for (ULONG code : {0x7C054u, 0x7C058u, 0x7C100u}) {
        SCOPED_TRACE(code);
        FLT_PARAMETERS parameters = Control(code, none);
        EXPECT_EQ(FilterClassifyDeviceControl(0, &parameters), FileOpScsiWrite);
        parameters = Control(code, layout);
        EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpScsiWrite);
    }
    // Reading the layout, or the geometry, is no change.
    for (ULONG code : {0x70050u, 0x70000u, 0x7C050u}) {
        FLT_PARAMETERS parameters = Control(code, layout);
        EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpNone);
    }
}

// ---------------------------------------------------------------------------
// On the model: a watched administrator's raw writes.

std::vector<uint8_t> Pattern(size_t sectors, uint8_t seed) {
    std::vector<uint8_t> bytes(sectors * sim::fs::kSectorSize);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return bytes;
}

// One raw request: the control code and the bytes of its record (with the
// data after it for the buffered forms).
struct RawRequest {
    const char* what;
    ULONG code;
    std::vector<uint8_t> input;
    uint64_t lba;      // the first sector it changes
    uint32_t sectors;  // how many
};

class RawDiskTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        admin_ = StartProcess(vtest::kAppImage, nullptr, true);
        ASSERT_EQ(AddProcess(Pid(admin_)), STATUS_SUCCESS);
        ASSERT_EQ(sim::user::CreateFile(admin_, u"\\\\.\\C:", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &volume_),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        if (volume_ != nullptr) {
            EXPECT_EQ(Close(volume_, admin_), STATUS_SUCCESS);
        }
        FileMonTest::TearDown();
    }

    NTSTATUS Send(RawRequest& request, std::vector<uint8_t>* output = nullptr) {
        ULONG returned = 0;
        std::vector<uint8_t> out(request.input.size());
        const NTSTATUS status =
            sim::user::DeviceIoControl(admin_, volume_, request.code, request.input.empty() ? nullptr : request.input.data(),
                                       static_cast<ULONG>(request.input.size()), out.empty() ? nullptr : out.data(),
                                       static_cast<ULONG>(out.size()), &returned);
        if (output != nullptr) {
            *output = out;
        }
        return status;
    }

    _EPROCESS* admin_ = nullptr;
    HANDLE volume_ = nullptr;
    std::vector<uint8_t> data_ = Pattern(8, 0x5A);  // the caller's buffer for the direct forms
};

std::vector<uint8_t> ScsiRecord(ULONG code, UCHAR direction, std::initializer_list<UCHAR> cdb, const std::vector<uint8_t>& data) {
    const bool buffered = code == IOCTL_SCSI_PASS_THROUGH;
    std::vector<uint8_t> bytes(sizeof(SCSI_PASS_THROUGH_DIRECT) + (buffered ? data.size() : 0), 0);
    auto* record = reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(bytes.data());
    record->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record->CdbLength = static_cast<UCHAR>(cdb.size());
    record->DataIn = direction;
    record->DataTransferLength = static_cast<ULONG>(data.size());
    std::copy(cdb.begin(), cdb.end(), record->Cdb);
    if (buffered) {
        reinterpret_cast<PSCSI_PASS_THROUGH>(bytes.data())->DataBufferOffset = sizeof(SCSI_PASS_THROUGH);
        std::copy(data.begin(), data.end(), bytes.begin() + sizeof(SCSI_PASS_THROUGH));
    } else {
        record->DataBuffer = const_cast<uint8_t*>(data.data());
    }
    return bytes;
}

std::vector<uint8_t> AtaRecord(ULONG code, USHORT flags, UCHAR command, UCHAR features, UCHAR count, uint32_t lba,
                               const std::vector<uint8_t>& data) {
    const bool buffered = code == IOCTL_ATA_PASS_THROUGH;
    std::vector<uint8_t> bytes(sizeof(ATA_PASS_THROUGH_DIRECT) + (buffered ? data.size() : 0), 0);
    auto* record = reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(bytes.data());
    record->Length = sizeof(ATA_PASS_THROUGH_DIRECT);
    record->AtaFlags = flags;
    record->DataTransferLength = static_cast<ULONG>(data.size());
    record->CurrentTaskFile[0] = features;
    record->CurrentTaskFile[1] = count;
    record->CurrentTaskFile[2] = static_cast<UCHAR>(lba);
    record->CurrentTaskFile[3] = static_cast<UCHAR>(lba >> 8);
    record->CurrentTaskFile[4] = static_cast<UCHAR>(lba >> 16);
    record->CurrentTaskFile[5] = 0x40;
    record->CurrentTaskFile[6] = command;
    if (buffered) {
        reinterpret_cast<PATA_PASS_THROUGH_EX>(bytes.data())->DataBufferOffset = sizeof(ATA_PASS_THROUGH_EX);
        std::copy(data.begin(), data.end(), bytes.begin() + sizeof(ATA_PASS_THROUGH_EX));
    } else {
        record->DataBuffer = const_cast<uint8_t*>(data.data());
    }
    return bytes;
}

// Every raw form: reported with its code; denied, the disk keeps its sectors;
// allowed, they change.
TEST_F(RawDiskTest, EachFormIsReportedAndADenyKeepsTheDisk) {
    const std::vector<uint8_t> one(data_.begin(), data_.begin() + 512);
    const std::vector<uint8_t> two(data_.begin(), data_.begin() + 1024);
    // UNMAP of sectors 40-43: header, one 16-byte descriptor.
    std::vector<uint8_t> unmap(24, 0);
    unmap[1] = 22;
    unmap[3] = 16;
    unmap[15] = 40;
    unmap[19] = 4;
    // TRIM of sectors 50-52: one 8-byte entry, LBA then count, little-endian.
    std::vector<uint8_t> trim(512, 0);
    trim[0] = 50;
    trim[6] = 3;
    std::vector<RawRequest> requests = {
        {"WRITE(16)", IOCTL_SCSI_PASS_THROUGH_DIRECT,
         ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_OUT, {0x8A, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0}, two), 3, 2},
        {"WRITE(6)", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_OUT, {0x0A, 0, 0, 7, 1, 0}, one), 7, 1},
        {"WRITE(12) unspecified", IOCTL_SCSI_PASS_THROUGH_DIRECT,
         ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_UNSPECIFIED, {0xAA, 0, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0}, one), 9, 1},
        {"buffered WRITE(10)", IOCTL_SCSI_PASS_THROUGH,
         ScsiRecord(IOCTL_SCSI_PASS_THROUGH, SCSI_IOCTL_DATA_OUT, {0x2A, 0, 0, 0, 0, 11, 0, 0, 2, 0}, two), 11, 2},
        {"UNMAP", IOCTL_SCSI_PASS_THROUGH_DIRECT,
         ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_OUT, {0x42, 0, 0, 0, 0, 0, 0, 0, 24, 0}, unmap), 40, 4},
        {"ATA FPDMA", IOCTL_ATA_PASS_THROUGH_DIRECT,
         AtaRecord(IOCTL_ATA_PASS_THROUGH_DIRECT, ATA_FLAGS_DATA_OUT | ATA_FLAGS_48BIT_COMMAND | ATA_FLAGS_USE_DMA, 0x61, 2, 0, 20, two), 20, 2},
        {"ATA DRDY|DATA_OUT", IOCTL_ATA_PASS_THROUGH_DIRECT,
         AtaRecord(IOCTL_ATA_PASS_THROUGH_DIRECT, ATA_FLAGS_DATA_OUT | ATA_FLAGS_DRDY_REQUIRED, 0x30, 0, 1, 25, one), 25, 1},
        {"ATA buffered WRITE MULTIPLE", IOCTL_ATA_PASS_THROUGH,
         AtaRecord(IOCTL_ATA_PASS_THROUGH, ATA_FLAGS_DATA_OUT, 0xC5, 0, 2, 30, two), 30, 2},
        {"ATA TRIM", IOCTL_ATA_PASS_THROUGH_DIRECT,
         AtaRecord(IOCTL_ATA_PASS_THROUGH_DIRECT, ATA_FLAGS_DATA_OUT | ATA_FLAGS_48BIT_COMMAND, 0x06, 1, 1, 0, trim), 50, 3},
        {"delete layout", IOCTL_DISK_DELETE_DRIVE_LAYOUT, {}, 0, 1},
        {"create disk", IOCTL_DISK_CREATE_DISK, std::vector<uint8_t>(24, 0x11), 0, 1},
        {"set layout", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, std::vector<uint8_t>(48 + 144, 0x22), 0, 1},
    };
    // The volume's open was reported as the fixture opened it; the responder
    // records a message after answering it, so wait for that record before
    // the first case clears the list.
    ASSERT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
    for (RawRequest& request : requests) {
        SCOPED_TRACE(request.what);
        const FILE_OPERATION expected =
            request.code == IOCTL_ATA_PASS_THROUGH || request.code == IOCTL_ATA_PASS_THROUGH_DIRECT ? FileOpAtaWrite : FileOpScsiWrite;
        const std::vector<uint8_t> before = sim::fs::ReadDiskSectors(u'C', request.lba, request.sectors);
        ASSERT_EQ(before.size(), request.sectors * 512u);
        ClearEvents();
        Answer(expected, VerdictDeny);
        EXPECT_EQ(Send(request), STATUS_ACCESS_DENIED);
        EXPECT_EQ(Operations(1), std::vector<int32_t>{expected});
        EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', request.lba, request.sectors), before);
        Answer(expected, kAllow);
        std::vector<uint8_t> output;
        EXPECT_EQ(Send(request, &output), STATUS_SUCCESS);
        if (request.code == IOCTL_SCSI_PASS_THROUGH || request.code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            EXPECT_EQ(reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(output.data())->ScsiStatus, 0);
        }
        if (request.code == IOCTL_ATA_PASS_THROUGH || request.code == IOCTL_ATA_PASS_THROUGH_DIRECT) {
            EXPECT_EQ(reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(output.data())->CurrentTaskFile[6], 0x50);
        }
        EXPECT_NE(sim::fs::ReadDiskSectors(u'C', request.lba, request.sectors), before);
        // The allowed request is reported too; wait for its record before the
        // next case clears the list (a slow responder records it late).
        EXPECT_EQ(Operations(2), (std::vector<int32_t>{expected, expected}));
    }
    // What the writes left: the caller's data, zeros where trimmed or unmapped.
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 3, 2), two);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 7, 1), one);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 20, 2), two);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 40, 4), std::vector<uint8_t>(4 * 512, 0));
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 50, 3), std::vector<uint8_t>(3 * 512, 0));
    EXPECT_NE(sim::fs::ReadDiskSectors(u'C', 53, 1), std::vector<uint8_t>(512, 0));
    const std::vector<uint8_t> mbr = sim::fs::ReadDiskSectors(u'C', 0, 1);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[446], 0x22);
}

// A plain write at an offset on the volume handle is the handle's write:
// reported as one and refused by a deny, the boot sector kept.
TEST_F(RawDiskTest, PlainWriteOnTheVolumeHandle) {
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});  // the volume's open, followed
    const std::vector<uint8_t> before = sim::fs::ReadDiskSectors(u'C', 0, 1);
    const std::vector<uint8_t> zeros(512, 0);
    ClearEvents();
    Answer(FileOpWrite, VerdictDeny);
    ULONG written = 0;
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 0, zeros.data(), 512, &written), STATUS_ACCESS_DENIED);
    const auto events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].operation, FileOpWrite);
    EXPECT_EQ(events[0].name, u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 0, 1), before);
    Answer(FileOpWrite, kAllow);
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 0, zeros.data(), 512, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 512u);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 0, 1), zeros);
}

// The port driver's refusals of a malformed record, and the disk's own answer
// to a command it will not carry out: either way nothing is written.
TEST_F(RawDiskTest, MalformedRequestsWriteNothing) {
    Answer(FileOpScsiWrite, kAllow);
    Answer(FileOpAtaWrite, kAllow);
    const std::vector<uint8_t> one(data_.begin(), data_.begin() + 512);
    const std::vector<uint8_t> before = sim::fs::ReadDiskSectors(u'C', 60, 4);
    std::vector<uint8_t> output;
    // The CDB asks for two blocks, the transfer carries one: CHECK CONDITION.
    RawRequest mismatch{"", IOCTL_SCSI_PASS_THROUGH_DIRECT,
                        ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_OUT, {0x2A, 0, 0, 0, 0, 60, 0, 0, 2, 0}, one), 0, 0};
    EXPECT_EQ(Send(mismatch, &output), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(output.data())->ScsiStatus, 0x02);
    // A write sent as a read: CHECK CONDITION.
    RawRequest reversed{"", IOCTL_SCSI_PASS_THROUGH_DIRECT,
                        ScsiRecord(IOCTL_SCSI_PASS_THROUGH_DIRECT, SCSI_IOCTL_DATA_IN, {0x2A, 0, 0, 0, 0, 60, 0, 0, 1, 0}, one), 0, 0};
    EXPECT_EQ(Send(reversed, &output), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(output.data())->ScsiStatus, 0x02);
    // The buffered data said to lie past the buffer: refused by the port driver.
    RawRequest outside{"", IOCTL_SCSI_PASS_THROUGH,
                       ScsiRecord(IOCTL_SCSI_PASS_THROUGH, SCSI_IOCTL_DATA_OUT, {0x2A, 0, 0, 0, 0, 60, 0, 0, 1, 0}, one), 0, 0};
    reinterpret_cast<PSCSI_PASS_THROUGH>(outside.input.data())->DataBufferOffset = outside.input.size() * 2;
    EXPECT_EQ(Send(outside), STATUS_INVALID_PARAMETER);
    reinterpret_cast<PSCSI_PASS_THROUGH>(outside.input.data())->DataBufferOffset = sizeof(SCSI_PASS_THROUGH) + 1;
    EXPECT_EQ(Send(outside), STATUS_INVALID_PARAMETER);
    // More than the adapter moves in one request.
    RawRequest huge = mismatch;
    reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(huge.input.data())->DataTransferLength = sim::fs::kMaxTransferLength + 512;
    EXPECT_EQ(Send(huge), STATUS_INVALID_PARAMETER);
    // ATA: the count says two sectors, the transfer one; a write without data out.
    RawRequest ataShort{"", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRecord(IOCTL_ATA_PASS_THROUGH_DIRECT, ATA_FLAGS_DATA_OUT, 0xCA, 0, 2, 60, one), 0, 0};
    EXPECT_EQ(Send(ataShort, &output), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(output.data())->CurrentTaskFile[6], 0x51);
    EXPECT_EQ(reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(output.data())->CurrentTaskFile[0], 0x04);
    RawRequest ataIn{"", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRecord(IOCTL_ATA_PASS_THROUGH_DIRECT, ATA_FLAGS_DATA_IN, 0xCA, 0, 1, 60, one), 0, 0};
    EXPECT_EQ(Send(ataIn, &output), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(output.data())->CurrentTaskFile[6], 0x51);
    // A layout record too short for its fixed part.
    RawRequest layout{"", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, std::vector<uint8_t>(47, 0), 0, 0};
    EXPECT_EQ(Send(layout), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 60, 4), before);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 0, 1)[510], sim::fs::InitialSectorByte(1, 0, 510));
}

// Volume I/O is whole sectors at sector boundaries; while the file system is
// mounted only the boot sector may be written.
TEST_F(RawDiskTest, VolumeWritesAreSectorAlignedAndKeepOffTheFileSystem) {
    Answer(FileOpWrite, kAllow);
    const std::vector<uint8_t> data = Pattern(2, 3);
    ULONG done = 0;
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 0, data.data(), 100, &done), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 256, data.data(), 512, &done), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 512, data.data(), 512, &done), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 0, data.data(), 1024, &done), STATUS_ACCESS_DENIED);
    EXPECT_NE(sim::fs::ReadDiskSectors(u'C', 0, 2), data);
    sim::fs::SetVolumeWritesOutsideBootSector(true);
    EXPECT_EQ(sim::user::WriteFile(admin_, volume_, 0, data.data(), 1024, &done), STATUS_SUCCESS);
    EXPECT_EQ(sim::fs::ReadDiskSectors(u'C', 0, 2), data);
    // Reads see the same sectors, on the same rule of alignment.
    std::vector<uint8_t> read(1024);
    EXPECT_EQ(sim::user::ReadFile(admin_, volume_, 0, read.data(), 1024, &done), STATUS_SUCCESS);
    EXPECT_EQ(read, data);
    EXPECT_EQ(sim::user::ReadFile(admin_, volume_, 1, read.data(), 512, &done), STATUS_INVALID_PARAMETER);
    // The other volume's disk is its own, and starts with no zero sector.
    const std::vector<uint8_t> other = sim::fs::ReadDiskSectors(u'D', 0, 64);
    ASSERT_EQ(other.size(), 64u * 512u);
    EXPECT_EQ(std::count(other.begin(), other.end(), 0), 0);
    EXPECT_NE(other, sim::fs::ReadDiskSectors(u'C', 0, 64));
}

}  // namespace
