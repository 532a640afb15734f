// User space as the images see it: the model's user window (sim/user/memory.h).
// Everything below MmUserProbeAddress is the window, where client buffers lie;
// the model's pool, stacks and the mapped images lie above, where kernel memory
// is, so a driver's range check against MmUserProbeAddress accepts client
// buffers and refuses the model's own memory, as on Windows.
#include "sim/loader/internal.h"

#include "sim/user/memory.h"

namespace sim::loader {

uintptr_t UserProbeAddress() { return MmUserProbeAddress; }

const ULONG_PTR* UserProbeAddressVariable() { return &MmUserProbeAddress; }

void* AllocateUserPages(size_t bytes) { return sim::user::AllocateUserMemory(bytes); }

// The range becomes inaccessible, as an unmapped user page is: a later access
// faults. The window keeps the pages reserved.
void FreeUserPages(void* address, size_t bytes) { sim::user::ProtectUserMemory(address, bytes, false, false); }

}  // namespace sim::loader
