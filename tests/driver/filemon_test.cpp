// The file monitor's create path, writes, raw disk writes and cleanup, through
// a real client connection: what the client sees, what its verdicts do, and
// which handles are followed.
#include "tests/support/filemon_fixture.h"

#include "driver/driver_data.h"
#include "filemon/filemon.h"
#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/user/file.h"

namespace {

using vtest::FileMonTest;

// ---------------------------------------------------------------------------
// Classification tables.

TEST(FilterClassifyCreate, FirstMatchingTestDecides) {
    struct Case {
        ULONG disposition;
        ULONG options;
        ACCESS_MASK access;
        FILE_OPERATION expected;
    };
    const Case cases[] = {
        {FILE_OPEN, FILE_DELETE_ON_CLOSE, FILE_READ_DATA, FileOpDelete},
        {FILE_OPEN, FILE_DELETE_ON_CLOSE, FILE_EXECUTE | FILE_READ_ATTRIBUTES, FileOpDelete},
        {FILE_OPEN, 0, FILE_EXECUTE | FILE_READ_ATTRIBUTES, FileOpExecute},
        {FILE_OPEN, 0, FILE_EXECUTE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FileOpExecute},
        {FILE_OPEN, 0, FILE_GENERIC_EXECUTE, FileOpExecute},
        {FILE_OPEN, 0, FILE_EXECUTE | FILE_READ_ATTRIBUTES | FILE_READ_EA, FileOpOpen},  // FILE_GENERIC_READ-ish: no longer execute
        {FILE_OPEN, 0, FILE_EXECUTE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_EXECUTE, FileOpOpen},
        // Write rights win over DELETE and over an execute-looking mask: such
        // a handle can change the file, so it is reported and followed.
        {FILE_OPEN, 0, DELETE | FILE_WRITE_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, DELETE | FILE_APPEND_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_ALL_ACCESS, FileOpWriteAccess},
        {FILE_OPEN, 0, GENERIC_ALL, FileOpWriteAccess},
        {FILE_OPEN, 0, MAXIMUM_ALLOWED, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_EXECUTE | FILE_READ_ATTRIBUTES | FILE_APPEND_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, DELETE, FileOpDeleteAccess},
        {FILE_OPEN, 0, DELETE | FILE_READ_DATA | FILE_WRITE_ATTRIBUTES, FileOpDeleteAccess},
        {FILE_OPEN, 0, FILE_WRITE_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_WRITE_EA, FileOpWriteAccess},
        {FILE_OPEN, 0, GENERIC_WRITE, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_GENERIC_WRITE, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_APPEND_DATA, FileOpWriteAccess},
        {FILE_OPEN, 0, FILE_WRITE_ATTRIBUTES, FileOpOpen},
        {FILE_SUPERSEDE, 0, FILE_READ_DATA, FileOpNone},
        {FILE_SUPERSEDE, 0, FILE_APPEND_DATA, FileOpWriteAccess},
        {FILE_SUPERSEDE, 0, FILE_WRITE_DATA, FileOpWriteAccess},
        {FILE_CREATE, 0, FILE_READ_DATA, FileOpOpen},
        {FILE_OPEN_IF, 0, 0, FileOpOpen},
        {FILE_OVERWRITE, 0, FILE_READ_DATA, FileOpOpen},
        {FILE_OVERWRITE_IF, 0, FILE_READ_DATA, FileOpOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " options 0x" << std::hex << c.options << " access 0x"
                                        << c.access);
        IO_SECURITY_CONTEXT security{};
        security.DesiredAccess = c.access;
        FLT_PARAMETERS parameters{};
        parameters.Create.SecurityContext = &security;
        parameters.Create.Options = (c.disposition << 24) | c.options;
        EXPECT_EQ(FilterClassifyCreate(&parameters), c.expected);
    }
    FLT_PARAMETERS noSecurity{};
    noSecurity.Create.Options = FILE_DELETE_ON_CLOSE;
    EXPECT_EQ(FilterClassifyCreate(&noSecurity), FileOpNone);
    EXPECT_EQ(FilterClassifyCreate(nullptr), FileOpNone);
}

// Builds a buffered device-control parameter block over `bytes`.
FLT_PARAMETERS DeviceControl(ULONG code, std::vector<uint8_t>& bytes, ULONG inputLength) {
    FLT_PARAMETERS parameters{};
    parameters.DeviceIoControl.Buffered.IoControlCode = code;
    parameters.DeviceIoControl.Buffered.InputBufferLength = inputLength;
    parameters.DeviceIoControl.Buffered.SystemBuffer = bytes.empty() ? nullptr : bytes.data();
    return parameters;
}

std::vector<uint8_t> ScsiRequest(UCHAR dataIn, UCHAR opCode) {
    std::vector<uint8_t> bytes(sizeof(SCSI_PASS_THROUGH_DIRECT), 0);
    bytes[FilterScsiDataInOffset] = dataIn;
    bytes[FilterScsiOpCodeOffset] = opCode;
    return bytes;
}

std::vector<uint8_t> AtaRequest(USHORT flags, UCHAR command) {
    std::vector<uint8_t> bytes(sizeof(ATA_PASS_THROUGH_DIRECT), 0);
    bytes[FilterAtaFlagsOffset] = static_cast<uint8_t>(flags);
    bytes[FilterAtaFlagsOffset + 1] = static_cast<uint8_t>(flags >> 8);
    bytes[FilterAtaCommandOffset] = command;
    return bytes;
}

TEST(FilterClassifyDeviceControl, EachByteThatMatters) {
    static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == FilterScsiDataInOffset);
    static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == FilterScsiOpCodeOffset);
    static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, AtaFlags) == FilterAtaFlagsOffset);
    static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, CurrentTaskFile) + 6 == FilterAtaCommandOffset);
    struct Case {
        const char* what;
        ULONG code;
        std::vector<uint8_t> bytes;
        FILE_OPERATION expected;
    };
    const Case cases[] = {
        {"SCSI WRITE(10) out", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x2A), FileOpScsiWrite},
        {"SCSI WRITE(10) in", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(SCSI_IOCTL_DATA_IN, 0x2A), FileOpNone},
        {"SCSI WRITE(10) unspecified", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(SCSI_IOCTL_DATA_UNSPECIFIED, 0x2A), FileOpScsiWrite},
        {"SCSI WRITE(16)", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x8A), FileOpScsiWrite},
        {"SCSI READ(10)", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x28), FileOpNone},
        {"SCSI buffered", IOCTL_SCSI_PASS_THROUGH, ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x2A), FileOpScsiWrite},
        {"SCSI buffered in", IOCTL_SCSI_PASS_THROUGH, ScsiRequest(SCSI_IOCTL_DATA_IN, 0x2A), FileOpNone},
        {"SCSI direction 3", IOCTL_SCSI_PASS_THROUGH_DIRECT, ScsiRequest(3, 0x2A), FileOpNone},
        {"ATA WRITE SECTORS", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_OUT, 0x30), FileOpAtaWrite},
        {"ATA WRITE DMA EXT", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_OUT, 0x35), FileOpAtaWrite},
        {"ATA WRITE DMA", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_OUT, 0xCA), FileOpAtaWrite},
        {"ATA READ DMA", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_OUT, 0xC8), FileOpNone},
        {"ATA flags 5", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_OUT | ATA_FLAGS_DRDY_REQUIRED, 0x30), FileOpAtaWrite},
        {"ATA flags 0x104", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(0x104, 0x30), FileOpAtaWrite},
        {"ATA flags 0x100", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(0x100, 0x30), FileOpNone},
        {"ATA data in", IOCTL_ATA_PASS_THROUGH_DIRECT, AtaRequest(ATA_FLAGS_DATA_IN, 0x30), FileOpNone},
        {"ATA buffered", IOCTL_ATA_PASS_THROUGH, AtaRequest(ATA_FLAGS_DATA_OUT, 0x30), FileOpAtaWrite},
        {"other code", 0x2D1400, ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x2A), FileOpNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = c.bytes;
        FLT_PARAMETERS parameters = DeviceControl(c.code, bytes, static_cast<ULONG>(bytes.size()));
        EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), c.expected);
        // Without IRP_BUFFERED_IO nothing is read.
        EXPECT_EQ(FilterClassifyDeviceControl(0, &parameters), FileOpNone);
    }
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, nullptr), FileOpNone);
}

