// Between the pieces of the I/O manager (sim/io_*.cpp): its state, the records
// it keeps beside drivers, devices and IRPs, and the helpers they share. Only
// the I/O manager's own sources include this.
#pragma once

#include "sim/io/io.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace sim {

constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeFile = 5;
constexpr SHORT kIoTypeIrp = 6;

// What the I/O manager keeps beside a DEVICE_OBJECT.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    bool named = false;
    bool deleted = false;
    std::vector<uint8_t> security;  // private copy set through ObSetSecurityObjectByPointer
    LONG openFiles = 0;
};

struct DriverRecord {
    PDRIVER_OBJECT driver = nullptr;
    std::u16string serviceName;
    std::u16string driverName;  // storage behind DriverObject->DriverName
    std::u16string namespacePath;
    bool unloadPending = false;
};

struct LinkRecord {
    std::u16string path;
    PDRIVER_OBJECT owner = nullptr;
};

// An open of a device (the body of a FILE_OBJECT handle).
struct FileRecord {
    std::u16string fileName;
};

struct IrpState {
    IRP irp{};
    std::vector<IO_STACK_LOCATION> stack;
    bool completed = false;
    std::condition_variable done;
};

struct IoState {
    std::mutex lock;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::vector<DriverRecord> drivers;
    std::vector<LinkRecord> links;
    std::unordered_map<PFILE_OBJECT, FileRecord> files;
    std::unordered_map<PIRP, std::unique_ptr<IrpState>> irps;
    std::deque<std::unique_ptr<IrpState>> freedIrps;  // kept a while so a late completion is caught

    // Persist across resets.
    std::vector<DriverStopHook> stopHooks;
    std::vector<DriverLeftoverCheck> leftoverChecks;

    bool leftoversFatal = true;
    std::vector<std::string> lastLeftovers;
};

IoState& S();

// The driver whose code the current host thread runs (innermost last).
extern thread_local std::vector<PDRIVER_OBJECT> tDriverContext;

// Marks the current host thread as running `driver`'s code.
class DriverContextScope {
public:
    explicit DriverContextScope(PDRIVER_OBJECT driver) { tDriverContext.push_back(driver); }
    ~DriverContextScope() { tDriverContext.pop_back(); }
    DriverContextScope(const DriverContextScope&) = delete;
    DriverContextScope& operator=(const DriverContextScope&) = delete;
};

// Drivers (sim/io/driver.cpp).
std::string Narrowp(std::u16string_view s);
DriverRecord* FindDriverLockedp(PDRIVER_OBJECT driver);
// DriverUnload, the wait for work items, the leftover check and the free.
void FinishUnloadp(PDRIVER_OBJECT driver);

// Devices (sim/io/device.cpp).
std::u16string FromUnicodeStringp(PCUNICODE_STRING s);
void DeleteDeviceMemoryp(void* object);

}  // namespace sim
