// Loading and stopping drivers as the service control manager does
// (sc start / sc stop), for tests and tools.
#pragma once

#include "sim/io/io.h"

namespace sim::user {

// sc start: loads the driver (see sim::LoadDriver).
inline NTSTATUS StartDriverService(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, PDRIVER_OBJECT* driver) {
    return sim::LoadDriver(entry, serviceName, driver);
}

// sc stop: stops it (see sim::StopDriver).
inline NTSTATUS StopDriverService(PDRIVER_OBJECT driver) { return sim::StopDriver(driver); }

}  // namespace sim::user
