// The helpers the operation callbacks share: file names with their fallback,
// the per-handle record and its references, the file id, and the parameter
// record. The Filter Manager-facing helpers run inside the callbacks of a small
// test filter that registers the driver's own HandleTrack context, on a real
// volume of the simulated file system.
#include "tests/support/fixture.h"

#include "filemon/filemon.h"
#include "driver/tags.h"

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Pure helpers: no Filter Manager needed.

TEST(FilterGetParams, OneSlotChosenByTheMajorFunction) {
    FLT_IO_PARAMETER_BLOCK iopb{};
    PFLT_PARAMETERS const expected = &iopb.Parameters;
    struct Case {
        UCHAR major;
        PFLT_PARAMETERS OpParams::*slot;  // null: no slot
    };
    const Case cases[] = {
        {IRP_MJ_CREATE, &OpParams::Create},
        {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, &OpParams::AcquireForSection},
        {IRP_MJ_SET_INFORMATION, &OpParams::SetInformation},
        {IRP_MJ_WRITE, &OpParams::Write},
        {IRP_MJ_DEVICE_CONTROL, &OpParams::DeviceControl},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, &OpParams::DeviceControl},
        {IRP_MJ_READ, nullptr},
        {IRP_MJ_CLEANUP, nullptr},
        {IRP_MJ_CLOSE, nullptr},
        {IRP_MJ_QUERY_INFORMATION, nullptr},
        {IRP_MJ_FILE_SYSTEM_CONTROL, nullptr},
    };
    PFLT_PARAMETERS OpParams::*const slots[] = {&OpParams::Create, &OpParams::AcquireForSection, &OpParams::SetInformation,
                                                &OpParams::Write, &OpParams::DeviceControl};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.major));
        iopb.MajorFunction = c.major;
        const OpParams params = FilterGetParams(&iopb);
        for (auto slot : slots) {
            EXPECT_EQ(params.*slot, slot == c.slot ? expected : nullptr);
        }
    }
    const OpParams none = FilterGetParams(nullptr);
    for (auto slot : slots) {
        EXPECT_EQ(none.*slot, nullptr);
    }
}

TEST(FilterIsRename, TheRenameAndLinkClassesCarryANewName) {
    FLT_PARAMETERS parameters{};
    const std::pair<FILE_INFORMATION_CLASS, bool> cases[] = {
        {FileRenameInformation, true},          {FileRenameInformationEx, true},
        {FileLinkInformation, true},            {FileLinkInformationEx, true},
        {FileLinkInformationBypassAccessCheck, false}, {FileDispositionInformation, false},
        {FileDispositionInformationEx, false},  {FileRenameInformationBypassAccessCheck, false},
        {FileEndOfFileInformation, false},      {FileBasicInformation, false},
    };
    for (const auto& [infoClass, rename] : cases) {
        parameters.SetFileInformation.FileInformationClass = infoClass;
        EXPECT_EQ(FilterIsRename(&parameters), rename ? TRUE : FALSE) << infoClass;
    }
    EXPECT_FALSE(FilterIsRename(nullptr));
}

// ---------------------------------------------------------------------------
// A test filter: the driver's context registration, and create and cleanup
// callbacks that hand the request to the test.

using Hook = std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)>;

PFLT_FILTER gFilter = nullptr;
Hook gPostCreate;
Hook gPreCleanup;

