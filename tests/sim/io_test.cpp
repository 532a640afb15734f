// I/O manager model: driver load and stop, devices and links, device
// security, buffered device control, request completion rules, work items.
// A small test driver written here stands in for a real one.
#include "sim/io/io.h"
#include "tests/support/strings.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"
#include "sim/user/device.h"
#include "sim/user/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr ULONG Code(ULONG function, ULONG access) { return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, access); }
const ULONG kEcho = Code(0x800, FILE_ANY_ACCESS);
const ULONG kEchoRead = Code(0x801, FILE_READ_ACCESS);
const ULONG kEchoWrite = Code(0x802, FILE_WRITE_ACCESS);
const ULONG kEchoReadWrite = Code(0x803, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
const ULONG kCompleteTwice = Code(0x900, FILE_ANY_ACCESS);
const ULONG kNeverComplete = Code(0x901, FILE_ANY_ACCESS);
const ULONG kCompletePending = Code(0x902, FILE_ANY_ACCESS);
const ULONG kForwardWithoutSkip = Code(0x903, FILE_ANY_ACCESS);
const ULONG kQueueWork = Code(0x904, FILE_ANY_ACCESS);
const ULONG kReturnOtherStatus = Code(0x905, FILE_ANY_ACCESS);
const ULONG kKeepFileObject = Code(0x906, FILE_ANY_ACCESS);

// What the test driver does, set by each test.
struct Config {
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    const char* sddl = nullptr;  // descriptor applied to the device in DriverEntry
    NTSTATUS failEntryWith = STATUS_SUCCESS;
    bool cleanUpOnFailure = true;
    bool leaveLinkAtUnload = false;
    NTSTATUS ioctlStatus = STATUS_SUCCESS;
    ULONG_PTR ioctlInformation = 0;
};

// What the test driver saw.
struct Seen {
    std::vector<std::string> events;
    bool systemBufferNull = false;
    ULONG inputLength = 0, outputLength = 0;
    std::vector<uint8_t> buffer;  // the whole system buffer as the driver got it
    ULONG_PTR createPid = 0;
    ACCESS_MASK createAccess = 0;
    std::u16string createName;
    ULONG_PTR workPid = 0;
    KIRQL workIrql = 0xFF;
    std::atomic<bool> workDone{false};
    PFILE_OBJECT keptFile = nullptr;
};

Config gConfig;
Seen* gSeen = nullptr;
PDEVICE_OBJECT gDevice = nullptr;
PDEVICE_OBJECT gOtherDevice = nullptr;

using vtest::Us;

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI TestCreateClose(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        gSeen->events.push_back("create");
        gSeen->createPid = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
        gSeen->createAccess =
            static_cast<PIO_SECURITY_CONTEXT>(stack->Parameters.Create.SecurityContext)->DesiredAccess;
        gSeen->createName.assign(stack->FileObject->FileName.Buffer == nullptr ? u"" : stack->FileObject->FileName.Buffer,
                                 stack->FileObject->FileName.Length / 2);
    } else {
        gSeen->events.push_back(stack->MajorFunction == IRP_MJ_CLOSE ? "close" : "cleanup");
    }
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI TestDefault(PDEVICE_OBJECT, PIRP irp) {
    gSeen->events.push_back("default " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MajorFunction));
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID NTAPI TestWork(PDEVICE_OBJECT, PVOID context) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gSeen->workPid = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    gSeen->workIrql = KeGetCurrentIrql();
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    gSeen->workDone = true;
}

