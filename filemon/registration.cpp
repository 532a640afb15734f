// The minifilter's registration record: the stream-handle context it uses and
// the operations it filters, and the unload callback that takes the port and
// the filter down.
#include "filemon/filemon.h"

#include "driver/driver_data.h"
#include "driver/tags.h"
#include "procmon/procmon.h"

// One stream-handle context: the HandleTrack a followed handle carries from its
// create to its cleanup.
static const FLT_CONTEXT_REGISTRATION FilterContextRegistration[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, FilterHandleTrackCleanup, sizeof(HandleTrack), TagHandleTrack, nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

// Flags are 0 everywhere: paging and cached I/O are seen too. The read and
// section-synchronisation entries carry no callback and filter nothing.
static const FLT_OPERATION_REGISTRATION FilterOperations[] = {
    {IRP_MJ_READ, 0, nullptr, nullptr, nullptr},
    {IRP_MJ_WRITE, 0, FilterPreWrite, nullptr, nullptr},
    {IRP_MJ_SET_INFORMATION, 0, FilterPreSetInformation, nullptr, nullptr},
    {IRP_MJ_CREATE, 0, FilterPreCreate, FilterPostCreate, nullptr},
    {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, nullptr, nullptr, nullptr},
    {IRP_MJ_DEVICE_CONTROL, 0, FilterPreDeviceControl, nullptr, nullptr},
    {IRP_MJ_CLEANUP, 0, FilterPreCleanup, FilterPostCleanup, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

// No instance callbacks: the filter attaches where the Filter Manager's
// defaults and the installation's instance settings put it, and it provides no
// name services of its own.
const FLT_REGISTRATION FilterRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0200,
    0,
    FilterContextRegistration,
    FilterOperations,
    FilterUnload,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
static_assert(sizeof(FLT_REGISTRATION) == 88, "the version-0x0200 registration record is 88 bytes");
static_assert(sizeof(HandleTrack) == 24, "the registered context size is the HandleTrack's");

// The driver never refuses an unload. The client's connection goes with the
// filter; the driver's own unload routine runs next and frees the rest.
NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags) {
    UNREFERENCED_PARAMETER(Flags);

    // A registry callback or process notification in flight, or a deferred
    // process event, may be about to send through the port: removing the
    // callbacks waits for those in flight and the deferred events are sent,
    // so nothing sends once the port and the filter are gone.
    DriverRemoveRegistryCallback();
    ProcMonStop();
    FltCloseCommunicationPort(DriverData.ServerPort);
    FltUnregisterFilter(DriverData.Filter);
    return STATUS_SUCCESS;
}