FLT_PREOP_CALLBACK_STATUS FLTAPI TestPreCreate(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI TestPostCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                                 FLT_POST_OPERATION_FLAGS flags) {
    if ((flags & FLTFL_POST_OPERATION_DRAINING) == 0 && NT_SUCCESS(data->IoStatus.Status) && gPostCreate) {
        gPostCreate(data, objects);
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI TestPreCleanup(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID* context) {
    *context = nullptr;
    if (gPreCleanup) {
        gPreCleanup(data, objects);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

NTSTATUS FLTAPI TestUnload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(gFilter);
    gFilter = nullptr;
    return STATUS_SUCCESS;
}

VOID NTAPI TestDriverUnload(PDRIVER_OBJECT) {}

const FLT_CONTEXT_REGISTRATION kTestContexts[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, FilterHandleTrackCleanup, sizeof(HandleTrack), TagHandleTrack, nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

const FLT_OPERATION_REGISTRATION kTestOperations[] = {
    {IRP_MJ_CREATE, 0, TestPreCreate, TestPostCreate, nullptr},
    {IRP_MJ_CLEANUP, 0, TestPreCleanup, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

const FLT_REGISTRATION kTestRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0200, 0, kTestContexts, kTestOperations, TestUnload, nullptr,
    nullptr,                  nullptr,                       nullptr, nullptr, nullptr, nullptr,
};

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = TestDriverUnload;
    NTSTATUS status = FltRegisterFilter(driver, &kTestRegistration, &gFilter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FltStartFiltering(gFilter);
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(gFilter);
        gFilter = nullptr;
    }
    return status;
}

}  // namespace

#if __has_include("sim/user/file.h") && VTEST_USER_SIDE

#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

namespace {

class FilterHelpers : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        char pattern[] = "/tmp/vetrona-helpers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        sim::fs::MountVolume(folder_ + "/C", u'C');
        ASSERT_EQ(sim::LoadDriver(TestDriverEntry, u"helpertest", &driver_), STATUS_SUCCESS);
        process_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\Apps\\app.exe");
        ASSERT_NE(process_, nullptr);
    }

    void TearDown() override {
        gPostCreate = nullptr;
        gPreCleanup = nullptr;
        for (HANDLE handle : handles_) {
            sim::user::CloseHandle(process_, handle);
        }
        if (driver_ != nullptr) {
            sim::StopDriver(driver_);
        }
        if (process_ != nullptr) {
            sim::user::EndProcess(process_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        SimTest::TearDown();
    }

    // Opens (creating it if needed) a file as the test process, running `hook`
    // in the create's post-operation callback. The handle stays open.
    HANDLE Open(const std::u16string& path, Hook hook = nullptr) {
        gPostCreate = std::move(hook);
        HANDLE handle = nullptr;
        const NTSTATUS status = sim::user::CreateFile(process_, path, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                                                      FILE_NON_DIRECTORY_FILE, &handle);
        gPostCreate = nullptr;
        EXPECT_EQ(status, STATUS_SUCCESS) << "opening the test file";
        if (NT_SUCCESS(status)) {
            handles_.push_back(handle);
        }
        return handle;
    }

    void Close(HANDLE handle) {
        std::erase(handles_, handle);
        EXPECT_EQ(sim::user::CloseHandle(process_, handle), STATUS_SUCCESS);
    }

    std::string folder_;
    PDRIVER_OBJECT driver_ = nullptr;
    _EPROCESS* process_ = nullptr;
    std::vector<HANDLE> handles_;
};

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

// --- names ------------------------------------------------------------------

TEST_F(FilterHelpers, FileNameIsNormalizedAndParsed) {
    std::filesystem::create_directories(folder_ + "/C/Docs");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFLT_FILE_NAME_INFORMATION name = nullptr;
    Open(u"C:\\Docs\\Report.txt", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        status = FilterGetFileName(data, &name);
    });
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->Format, static_cast<ULONG>(FLT_FILE_NAME_NORMALIZED));
    EXPECT_NE(name->NamesParsed & FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT, 0);
    EXPECT_EQ(Text(name->FinalComponent), u"Report.txt");
    EXPECT_EQ(Text(name->Extension), u"txt");
    EXPECT_EQ(Text(name->ParentDir), u"\\Docs\\");
    // The caller owns the reference.
    FilterReleaseName(name);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

TEST_F(FilterHelpers, OpenedNameStandsInForAMissingNormalizedOne) {
    sim::fs::InjectFault({.op = sim::fs::FaultOp::NameQueryNormalized, .path = u"", .nth = 1, .count = 1, .status = STATUS_OBJECT_PATH_NOT_FOUND});
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFLT_FILE_NAME_INFORMATION name = nullptr;
    Open(u"C:\\plain.dat", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) { status = FilterGetFileName(data, &name); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->Format, static_cast<ULONG>(FLT_FILE_NAME_OPENED));
    EXPECT_EQ(Text(name->FinalComponent), u"plain.dat");
    EXPECT_EQ(sim::CallCount("FltGetFileNameInformation"), 2u);
    FilterReleaseName(name);
}

TEST_F(FilterHelpers, BothNameRequestsFailingGiveTheFirstStatusAndNoName) {
    sim::fs::InjectFault({.op = sim::fs::FaultOp::NameQueryNormalized, .path = u"", .nth = 1, .count = 1, .status = STATUS_ACCESS_DENIED});
    sim::fs::InjectFault({.op = sim::fs::FaultOp::NameQueryOpened, .path = u"", .nth = 1, .count = 1, .status = STATUS_INSUFFICIENT_RESOURCES});
    NTSTATUS status = STATUS_SUCCESS;
    PFLT_FILE_NAME_INFORMATION name = reinterpret_cast<PFLT_FILE_NAME_INFORMATION>(0x1);
    Open(u"C:\\plain.dat", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) { status = FilterGetFileName(data, &name); });
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

TEST_F(FilterHelpers, NameThatCannotBeParsedIsReleased) {
    sim::InjectFailure("FltParseFileNameInformation", STATUS_OBJECT_NAME_INVALID);
    NTSTATUS status = STATUS_SUCCESS;
    PFLT_FILE_NAME_INFORMATION name = reinterpret_cast<PFLT_FILE_NAME_INFORMATION>(0x1);
    Open(u"C:\\plain.dat", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) { status = FilterGetFileName(data, &name); });
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(sim::CallCount("FltReleaseFileNameInformation"), 1u);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

// --- the per-handle record ----------------------------------------------------

TEST_F(FilterHelpers, CreatedRecordIsZeroedAttachedAndComesWithAReference) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PHandleTrack track = nullptr;
        status = FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &track);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(track, nullptr);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(track);
        for (size_t i = 0; i < sizeof(HandleTrack); ++i) {
            EXPECT_EQ(bytes[i], 0u) << "byte " << i;
        }
        // The caller's reference is its own: after releasing it the record is
        // still attached and can be looked up.
        FilterReleaseContext(track);
        PHandleTrack found = nullptr;
        ASSERT_EQ(FilterGetHandleTrack(objects->Instance, objects->FileObject, &found), STATUS_SUCCESS);
        EXPECT_EQ(found, track);
        FilterReleaseContext(found);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 1u);
}

