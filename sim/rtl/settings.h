// Settings of the run-time library area of the simulated kernel. Host code only.
#pragma once

#include "sim/public/ntdef.h"

namespace sim {

// The version RtlGetVersion reports. A freshly booted kernel reports 10.0.19045
// (Windows 10 22H2); Windows 11 is 10.0 with build 22000 or above.
void SetSystemVersion(ULONG major, ULONG minor, ULONG build);
// The version set now (what RtlGetVersion would report), for other areas.
void GetSystemVersion(ULONG* major, ULONG* minor, ULONG* build);

}  // namespace sim