NTSTATUS NTAPI TestDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    gSeen->events.push_back("ioctl");
    if (code == kCompleteTwice) {
        CompleteWith(irp, STATUS_SUCCESS);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (code == kNeverComplete) {
        return STATUS_SUCCESS;
    }
    if (code == kCompletePending) {
        return CompleteWith(irp, STATUS_PENDING);
    }
    if (code == kForwardWithoutSkip) {
        return IofCallDriver(gOtherDevice, irp);
    }
    if (code == kReturnOtherStatus) {
        CompleteWith(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    }
    if (code == kQueueWork) {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        if (item == nullptr) {
            return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        IoQueueWorkItem(item, TestWork, DelayedWorkQueue, item);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (code == kKeepFileObject) {
        gSeen->keptFile = stack->FileObject;
        ObfReferenceObject(stack->FileObject);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    gSeen->systemBufferNull = buffer == nullptr;
    gSeen->inputLength = in;
    gSeen->outputLength = out;
    gSeen->buffer.assign(buffer, buffer + (buffer == nullptr ? 0 : std::max(in, out)));
    for (ULONG i = 0; i < out; ++i) {
        buffer[i] = static_cast<uint8_t>(0x40 + i);
    }
    return CompleteWith(irp, gConfig.ioctlStatus, gConfig.ioctlInformation);
}

VOID NTAPI TestUnload(PDRIVER_OBJECT driver) {
    gSeen->events.push_back("unload");
    if (!gConfig.leaveLinkAtUnload) {
        UNICODE_STRING link = Us(u"\\DosDevices\\SimTest");
        IoDeleteSymbolicLink(&link);
    }
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    gSeen->events.push_back("entry");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()), 4u);
    EXPECT_NE(registryPath, nullptr);
    UNICODE_STRING name = Us(u"\\Device\\SimTest");
    NTSTATUS status = IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, gConfig.characteristics, FALSE, &gDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EXPECT_TRUE(gDevice->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_NE(gDevice->DeviceExtension, nullptr);
    UNICODE_STRING link = Us(u"\\DosDevices\\SimTest");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(gDevice);
        return status;
    }
    if (gConfig.sddl != nullptr) {
        auto sd = sim::security::DescriptorFromSddl(gConfig.sddl);
        EXPECT_TRUE(sd.has_value());
        status = ObSetSecurityObjectByPointer(gDevice, DACL_SECURITY_INFORMATION, sd->data());
        std::fill(sd->begin(), sd->end(), 0);  // the device must have kept its own copy
        if (!NT_SUCCESS(status)) {
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(gDevice);
            return status;
        }
    }
    for (auto& slot : driver->MajorFunction) {
        slot = TestDefault;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = TestCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = TestCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TestCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDeviceControl;
    driver->DriverUnload = TestUnload;
    if (!NT_SUCCESS(gConfig.failEntryWith)) {
        if (gConfig.cleanUpOnFailure) {
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(gDevice);
        }
        return gConfig.failEntryWith;
    }
    return STATUS_SUCCESS;
}

// A second driver whose device only exists to receive forwarded requests.
NTSTATUS NTAPI OtherEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = Us(u"\\Device\\SimOther");
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDefault;
    driver->DriverUnload = [](PDRIVER_OBJECT d) NTAPI { IoDeleteDevice(d->DeviceObject); };
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gOtherDevice);
}

// Stop hook shared by the tests (hooks outlive kernel resets).
PDRIVER_OBJECT gHookDriver = nullptr;
NTSTATUS gHookVeto = STATUS_SUCCESS;
NTSTATUS TestStopHook(PDRIVER_OBJECT driver) {
    if (driver != gHookDriver || gSeen == nullptr) {
        return STATUS_SUCCESS;
    }
    gSeen->events.push_back("stop hook");
    return gHookVeto;
}

class SimIo : public ::testing::Test {
protected:
    void SetUp() override {
        static bool hooked = (sim::RegisterDriverStopHook(TestStopHook), true);
        (void)hooked;
        sim::ResetKernel();
        gConfig = Config{};
        gSeen = &seen_;
        gHookVeto = STATUS_SUCCESS;
        gHookDriver = nullptr;
        user_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\user.exe", u"", false);
        admin_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\admin.exe", u"", true);
    }
    void TearDown() override {
        sim::ResetKernel();
        gSeen = nullptr;
        gHookDriver = nullptr;
    }

    PDRIVER_OBJECT Load() {
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_SUCCESS);
        gHookDriver = driver;
        return driver;
    }

    HANDLE Open(_EPROCESS* process, ACCESS_MASK access, const char16_t* path = u"\\\\.\\SimTest") {
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::CreateFile(process, path, access, &handle), STATUS_SUCCESS);
        return handle;
    }

    Seen seen_;
    _EPROCESS* user_ = nullptr;
    _EPROCESS* admin_ = nullptr;
};

TEST_F(SimIo, LoadReadiesTheDeviceAndStopRunsHooksThenUnloadThenFreesEverything) {
    PDRIVER_OBJECT driver = Load();
    ASSERT_NE(driver, nullptr);
    EXPECT_FALSE(gDevice->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2), u"\\Driver\\SimTest");
    EXPECT_EQ(sim::io::DeviceName(gDevice), u"\\Device\\SimTest");
    EXPECT_EQ(sim::LoadedDrivers().size(), 1u);
    PDRIVER_OBJECT again = nullptr;
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &again), STATUS_IMAGE_ALREADY_LOADED);

    ASSERT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events, (std::vector<std::string>{"entry", "stop hook", "unload"}));
    EXPECT_TRUE(sim::LoadedDrivers().empty());
    EXPECT_TRUE(sim::io::Devices().empty());
    EXPECT_TRUE(sim::io::SymbolicLinks().empty());
    void* body = nullptr;
    EXPECT_EQ(sim::ob::LookupObject(u"\\GLOBAL??\\SimTest", sim::ob::ObjectType::Other, &body), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SimIo, AStopHookCanVetoTheStop) {
    PDRIVER_OBJECT driver = Load();
    gHookVeto = STATUS_FLT_DO_NOT_DETACH;
    EXPECT_EQ(sim::StopDriver(driver), STATUS_FLT_DO_NOT_DETACH);
    EXPECT_EQ(seen_.events, (std::vector<std::string>{"entry", "stop hook"}));
    HANDLE handle = Open(user_, FILE_READ_DATA);  // still serving
    EXPECT_EQ(sim::user::CloseHandle(user_, handle), STATUS_SUCCESS);
    gHookVeto = STATUS_SUCCESS;
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
}