TEST_F(FilterHelpers, ExistingRecordIsReturnedWithoutAllocating) {
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PHandleTrack first = nullptr;
        ASSERT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &first),
                  STATUS_SUCCESS);
        first->Tracked = 1;
        const uint64_t allocations = sim::pool::AllocationCount();
        const uint64_t contextAllocations = sim::CallCount("FltAllocateContext");
        PHandleTrack second = nullptr;
        ASSERT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &second),
                  STATUS_SUCCESS);
        EXPECT_EQ(second, first);
        EXPECT_EQ(second->Tracked, 1u);
        EXPECT_EQ(sim::pool::AllocationCount(), allocations);
        EXPECT_EQ(sim::CallCount("FltAllocateContext"), contextAllocations);
        // Both paths hand out a reference: both are released.
        FilterReleaseContext(second);
        FilterReleaseContext(first);
    });
    EXPECT_EQ(sim::flt::LiveContextCount(), 1u);
}

TEST_F(FilterHelpers, OversizedRecordIsRefusedBeforeAnythingIsAllocated) {
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        const uint64_t allocations = sim::pool::AllocationCount();
        PHandleTrack track = reinterpret_cast<PHandleTrack>(0x1);
        EXPECT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, 0x10000, &track),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(track, nullptr);
        EXPECT_EQ(sim::CallCount("FltAllocateContext"), 0u);
        EXPECT_EQ(sim::pool::AllocationCount(), allocations);
        EXPECT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, 24, nullptr),
                  STATUS_INVALID_PARAMETER);
    });
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FilterHelpers, FailedAllocationLeavesTheHandleWithoutARecord) {
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        sim::InjectFailure("FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES);
        PHandleTrack track = reinterpret_cast<PHandleTrack>(0x1);
        EXPECT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &track),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(track, nullptr);
        PHandleTrack found = reinterpret_cast<PHandleTrack>(0x1);
        EXPECT_EQ(FilterGetHandleTrack(objects->Instance, objects->FileObject, &found), STATUS_NOT_FOUND);
        EXPECT_EQ(found, nullptr);
        EXPECT_EQ(FilterGetHandleTrack(objects->Instance, objects->FileObject, nullptr), STATUS_INVALID_PARAMETER);
    });
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

