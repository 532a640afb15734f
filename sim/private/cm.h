// Configuration manager of the simulated kernel: registry callback
// registrations (the registry itself comes later). Host code only.
#pragma once

#include "sim/private/core.h"

#include <string>
#include <vector>

namespace sim::cm {

struct CallbackRegistration {
    PEX_CALLBACK_FUNCTION function = nullptr;
    PVOID context = nullptr;
    LARGE_INTEGER cookie{};
    std::u16string altitude;  // decimal string; CmRegisterCallback gets a unique one of its own
    PDRIVER_OBJECT driver = nullptr;  // the driver charged with it (leftover checks)
};

// Registered callbacks ordered by altitude, highest first (the order a
// registry operation calls them in).
std::vector<CallbackRegistration> Callbacks();
bool IsRegistered(PEX_CALLBACK_FUNCTION function);

void ResetCm();

}  // namespace sim::cm