// A request whose input stops before the bytes the classifier reads, or that
// has no system buffer, is nothing it can recognise.
TEST(FilterClassifyDeviceControl, ShortOrMissingBuffersAreNone) {
    std::vector<uint8_t> scsi = ScsiRequest(SCSI_IOCTL_DATA_OUT, 0x2A);
    FLT_PARAMETERS parameters = DeviceControl(IOCTL_SCSI_PASS_THROUGH_DIRECT, scsi, FilterScsiOpCodeOffset + 1);
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpScsiWrite);
    parameters = DeviceControl(IOCTL_SCSI_PASS_THROUGH_DIRECT, scsi, FilterScsiOpCodeOffset);
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpNone);
    std::vector<uint8_t> ata = AtaRequest(ATA_FLAGS_DATA_OUT, 0x30);
    parameters = DeviceControl(IOCTL_ATA_PASS_THROUGH_DIRECT, ata, FilterAtaCommandOffset + 1);
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpAtaWrite);
    parameters = DeviceControl(IOCTL_ATA_PASS_THROUGH_DIRECT, ata, FilterAtaCommandOffset);
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpNone);
    std::vector<uint8_t> none;
    parameters = DeviceControl(IOCTL_SCSI_PASS_THROUGH_DIRECT, none, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(FilterClassifyDeviceControl(IRP_BUFFERED_IO, &parameters), FileOpNone);
}

