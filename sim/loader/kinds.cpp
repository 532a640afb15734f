// Names of the kinds of call the model makes into a driver, for the stack
// report: one static string per major function and direction.
#include "sim/loader/loader.h"

namespace sim::loader {

namespace {

const char* const kMajorNames[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    "create", "create named pipe", "close", "read", "write", "query information", "set information", "query ea",
    "set ea", "flush buffers", "query volume information", "set volume information", "directory control",
    "file system control", "device control", "internal device control", "shutdown", "lock control", "cleanup",
    "create mailslot", "query security", "set security", "power", "system control", "device change", "query quota",
    "set quota", "pnp",
};

struct Names {
    char pre[IRP_MJ_MAXIMUM_FUNCTION + 1][48];
    char post[IRP_MJ_MAXIMUM_FUNCTION + 1][48];
    char dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1][48];
    Names() {
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
            snprintf(pre[i], sizeof(pre[i]), "pre-%s", kMajorNames[i]);
            snprintf(post[i], sizeof(post[i]), "post-%s", kMajorNames[i]);
            snprintf(dispatch[i], sizeof(dispatch[i]), "dispatch %s", kMajorNames[i]);
        }
    }
};

const Names& AllNames() {
    static const Names names;
    return names;
}

}  // namespace

const char* OperationKind(UCHAR majorFunction, bool pre) {
    if (majorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        return pre ? "pre-other" : "post-other";
    }
    return pre ? AllNames().pre[majorFunction] : AllNames().post[majorFunction];
}

const char* DispatchKind(UCHAR majorFunction) {
    if (majorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        return "dispatch other";
    }
    return AllNames().dispatch[majorFunction];
}

}  // namespace sim::loader