TEST_F(SimIo, AFailedStartThatUndidItsWorkLeavesNothing) {
    gConfig.failEntryWith = STATUS_INSUFFICIENT_RESOURCES;
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_TRUE(sim::LoadedDrivers().empty());
    EXPECT_TRUE(sim::io::Devices().empty());
    EXPECT_TRUE(sim::LastLeftoverReport().empty());
    // The same service can be started again.
    gConfig.failEntryWith = STATUS_SUCCESS;
    EXPECT_NE(Load(), nullptr);
}

TEST_F(SimIo, InjectedFailuresReachTheDriver) {
    PDRIVER_OBJECT driver = nullptr;
    sim::InjectFailure("IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_OBJECT_NAME_COLLISION);
    sim::InjectFailure("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_INSUFFICIENT_RESOURCES);
    gConfig.sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    sim::InjectFailure("ObSetSecurityObjectByPointer", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::io::Devices().empty());
}

TEST_F(SimIo, LeftoversOfAFailedStartOrAnUnloadAreReported) {
    gConfig.failEntryWith = STATUS_UNSUCCESSFUL;
    gConfig.cleanUpOnFailure = false;
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver = nullptr;
            sim::LoadDriver(TestEntry, u"SimTest", &driver);
        },
        "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS(.|\n)*device \\\\Device\\\\SimTest not deleted");

    sim::SetLeftoverReportsAreFatal(false);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(sim::LoadDriver(TestEntry, u"SimTest", &driver), STATUS_UNSUCCESSFUL);
    auto report = sim::LastLeftoverReport();
    ASSERT_EQ(report.size(), 2u);
    EXPECT_NE(report[0].find("\\Device\\SimTest"), std::string::npos);
    EXPECT_NE(report[1].find("\\DosDevices\\SimTest"), std::string::npos);
    EXPECT_TRUE(sim::io::Devices().empty());  // cleaned up after the report

    gConfig = Config{};
    gConfig.leaveLinkAtUnload = true;
    driver = Load();
    ASSERT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    report = sim::LastLeftoverReport();
    ASSERT_EQ(report.size(), 1u);
    EXPECT_NE(report[0].find("symbolic link"), std::string::npos);
}

TEST_F(SimIo, DefaultDeviceSecurityLetsEveryoneReadAndWrite) {
    Load();
    HANDLE handle = nullptr;
    ASSERT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest", GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(seen_.createPid, user_->pid);  // the create runs in the caller's context
    EXPECT_EQ(seen_.createAccess & (FILE_READ_DATA | FILE_WRITE_DATA), ACCESS_MASK(FILE_READ_DATA | FILE_WRITE_DATA));
    ULONG returned = 0;
    EXPECT_EQ(sim::user::DeviceIoControl(user_, handle, kEchoReadWrite, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::CloseHandle(user_, handle), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events, (std::vector<std::string>{"entry", "create", "ioctl", "cleanup", "close"}));
}

TEST_F(SimIo, AnAdminOnlyDescriptorRefusesOrdinaryUsers) {
    gConfig.sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    Load();
    HANDLE handle = nullptr;
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest", GENERIC_READ | GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\??\\SimTest", 0, &handle), STATUS_SUCCESS)
        << "asking for nothing passes any descriptor";
    sim::user::CloseHandle(user_, handle);
    handle = Open(admin_, GENERIC_READ | GENERIC_WRITE, u"\\Device\\SimTest");
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(std::count(seen_.events.begin(), seen_.events.end(), "create"), 2);
}

