// The driver-image loader: maps a real x64 driver image (PE32+) into the
// simulated kernel the way the kernel's loader does, binds its imports to the
// model's routines and variables, and gives it what a kernel gives a driver and
// a user process lacks (CR8, fast fail, exception dispatch into the image's own
// handlers, control-flow guard). Host code only.
#pragma once

#include "sim/public/kernel.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace sim::loader {

// --- exports (sim/loader/exports.cpp) --------------------------------------
// The address of the model's routine or variable `name` exported by `module`
// ("ntoskrnl.exe", "FLTMGR.SYS", "HAL.dll"; compared without case), or nullptr
// when the model does not implement it. Data exports (MmUserProbeAddress,
// SeExports...) give the address of the model's variable.
void* LookupExport(const std::string& module, const std::string& name);
// TRUE when `address` is one of the model's exported routines (a valid
// control-flow-guard target for an image, as the kernel's exports are).
bool IsExportedRoutine(const void* address);
// Adds (or replaces) a routine of the model's in a module's table: for parts of
// the model that provide an export of their own (the exception dispatcher's
// language handler).
void AddExport(const std::string& module, const char* name, void* address);

// --- images (sim/loader/image.cpp) ----------------------------------------
struct Image;

// Reads, checks, maps, relocates and binds the image at `path`. On failure the
// status is the one the real loader gives (STATUS_PROCEDURE_NOT_FOUND for an
// import the model lacks, STATUS_INVALID_IMAGE_FORMAT, STATUS_IMAGE_CHECKSUM_MISMATCH...)
// and `error` says why in a line naming the file and, for an import, the
// module and routine.
NTSTATUS MapImage(const std::string& path, Image** image, std::string* error);
void UnmapImage(Image* image);
PDRIVER_INITIALIZE ImageEntryPoint(const Image* image);
uintptr_t ImageBase(const Image* image);
size_t ImageSize(const Image* image);
// The image's FORCE_INTEGRITY flag (DllCharacteristics 0x80).
bool ImageForceIntegrity(const Image* image);
// The loaded image containing `address`, or nullptr.
const Image* FindImage(const void* address);

// --- drivers from images (sim/loader/load.cpp) ----------------------------
// Called when the I/O manager frees a driver object: the image it was loaded
// from, if any, is unmapped.
void DriverObjectFreed(PDRIVER_OBJECT driver);

// --- calls from the model into a driver -------------------------------------
// Every place where the model calls a routine a driver handed it (DriverEntry,
// unload, dispatch routines, filter callbacks, port notifications, process and
// registry callbacks, work items, context cleanup) holds one of these for the
// length of the call. For a routine inside a loaded image it checks the target
// as a kernel with control-flow guard does (not in the image's table of valid
// call targets: bug check 0x139, code 10) and marks the stack so the deepest
// stack used by the image's own frames can be reported per kind of call. For a
// linked driver it does nothing.
class DriverCall {
public:
    DriverCall(const void* target, const char* kind);
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

private:
    uintptr_t savedTop_ = 0;
    const char* savedKind_ = nullptr;
    bool active_ = false;
};

// The kinds of call, as static names: "pre-create", "post-write"...
const char* OperationKind(UCHAR majorFunction, bool pre);
// "dispatch create", "dispatch device control"...
const char* DispatchKind(UCHAR majorFunction);

// The deepest stack (bytes) the image's own frames used, per kind of call,
// since the last reset; and the budget past which the run stops.
std::map<std::string, size_t> StackHighWater();
void ResetStackHighWater();
constexpr size_t kImageStackBudget = 8 * 1024;

}  // namespace sim::loader
