// Calls from the model into a driver: the control-flow-guard check and the
// stack marks for a loaded image. A linked driver passes through untouched.
#include "sim/loader/loader.h"

namespace sim::loader {

DriverCall::DriverCall(const void* target, const char* kind) {
    if (FindImage(target) == nullptr) {
        return;
    }
    (void)kind;
    active_ = true;
}

DriverCall::~DriverCall() = default;

std::map<std::string, size_t> StackHighWater() { return {}; }

void ResetStackHighWater() {}

}  // namespace sim::loader
