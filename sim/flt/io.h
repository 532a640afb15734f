// The Filter Manager's I/O path: volumes and instances, per-request callback
// data with pre- and post-operation calls, stream-handle contexts and file-name
// information. The filter objects themselves are sim/flt/flt.h's.
// Host code only.
#pragma once

#include "sim/flt/flt.h"
#include "sim/fs/fs.h"

#include <string>

// The Filter Manager's view of a volume (what PFLT_VOLUME points at).
struct _FLT_VOLUME {
    static constexpr ULONG kMagic = 0x6c6f5646;  // "FVol"
    ULONG magic = kMagic;
    sim::fs::Volume* volume = nullptr;
};

// One filter attached to one volume (what PFLT_INSTANCE points at).
struct _FLT_INSTANCE {
    static constexpr ULONG kMagic = 0x74736e49;  // "Inst"
    ULONG magic = kMagic;
    _FLT_FILTER* filter = nullptr;
    _FLT_VOLUME* volume = nullptr;
    ULONG order = 0;        // attach order: instances attached earlier sit higher on the stack
    bool detached = false;  // its filter is unregistering: no new callbacks, no new contexts
};

namespace sim::flt {

// A request as the I/O manager (user side) or a Flt* routine issues it.
struct IoRequest {
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    UCHAR operationFlags = 0;
    ULONG irpFlags = 0;
    ULONG callbackFlags = FLTFL_CALLBACK_DATA_IRP_OPERATION;
    KPROCESSOR_MODE requestorMode = UserMode;
    sim::fs::FileObjectBody* file = nullptr;
    FLT_PARAMETERS parameters{};
    // Issued by this instance (FltCreateFile, FltReadFile...): only the
    // instances below it and the file system see the request.
    _FLT_INSTANCE* issuedBy = nullptr;
    // Set by Perform: a fast I/O request a filter refused with
    // FLT_PREOP_DISALLOW_FASTIO (the caller sends it again as an IRP).
    bool fastIoDisallowed = false;
};

// Fills the read or write parameters of a request (their layouts match).
inline void SetTransfer(IoRequest& request, bool write, ULONG length, LARGE_INTEGER offset, PVOID buffer) {
    if (write) {
        request.parameters.Write.Length = length;
        request.parameters.Write.ByteOffset = offset;
        request.parameters.Write.WriteBuffer = buffer;
    } else {
        request.parameters.Read.Length = length;
        request.parameters.Read.ByteOffset = offset;
        request.parameters.Read.ReadBuffer = buffer;
    }
}

// Runs the request through the instances on its volume (pre-operation
// callbacks top-down, the file system unless a filter completed it, the
// post-operation callbacks bottom-up) and returns the final I/O status.
IO_STATUS_BLOCK Perform(IoRequest& request);

// Cleanup of a file object's handle (IRP_MJ_CLEANUP through the filters).
void SendCleanup(PFILE_OBJECT fileObject, KPROCESSOR_MODE mode);
// The file object's last reference went: IRP_MJ_CLOSE through the filters,
// then its stream-handle contexts are deleted.
void SendClose(PFILE_OBJECT fileObject);
// A file object whose create failed: drop whatever the Filter Manager holds for it.
void ForgetFileObject(PFILE_OBJECT fileObject);

// Attaches every started filter to a newly mounted volume.
void OnVolumeMounted(sim::fs::Volume* volume);
// Instances on a volume, top of the stack first.
std::vector<_FLT_INSTANCE*> InstancesOn(const sim::fs::Volume* volume);
// The Filter Manager's volume object for a mounted volume.
_FLT_VOLUME* FltVolumeOf(sim::fs::Volume* volume);
// References FltGetVolumeFromName and FltGetVolumeInstanceFromName handed out
// that FltObjectDereference has not yet dropped (sim/flt/volume.cpp).
size_t OutstandingObjectReferences();
// The filter's instance on a volume, or null.
_FLT_INSTANCE* InstanceOf(PFLT_FILTER filter, const sim::fs::Volume* volume);
// A pointer the driver handed in as an instance: the instance, or a stop naming `routine`.
_FLT_INSTANCE* CheckInstance(PFLT_INSTANCE instance, const char* routine);

// What the Filter Manager knows about callback data while a request is in flight.
struct RequestState {
    IoRequest* request = nullptr;
    bool inPostOperation = false;
};
// The in-flight state for `data`, or null if it is not live callback data.
RequestState* StateOf(const FLT_CALLBACK_DATA* data);

// Stream-handle contexts (context.cpp): delete every context attached to
// the file object (after its close) or held by the instance (detach).
void DeleteFileObjectContexts(PFILE_OBJECT fileObject);
void DeleteInstanceContexts(_FLT_INSTANCE* instance);
// Live contexts of any kind (allocated and not yet freed).
size_t LiveContextCount();

// File-name information (name.cpp): a new name record holding `name`
// (device form), with one reference, unparsed. Tests use it to parse any text.
PFLT_FILE_NAME_INFORMATION NewFileNameInformation(std::u16string_view name, FLT_FILE_NAME_OPTIONS format);
size_t LiveFileNameCount();
// What FltGetDestinationFileNameInformation gives for a full destination path
// whose parent is a directory of the object namespace rather than of a volume
// ("\??\Name", a DOS-device link the program defined). The public sources do
// not give the status: STATUS_OBJECT_NAME_INVALID until set; a reset restores it.
void SetDestinationThroughLinkStatus(NTSTATUS status);

}  // namespace sim::flt
