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
#include <vector>

// Statuses of the loader that the rest of the model does not use.
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif
#ifndef STATUS_IMAGE_CHECKSUM_MISMATCH
#define STATUS_IMAGE_CHECKSUM_MISMATCH ((NTSTATUS)0xC0000221L)
#endif
#ifndef STATUS_DLL_NOT_FOUND
#define STATUS_DLL_NOT_FOUND ((NTSTATUS)0xC0000135L)
#endif
#ifndef STATUS_ILLEGAL_INSTRUCTION
#define STATUS_ILLEGAL_INSTRUCTION ((NTSTATUS)0xC000001DL)
#endif
#ifndef STATUS_IN_PAGE_ERROR
#define STATUS_IN_PAGE_ERROR ((NTSTATUS)0xC0000006L)
#endif
#ifndef STATUS_INTEGER_DIVIDE_BY_ZERO
#define STATUS_INTEGER_DIVIDE_BY_ZERO ((NTSTATUS)0xC0000094L)
#endif
#ifndef STATUS_NONCONTINUABLE_EXCEPTION
#define STATUS_NONCONTINUABLE_EXCEPTION ((NTSTATUS)0xC0000025L)
#endif

namespace sim::loader {

// --- exports (sim/loader/exports.cpp) --------------------------------------
// Windows versions, oldest first. Each export carries the first version whose
// module exports it ("Win2000" stands for Windows 2000 or earlier).
enum class WindowsVersion { Win2000, WinXP, WinVista, Win7, Win8, Win81, Win10_1507, Win10_1703, Win10_2004, Win11 };
// The oldest version Vetrona supports: Windows 10 (its first release, 1507),
// which the image's subsystem version (native 10.0) and the package's
// install instructions name. An image may import only what that version
// exports; a newer routine must be looked up at run time
// (MmGetSystemRoutineAddress, FltGetRoutineAddress), as the driver does for
// the ones it can do without.
constexpr WindowsVersion kOldestSupportedWindows = WindowsVersion::Win10_1507;
const char* WindowsVersionName(WindowsVersion version);
// The address of the model's routine or variable `name` exported by `module`
// ("ntoskrnl.exe", "FLTMGR.SYS", "HAL.dll"; compared without case), or nullptr
// when the model does not implement it. Data exports (MmUserProbeAddress,
// SeExports...) give the address of the model's variable.
void* LookupExport(const std::string& module, const std::string& name);
// The same, with the first Windows version that exports it (for the loader,
// which refuses an import newer than kOldestSupportedWindows).
void* LookupExport(const std::string& module, const std::string& name, WindowsVersion* since);
// TRUE when `address` is one of the model's exported routines (a valid
// control-flow-guard target for an image, as the kernel's exports are).
bool IsExportedRoutine(const void* address);
// Adds (or replaces) a routine of the model's in a module's table: for parts of
// the model that provide an export of their own (the exception dispatcher's
// language handler).
void AddExport(const std::string& module, const char* name, void* address);

// Routines and variables an image may import beyond the model's own exports:
// consulted when LookupExport has no such name (tests give their images
// routines of their own this way). A routine (`data` false) must use the
// Windows x64 convention; it is a valid control-flow-guard target like an
// export. Replaces the previous list; an empty list clears it.
struct FallbackExport {
    std::string module;
    std::string name;
    void* address = nullptr;
    bool data = false;
    WindowsVersion since = WindowsVersion::Win2000;
};
void SetFallbackExports(const std::vector<FallbackExport>& exports);

// The kernel's language handler for the images' exception scopes, bound to
// their imports of ntoskrnl.exe's __C_specific_handler. Windows x64
// convention: EXCEPTION_DISPOSITION (PEXCEPTION_RECORD, PVOID EstablisherFrame,
// PCONTEXT, PDISPATCHER_CONTEXT), on the real x64 layouts (CONTEXT: 0x4D0 bytes).
extern "C" __attribute__((ms_abi)) int SimCSpecificHandler(void* exceptionRecord, void* establisherFrame,
                                                          void* context, void* dispatcherContext);

// --- user space (sim/loader/user_space.cpp) -----------------------------------
// What an image sees as the user part of the address space: every address
// below UserProbeAddress(). The model reserves a region low in the host's
// address space and ends user space there, so everything else of the host
// (the model's pool, stacks, the images) lies above, where kernel memory is.
// Client buffers an image is given must be allocated here. The value is what
// the images' data import MmUserProbeAddress reads (UserProbeAddressVariable).
uintptr_t UserProbeAddress();
const ULONG_PTR* UserProbeAddressVariable();
// Read-write pages in user space (whole pages, zeroed), or nullptr when the
// region is full; FreeUserPages gives them back (the range becomes
// inaccessible again: a later access faults as on an unmapped user page).
void* AllocateUserPages(size_t bytes);
void FreeUserPages(void* address, size_t bytes);

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
// How many images are mapped now.
size_t LoadedImageCount();
// The loaded image containing `address`, or nullptr.
const Image* FindImage(const void* address);
// The address of a data symbol of the image, from the link map the cross-build
// writes beside it (vetrona.sys -> vetrona.map), or 0 when there is no map or
// no such symbol. For harnesses that look at a driver's own state, as tests of
// the linked driver do through its globals.
uintptr_t ImageSymbolAddress(const Image* image, const std::string& name);
// Where that map is for the image at `imagePath` (its name with ".map").
std::string LinkMapPath(const std::string& imagePath);
// The image's file name ("vetrona.sys"), for reports.
const std::string& ImageName(const Image* image);
// The path it was loaded from.
const std::string& ImagePath(const Image* image);

// --- one call from the model into an image ---------------------------------
namespace detail {
struct ImportRecord;
// Written by the import stubs (sim/loader/boundary.S): keep the first five
// fields where sim/loader/offsets.h says they are.
struct CallLevel {
    ImportRecord* top = nullptr;  // innermost import call still running
    uintptr_t lowest = 0;         // lowest stack pointer at an import call
    uintptr_t mark = 0;           // stack pointer where the model called in
    uintptr_t imageBase = 0;
    uintptr_t imageSize = 0;
    CallLevel* outer = nullptr;
    const char* kind = nullptr;
    const Image* image = nullptr;
    // An exception that leaves the level's frames unhandled goes on into the
    // frames of the image that called the model (a call from the exception
    // dispatcher itself, to a filter or a termination handler, is not crossed).
    bool crossable = true;
};
}  // namespace detail

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
    detail::CallLevel level_;
    bool active_ = false;
};

// The kinds of call, as static names: "pre-create", "post-write"...
const char* OperationKind(UCHAR majorFunction, bool pre);
// "dispatch create", "dispatch device control"...
const char* DispatchKind(UCHAR majorFunction);

// Called by sim::RaiseStatus: when the thread is inside a routine an image
// called (and no guard of the model's own, at stack address
// `innermostHostGuard`, 0 for none, lies closer), dispatches the exception
// into the image from the frame that made the call and does not return;
// FALSE otherwise.
bool RaiseIntoImage(NTSTATUS code, uintptr_t innermostHostGuard);

// The deepest stack (bytes) the image's own frames used, per kind of call,
// since the last reset; and the budget past which the run stops.
std::map<std::string, size_t> StackHighWater();
void ResetStackHighWater();
constexpr size_t kImageStackBudget = 8 * 1024;

}  // namespace sim::loader
