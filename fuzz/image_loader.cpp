// Fuzzes the loader of driver images with any file: it is mapped or refused
// with an error status and a reason naming the file, never a crash, a read
// outside the file or the mapping, or a mapping left behind.
#include "sim/loader/loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void Expect(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The input as a file the loader opens by name, without touching the disk.
int InputFile() {
    static const int fd = [] {
        const int created = memfd_create("image.sys", 0);
        Expect(created >= 0);
        return created;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = InputFile();
    Expect(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const size_t loaded = sim::loader::LoadedImageCount();

    sim::loader::Image* image = nullptr;
    std::string error;
    const NTSTATUS status = sim::loader::MapImage(path, &image, &error);
    if (NT_SUCCESS(status)) {
        Expect(status == STATUS_SUCCESS && image != nullptr);
        Expect(sim::loader::ImageSize(image) != 0);
        sim::loader::UnmapImage(image);
    } else {
        Expect(NT_ERROR(status) && image == nullptr);
        Expect(error.rfind(std::to_string(fd) + ": ", 0) == 0 && error.size() > std::to_string(fd).size() + 2);
    }
    Expect(sim::loader::LoadedImageCount() == loaded);
    return 0;
}