// ---------------------------------------------------------------------------
// The create path.

TEST_F(FileMonTest, WatchedCreateForWritingIsReportedTwiceAndFollowed) {
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    ASSERT_EQ(Open(u"C:\\new.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle, 0, FILE_SHARE_READ, nullptr,
                   &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_CREATED));
    ULONG64 fileId = 0;
    ASSERT_EQ(sim::user::QueryFileId(app_, handle, &fileId), STATUS_SUCCESS);
    const auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].operation, FileOpWriteAccess);
    EXPECT_EQ(events[0].fileId, 0u);  // no record yet
    EXPECT_EQ(events[1].operation, FileOpCreated);
    EXPECT_EQ(events[1].fileId, fileId);
    EXPECT_EQ(events[1].processId, Pid(app_));
    EXPECT_EQ(events[1].name, u"\\Device\\HarddiskVolume1\\new.txt");
    EXPECT_TRUE(IdListHasFileId(&DriverData.FileIdList, fileId));
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

// Each verdict at pre-create: 1 denies, 0 and 2 follow the handle, 3 follows
// it too (after the copy, none here: no backup folder is set), anything else
// lets the open go on unfollowed.
TEST_F(FileMonTest, EachVerdictAtPreCreate) {
    struct Case {
        int32_t verdict;
        bool denied;
        bool followed;
    };
    const Case cases[] = {{0, false, true}, {1, true, false}, {2, false, true}, {3, false, true}, {VerdictNone, false, false},
                          {7, false, false}, {-5, false, false}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        ClearEvents();
        Answer(FileOpWriteAccess, c.verdict);
        const std::u16string name = u"C:\\v" + std::u16string(1, static_cast<char16_t>(u'a' + n++)) + u".txt";
        WriteHost(HostC(sim::fs::ToHost(name.substr(3))), "old");
        HANDLE handle = nullptr;
        const NTSTATUS status = Open(name, FILE_GENERIC_WRITE, FILE_OPEN, &handle);
        if (c.denied) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_EQ(handle, nullptr);
            EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(Write(handle, "new"), STATUS_SUCCESS);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        const std::vector<int32_t> expected =
            c.followed ? std::vector<int32_t>{FileOpWriteAccess, FileOpWrite} : std::vector<int32_t>{FileOpWriteAccess};
        EXPECT_EQ(Operations(expected.size()), expected);
        EXPECT_EQ(ReadHost(HostC(sim::fs::ToHost(name.substr(3)))), "new");
    }
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FileMonTest, DeleteOnCloseCreateIsReportedAsDeleteAndCanBeDenied) {
    Answer(FileOpDelete, 1);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"C:\\tmp.txt", FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &handle, FILE_DELETE_ON_CLOSE), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(std::filesystem::exists(HostC("tmp.txt")));
    Answer(FileOpDelete, 0);
    ASSERT_EQ(Open(u"C:\\tmp.txt", FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &handle, FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(3), (std::vector<int32_t>{FileOpDelete, FileOpDelete, FileOpCreated}));
    EXPECT_FALSE(std::filesystem::exists(HostC("tmp.txt")));
}

