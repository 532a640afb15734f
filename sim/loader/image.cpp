// Driver images: not yet mapped by the model.
#include "sim/loader/loader.h"

namespace sim::loader {

NTSTATUS MapImage(const std::string& path, Image** image, std::string* error) {
    *image = nullptr;
    *error = path + ": the model cannot load driver images yet";
    return STATUS_NOT_IMPLEMENTED;
}

void UnmapImage(Image*) {}
PDRIVER_INITIALIZE ImageEntryPoint(const Image*) { return nullptr; }
uintptr_t ImageBase(const Image*) { return 0; }
size_t ImageSize(const Image*) { return 0; }
bool ImageForceIntegrity(const Image*) { return false; }
const Image* FindImage(const void*) { return nullptr; }

}  // namespace sim::loader