TEST_F(FilterHelpers, DeletedRecordIsFreedOnceTheLastReferenceGoes) {
    PHandleTrack kept = nullptr;
    PFLT_INSTANCE instance = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        ASSERT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &kept),
                  STATUS_SUCCESS);
        instance = objects->Instance;
        fileObject = objects->FileObject;
        EXPECT_EQ(FilterDeleteHandleTrack(instance, fileObject), STATUS_SUCCESS);
        PHandleTrack found = nullptr;
        EXPECT_EQ(FilterGetHandleTrack(instance, fileObject, &found), STATUS_NOT_FOUND);
        // Detached, but our reference keeps it alive.
        EXPECT_EQ(sim::flt::LiveContextCount(), 1u);
        FilterReleaseContext(kept);
        EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
        EXPECT_EQ(FilterDeleteHandleTrack(instance, fileObject), STATUS_NOT_FOUND);
    });
}

// The name a record holds is released exactly once: by the release-and-clear
// that post-cleanup uses, or by the context's cleanup when the record goes
// without it.
TEST_F(FilterHelpers, RecordFreedAtCloseReleasesItsName) {
    HANDLE handle = Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        PHandleTrack track = nullptr;
        ASSERT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &track),
                  STATUS_SUCCESS);
        ASSERT_EQ(FilterGetFileName(data, &track->NameInfo), STATUS_SUCCESS);
        FilterReleaseContext(track);
    });
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 1u);
    Close(handle);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

TEST_F(FilterHelpers, NameReleasedAtCleanupIsNotReleasedAgainAtClose) {
    HANDLE handle = Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        PHandleTrack track = nullptr;
        ASSERT_EQ(FilterGetOrCreateHandleTrack(objects->Instance, objects->Filter, objects->FileObject, sizeof(HandleTrack), &track),
                  STATUS_SUCCESS);
        ASSERT_EQ(FilterGetFileName(data, &track->NameInfo), STATUS_SUCCESS);
        FilterReleaseContext(track);
    });
    int cleanups = 0;
    gPreCleanup = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PHandleTrack track = nullptr;
        if (FilterGetHandleTrack(objects->Instance, objects->FileObject, &track) != STATUS_SUCCESS) {
            return;
        }
        ++cleanups;
        const uint64_t releases = sim::CallCount("FltReleaseFileNameInformation");
        FilterHandleTrackReleaseName(track);
        EXPECT_EQ(track->NameInfo, nullptr);
        EXPECT_EQ(sim::CallCount("FltReleaseFileNameInformation"), releases + 1);
        FilterHandleTrackReleaseName(track);  // nothing left to release
        EXPECT_EQ(sim::CallCount("FltReleaseFileNameInformation"), releases + 1);
        FilterReleaseContext(track);
    };
    Close(handle);
    EXPECT_EQ(cleanups, 1);
    EXPECT_EQ(sim::CallCount("FltReleaseFileNameInformation"), 1u);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

// --- file ids -------------------------------------------------------------------

TEST_F(FilterHelpers, FileIdIsTheFileSystemsIndexNumber) {
    ULONG64 first = 0, again = 0, other = 0;
    HANDLE a = Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        EXPECT_EQ(FilterQueryFileId(objects->Instance, objects->FileObject, &first), STATUS_SUCCESS);
    });
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        EXPECT_EQ(FilterQueryFileId(objects->Instance, objects->FileObject, &again), STATUS_SUCCESS);
    });
    Open(u"C:\\b.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        EXPECT_EQ(FilterQueryFileId(objects->Instance, objects->FileObject, &other), STATUS_SUCCESS);
    });
    EXPECT_NE(first, 0u);
    EXPECT_EQ(again, first);
    EXPECT_NE(other, first);
    ULONG64 userView = 0;
    ASSERT_EQ(sim::user::QueryFileId(process_, a, &userView), STATUS_SUCCESS);
    EXPECT_EQ(userView, first);
}

TEST_F(FilterHelpers, FileIdIsNotQueriedAbovePassiveLevel) {
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        ULONG64 id = 0x1234;
        const KIRQL old = sim::RaiseIrql(APC_LEVEL);
        const NTSTATUS status = FilterQueryFileId(objects->Instance, objects->FileObject, &id);
        sim::LowerIrql(old);
        EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(sim::CallCount("FltQueryInformationFile"), 0u);
    });
}

TEST_F(FilterHelpers, FailedFileIdQueryLeavesTheIdZero) {
    Open(u"C:\\a.txt", [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        sim::fs::InjectFault({.op = sim::fs::FaultOp::QueryInformation, .path = u"", .nth = 1, .count = 1, .status = STATUS_INVALID_DEVICE_REQUEST});
        ULONG64 id = 0x1234;
        EXPECT_EQ(FilterQueryFileId(objects->Instance, objects->FileObject, &id), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(id, 0u);
    });
}

}  // namespace

#endif