// The verdict on FileOpCreated is not read: a denial there changes nothing.
TEST_F(FileMonTest, CreatedEventVerdictIsIgnored) {
    Answer(FileOpCreated, 1);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\r.txt", FILE_GENERIC_READ, FILE_CREATE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCreated});  // read-only: nothing at pre-create
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(HostC("r.txt")));
}

TEST_F(FileMonTest, OpensThatAreNeitherSentNorFollowed) {
    WriteHost(HostC("e.exe"), "MZ");
    struct Case {
        const char* what;
        ACCESS_MASK access;
        ULONG options;
        ULONG disposition;
    };
    const Case cases[] = {
        {"execute", FILE_EXECUTE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_OPEN},
        {"generic execute, mapped", GENERIC_EXECUTE, 0, FILE_OPEN},
        {"delete alone", DELETE | SYNCHRONIZE, 0, FILE_OPEN},
        {"supersede, read", FILE_READ_DATA | DELETE, 0, FILE_SUPERSEDE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearEvents();
        if (!std::filesystem::exists(HostC("e.exe"))) {
            WriteHost(HostC("e.exe"), "MZ");
        }
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(u"C:\\e.exe", c.access, c.disposition, &handle, c.options), STATUS_SUCCESS);
        if (c.access & (FILE_WRITE_DATA | GENERIC_ALL)) {
            EXPECT_EQ(Write(handle, "x"), STATUS_SUCCESS);
        }
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        EXPECT_TRUE(Events().empty());
    }
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

// Every handle that can change the file is reported at its open, followed,
// and its writes reported; a deny refuses the open and the file keeps its
// bytes. Write-through, DELETE beside write rights, all access and append
// alone once let a watched program write unseen.
TEST_F(FileMonTest, HandlesThatCanWriteAreReportedFollowedAndDeniable) {
    struct Case {
        const char* what;
        ACCESS_MASK access;
        ULONG options;
    };
    const Case cases[] = {
        {"write through", FILE_GENERIC_WRITE, FILE_WRITE_THROUGH},
        {"delete and write", DELETE | FILE_WRITE_DATA | SYNCHRONIZE, 0},
        {"all access", FILE_ALL_ACCESS, 0},
        {"generic all, mapped", GENERIC_ALL, 0},
        {"append only", FILE_APPEND_DATA | SYNCHRONIZE, 0},
        {"execute with append", FILE_EXECUTE | FILE_READ_ATTRIBUTES | FILE_APPEND_DATA | SYNCHRONIZE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteHost(HostC("doc.txt"), "original");
        ClearEvents();
        Answer(FileOpWriteAccess, 0);
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(u"C:\\doc.txt", c.access, FILE_OPEN, &handle, c.options), STATUS_SUCCESS);
        EXPECT_EQ(Write(handle, "evil"), STATUS_SUCCESS);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite}));

        WriteHost(HostC("doc.txt"), "original");
        ClearEvents();
        Answer(FileOpWriteAccess, VerdictDeny);
        EXPECT_EQ(Open(u"C:\\doc.txt", c.access, FILE_OPEN, &handle, c.options), STATUS_ACCESS_DENIED);
        EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
        EXPECT_EQ(ReadHost(HostC("doc.txt")), "original");
    }
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FileMonTest, GenericWriteArrivesMappedAndIsWriteAccess) {
    WriteHost(HostC("g.txt"), "x");
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\g.txt", GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
}

TEST_F(FileMonTest, UnwatchedProcessesAndTheClientAreNotSeen) {
    _EPROCESS* other = StartProcess();
    EXPECT_EQ(CreateWriteClose(u"C:\\u.txt", "data", other), STATUS_SUCCESS);
    EXPECT_EQ(CreateWriteClose(u"C:\\c.txt", "data", Client()), STATUS_SUCCESS);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FileMonTest, NothingIsSeenWithFileMonitoringOff) {
    SetFileMon(false);
    EXPECT_EQ(CreateWriteClose(u"C:\\off.txt", "data"), STATUS_SUCCESS);
    EXPECT_TRUE(Events().empty());
}