TEST_F(SimIo, NamesBelowTheDeviceBypassItsDescriptorWithoutSecureOpen) {
    gConfig.sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    gConfig.characteristics = 0;
    Load();
    HANDLE handle = nullptr;
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest\\anything", GENERIC_READ | GENERIC_WRITE, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(seen_.createName, u"\\anything");
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest", GENERIC_READ, &handle), STATUS_ACCESS_DENIED);

    sim::ResetKernel();
    gConfig.characteristics = FILE_DEVICE_SECURE_OPEN;
    user_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\user.exe");
    Load();
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest\\anything", GENERIC_READ, &handle), STATUS_ACCESS_DENIED);
}

TEST_F(SimIo, AccessBitsOfTheCodeAreCheckedAgainstTheHandleBeforeAnyRequest) {
    Load();
    HANDLE none = Open(user_, 0);
    HANDLE readOnly = Open(user_, FILE_READ_DATA);
    struct Case {
        HANDLE handle;
        ULONG code;
        NTSTATUS expected;
    } cases[] = {
        {none, kEcho, STATUS_SUCCESS},
        {none, kEchoRead, STATUS_ACCESS_DENIED},
        {none, kEchoReadWrite, STATUS_ACCESS_DENIED},
        {readOnly, kEchoRead, STATUS_SUCCESS},
        {readOnly, kEchoWrite, STATUS_ACCESS_DENIED},
        {readOnly, kEchoReadWrite, STATUS_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        size_t before = seen_.events.size();
        ULONG returned = 0;
        EXPECT_EQ(sim::user::DeviceIoControl(user_, c.handle, c.code, nullptr, 0, nullptr, 0, &returned), c.expected)
            << std::hex << c.code;
        EXPECT_EQ(seen_.events.size() - before, c.expected == STATUS_SUCCESS ? 1u : 0u) << "driver reached for a refused code";
    }
    // Another process cannot use the handle.
    EXPECT_EQ(sim::user::DeviceIoControl(admin_, none, kEcho, nullptr, 0, nullptr, 0, nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(SimIo, BufferedTransferUsesOneSystemBufferAndCopiesBackOnlyWithoutError) {
    Load();
    HANDLE handle = Open(user_, FILE_READ_DATA | FILE_WRITE_DATA);
    uint8_t input[4] = {1, 2, 3, 4};
    uint8_t output[8];
    ULONG returned = 99;

    // Output longer than input: the bytes past the input are not zeroed for the driver.
    std::memset(output, 0xEE, sizeof(output));
    gConfig.ioctlInformation = 6;
    ASSERT_EQ(sim::user::DeviceIoControl(user_, handle, kEcho, input, 4, output, 8, &returned), STATUS_SUCCESS);
    ASSERT_EQ(seen_.buffer.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(seen_.buffer.begin(), seen_.buffer.begin() + 4), std::vector<uint8_t>(input, input + 4));
    EXPECT_FALSE(std::all_of(seen_.buffer.begin() + 4, seen_.buffer.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(output[0], 0x40);
    EXPECT_EQ(output[5], 0x45);
    EXPECT_EQ(output[6], 0xEE) << "only Information bytes are copied back";

    // Input longer than output: still one buffer of the larger size.
    uint8_t bigInput[16] = {};
    gConfig.ioctlInformation = 2;
    ASSERT_EQ(sim::user::DeviceIoControl(user_, handle, kEcho, bigInput, 16, output, 2, &returned), STATUS_SUCCESS);
    EXPECT_EQ(seen_.buffer.size(), 16u);

    // No buffers at all: no system buffer.
    gConfig.ioctlInformation = 0;
    ASSERT_EQ(sim::user::DeviceIoControl(user_, handle, kEcho, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_TRUE(seen_.systemBufferNull);

    // A warning still copies and reports Information; an error copies nothing.
    std::memset(output, 0xEE, sizeof(output));
    gConfig.ioctlStatus = STATUS_BUFFER_OVERFLOW;
    gConfig.ioctlInformation = 3;
    EXPECT_EQ(sim::user::DeviceIoControl(user_, handle, kEcho, nullptr, 0, output, 8, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(output[2], 0x42);
    EXPECT_EQ(output[3], 0xEE);

    std::memset(output, 0xEE, sizeof(output));
    gConfig.ioctlStatus = STATUS_UNSUCCESSFUL;
    gConfig.ioctlInformation = 8;
    EXPECT_EQ(sim::user::DeviceIoControl(user_, handle, kEcho, nullptr, 0, output, 8, &returned), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(output[0], 0xEE);
}

TEST_F(SimIo, ReportingMoreOutputThanTheCallerGaveStopsTheSystem) {
    Load();
    HANDLE handle = Open(user_, 0);
    gConfig.ioctlInformation = 9;
    uint8_t output[8];
    EXPECT_DEATH(sim::user::DeviceIoControl(user_, handle, kEcho, nullptr, 0, output, 8, nullptr),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION(.|\n)*larger than the output buffer");
}

TEST_F(SimIo, CompletionRulesAreEnforced) {
    Load();
    HANDLE handle = Open(user_, 0);
    auto send = [&](ULONG code) { sim::user::DeviceIoControl(user_, handle, code, nullptr, 0, nullptr, 0, nullptr); };
    EXPECT_DEATH(send(kCompleteTwice), "MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_DEATH(send(kNeverComplete), "returned without completing");
    EXPECT_DEATH(send(kCompletePending), "IofCompleteRequest with STATUS_PENDING");
    EXPECT_DEATH(send(kReturnOtherStatus), "status other than the one it completed");
}

TEST_F(SimIo, CallingALowerDeviceWithoutAStackLocationStopsTheSystem) {
    Load();
    PDRIVER_OBJECT other = nullptr;
    ASSERT_EQ(sim::LoadDriver(OtherEntry, u"SimOther", &other), STATUS_SUCCESS);
    HANDLE handle = Open(user_, 0);
    EXPECT_DEATH(sim::user::DeviceIoControl(user_, handle, kForwardWithoutSkip, nullptr, 0, nullptr, 0, nullptr),
                 "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(SimIo, OtherMajorFunctionsReachTheDefaultDispatch) {
    Load();
    HANDLE handle = Open(user_, FILE_READ_DATA);
    EXPECT_EQ(sim::user::SendIrp(user_, handle, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(seen_.events.back(), "default 3");
    EXPECT_EQ(sim::user::SendIrp(user_, handle, IRP_MJ_CLOSE), STATUS_INVALID_PARAMETER);
}

TEST_F(SimIo, CloseWaitsForTheLastReferenceToTheFileObject) {
    Load();
    HANDLE handle = Open(user_, 0);
    ASSERT_EQ(sim::user::DeviceIoControl(user_, handle, kKeepFileObject, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::CloseHandle(user_, handle), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events.back(), "cleanup");
    ObfDereferenceObject(seen_.keptFile);
    EXPECT_EQ(seen_.events.back(), "close");
}

TEST_F(SimIo, OpenHandlesDeferTheUnloadUntilTheLastCloses) {
    PDRIVER_OBJECT driver = Load();
    HANDLE handle = Open(user_, 0);
    ASSERT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events.back(), "stop hook");
    HANDLE refused = nullptr;
    EXPECT_EQ(sim::user::CreateFile(user_, u"\\\\.\\SimTest", 0, &refused), STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(sim::user::CloseHandle(user_, handle), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events.back(), "unload");
    EXPECT_TRUE(sim::LoadedDrivers().empty());
}

TEST_F(SimIo, ProcessExitClosesItsDeviceHandles) {
    Load();
    Open(user_, 0);
    ASSERT_EQ(sim::user::EndProcess(user_), STATUS_SUCCESS);
    EXPECT_EQ(seen_.events, (std::vector<std::string>{"entry", "create", "cleanup", "close"}));
}

TEST_F(SimIo, WorkItemsRunInTheSystemProcessAndStopWaitsForThem) {
    PDRIVER_OBJECT driver = Load();
    HANDLE handle = Open(user_, 0);
    ASSERT_EQ(sim::user::DeviceIoControl(user_, handle, kQueueWork, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    sim::user::CloseHandle(user_, handle);
    ASSERT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_TRUE(seen_.workDone.load()) << "the stop returned before the driver's work item ran";
    EXPECT_EQ(seen_.workPid, 4u);
    EXPECT_EQ(seen_.workIrql, PASSIVE_LEVEL);
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);

    sim::ResetKernel();
    user_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\user.exe");
    Load();
    handle = Open(user_, 0);
    sim::InjectFailure("IoAllocateWorkItem", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::user::DeviceIoControl(user_, handle, kQueueWork, nullptr, 0, nullptr, 0, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
}

VOID NTAPI StuckWork(PDEVICE_OBJECT, PVOID) { std::this_thread::sleep_for(std::chrono::seconds(30)); }

TEST_F(SimIo, QueueingAQueuedWorkItemStopsTheSystem) {
    Load();
    EXPECT_DEATH(
        {
            // Occupy every worker so the item stays in the queue.
            for (int i = 0; i < 8; ++i) {
                IoQueueWorkItem(IoAllocateWorkItem(gDevice), StuckWork, DelayedWorkQueue, nullptr);
            }
            PIO_WORKITEM item = IoAllocateWorkItem(gDevice);
            IoQueueWorkItem(item, StuckWork, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, StuckWork, DelayedWorkQueue, nullptr);
        },
        "WORKER_INVALID");
}

}  // namespace