// Without a client the open for writing gets no verdict: not followed; a plain
// open is still followed, silently.
TEST_F(FileMonTest, WithoutAClientPlainOpensAreStillFollowed) {
    WriteHost(HostC("p.txt"), "x");
    StopResponder();
    Disconnect();
    HANDLE writer = nullptr;
    ASSERT_EQ(Open(u"C:\\p.txt", FILE_GENERIC_WRITE, FILE_OPEN, &writer, 0, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    HANDLE reader = nullptr;
    ASSERT_EQ(Open(u"C:\\p.txt", FILE_GENERIC_READ, FILE_OPEN, &reader, 0, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 1u);
    EXPECT_EQ(Close(writer), STATUS_SUCCESS);
    EXPECT_EQ(Close(reader), STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

// An overwrite is not a creation; a file created earlier by a watched program
// is known by its id on every later open.
TEST_F(FileMonTest, FollowedHandleLifecycle) {
    // Created and written: the close is reported.
    ASSERT_EQ(CreateWriteClose(u"C:\\life.txt", "one"), STATUS_SUCCESS);
    EXPECT_EQ(Operations(4), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpCloseModified}));

    // Reopened later: tracked by its id, so a written close is reported again.
    ClearEvents();
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\life.txt", FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "two"), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(3), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite, FileOpCloseModified}));

    // Not written through this handle: no close event.
    ClearEvents();
    ASSERT_EQ(Open(u"C:\\life.txt", FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});

    // Once the client clears the ids, the file is no longer tracked.
    ClearEvents();
    ASSERT_EQ(ClearFileIds(), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\life.txt", FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "three"), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite}));

    // A file the program did not create, overwritten or superseded: never a creation.
    ClearEvents();
    WriteHost(HostC("theirs.txt"), "x");
    ASSERT_EQ(Open(u"C:\\theirs.txt", FILE_GENERIC_WRITE, FILE_OVERWRITE_IF, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "y"), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\theirs.txt", FILE_GENERIC_WRITE | DELETE, FILE_SUPERSEDE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(3), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite, FileOpWriteAccess}));
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

// ---------------------------------------------------------------------------
// Writes.

TEST_F(FileMonTest, DeniedWriteFailsAndLeavesTheFileUnchanged) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\w.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "first"), STATUS_SUCCESS);
    Answer(FileOpWrite, 1);
    EXPECT_EQ(Write(handle, "SECOND"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadHost(HostC("w.txt")), "first");
    Answer(FileOpWrite, 3);  // meaningless for a write: it passes
    EXPECT_EQ(Write(handle, "third"), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("w.txt")), "third");
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(6), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpWrite, FileOpWrite,
                                                   FileOpCloseModified}));
}

TEST_F(FileMonTest, ZeroLengthWriteIsNeitherReportedNorMarked) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\z.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, ""), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated}));
}

// ---------------------------------------------------------------------------
// Cleanup.

TEST_F(FileMonTest, EachVerdictAtCleanup) {
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    const int32_t verdicts[] = {0, 1, 2, 3, VerdictNone, 9};
    int n = 0;
    for (int32_t verdict : verdicts) {
        SCOPED_TRACE(verdict);
        Answer(FileOpCloseModified, verdict);
        const std::string file = "c" + std::to_string(n++) + ".txt";
        ASSERT_EQ(CreateWriteClose(u"C:\\" + sim::fs::FromHost(file), "content"), STATUS_SUCCESS);
        // A denial at cleanup changes nothing: the file stays as written.
        EXPECT_EQ(ReadHost(HostC(file)), "content");
        EXPECT_EQ(std::filesystem::exists(HostC("backup/" + file)), verdict == VerdictBackup);
    }
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FileMonTest, BackupWithoutAFolderMakesNoCopy) {
    Answer(FileOpCloseModified, VerdictBackup);
    ASSERT_EQ(CreateWriteClose(u"C:\\nf.txt", "content"), STATUS_SUCCESS);
    EXPECT_EQ(Operations(4).back(), FileOpCloseModified);
    EXPECT_FALSE(std::filesystem::exists(HostC("backup")));
}

// The record's name stays valid for a callback that looked the record up
// before post-cleanup detached it; it goes with the last reference.
TEST_F(FileMonTest, NameOutlivesPostCleanupWhileTheRecordIsReferenced) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\held.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    sim::ob::HandleEntry entry;
    ASSERT_EQ(sim::ob::LookupHandle(app_, handle, sim::ob::ObjectType::File, &entry), STATUS_SUCCESS);
    auto* fileObject = static_cast<PFILE_OBJECT>(entry.object);
    sim::ob::ReferenceObject(fileObject);
    PFLT_INSTANCE instance = sim::flt::InstanceOf(DriverData.Filter, sim::fs::BodyOf(fileObject)->volume);
    PHandleTrack track = nullptr;
    ASSERT_EQ(FilterGetHandleTrack(instance, fileObject, &track), STATUS_SUCCESS);
    ASSERT_NE(track->NameInfo, nullptr);
    const size_t namesBefore = sim::flt::LiveFileNameCount();

    EXPECT_EQ(Close(handle), STATUS_SUCCESS);  // cleanup: post-cleanup detaches the record
    PHandleTrack again = nullptr;
    EXPECT_EQ(FilterGetHandleTrack(instance, fileObject, &again), STATUS_NOT_FOUND);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), namesBefore);
    ASSERT_NE(track->NameInfo, nullptr);
    EXPECT_EQ(std::u16string(track->NameInfo->Name.Buffer, track->NameInfo->Name.Length / 2), u"\\Device\\HarddiskVolume1\\held.txt");

    FilterReleaseContext(track);  // the last reference: the name goes with it
    EXPECT_EQ(sim::flt::LiveFileNameCount(), namesBefore - 1);
    sim::ob::DereferenceObject(fileObject);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

// ---------------------------------------------------------------------------
// Raw disk writes.

TEST_F(FileMonTest, PassThroughWritesOnAFollowedVolumeHandle) {
    _EPROCESS* admin = StartProcess(vtest::kAppImage, nullptr, true);
    ASSERT_EQ(AddProcess(Pid(admin)), STATUS_SUCCESS);
    HANDLE volume = nullptr;
    ASSERT_EQ(sim::user::CreateFile(admin, u"\\\\.\\C:", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    FILE_OPEN, 0, &volume),
              STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
    ClearEvents();
    SCSI_PASS_THROUGH_DIRECT scsi{};
    scsi.Length = sizeof(scsi);
    scsi.DataIn = SCSI_IOCTL_DATA_OUT;
    scsi.Cdb[0] = 0x2A;
    ATA_PASS_THROUGH_DIRECT ata{};
    ata.Length = sizeof(ata);
    ata.AtaFlags = ATA_FLAGS_DATA_OUT;
    ata.CurrentTaskFile[6] = 0x35;
    ULONG returned = 0;
    const size_t logBefore = sim::fs::PassThroughLog().size();
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &scsi, sizeof(scsi), &scsi, sizeof(scsi), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_ATA_PASS_THROUGH_DIRECT, &ata, sizeof(ata), &ata, sizeof(ata), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::fs::PassThroughLog().size(), logBefore + 2);
    Answer(FileOpScsiWrite, 1);
    Answer(FileOpAtaWrite, 1);
    // The answer comes back in the record: the task file's command byte holds
    // the device's status now. Ask again with the command.
    ata.CurrentTaskFile[6] = 0x35;
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &scsi, sizeof(scsi), &scsi, sizeof(scsi), &returned),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_ATA_PASS_THROUGH_DIRECT, &ata, sizeof(ata), &ata, sizeof(ata), &returned),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::fs::PassThroughLog().size(), logBefore + 2);
    // A read is not reported.
    scsi.DataIn = SCSI_IOCTL_DATA_IN;
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &scsi, sizeof(scsi), &scsi, sizeof(scsi), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(Operations(4), (std::vector<int32_t>{FileOpScsiWrite, FileOpAtaWrite, FileOpScsiWrite, FileOpAtaWrite}));
    // An unwatched program writing through a duplicate of the followed handle
    // is let through unreported, whatever the client would answer.
    _EPROCESS* other = StartProcess(vtest::kAppImage, nullptr, true);
    HANDLE theirs = nullptr;
    ASSERT_EQ(sim::user::DuplicateHandle(admin, volume, other, &theirs), STATUS_SUCCESS);
    scsi.DataIn = SCSI_IOCTL_DATA_OUT;
    EXPECT_EQ(sim::user::DeviceIoControl(other, theirs, IOCTL_SCSI_PASS_THROUGH_DIRECT, &scsi, sizeof(scsi), &scsi, sizeof(scsi), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(Operations().size(), 4u);
    EXPECT_EQ(Close(theirs, other), STATUS_SUCCESS);
    EXPECT_EQ(Close(volume, admin), STATUS_SUCCESS);
}

}  // namespace
