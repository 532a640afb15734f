// Drivers loaded from images: the link between a driver object and the image
// its code lives in.
#include "sim/loader/loader.h"

#include "sim/io/io.h"
#include "sim/ps/ps.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace sim {

namespace {

std::mutex gImagesLock;
std::map<PDRIVER_OBJECT, loader::Image*>& DriverImages() {
    static auto* images = new std::map<PDRIVER_OBJECT, loader::Image*>();
    return *images;
}

// The image being started: its driver object is not known until LoadDriver
// makes it, and a failed start frees the object before returning.
thread_local loader::Image* tStarting = nullptr;

}  // namespace

NTSTATUS LoadDriverImage(const std::string& path, std::u16string_view serviceName, PDRIVER_OBJECT* driver,
                         std::string* error) {
    *driver = nullptr;
    std::string reason;
    loader::Image* image = nullptr;
    NTSTATUS status = loader::MapImage(path, &image, &reason);
    if (!NT_SUCCESS(status)) {
        if (error != nullptr) {
            *error = reason;
        }
        return status;
    }
    SetImageForceIntegrity(serviceName, loader::ImageForceIntegrity(image));
    tStarting = image;
    status = LoadDriver(loader::ImageEntryPoint(image), serviceName, driver,
                        reinterpret_cast<PVOID>(loader::ImageBase(image)),
                        static_cast<ULONG>(loader::ImageSize(image)));
    tStarting = nullptr;
    if (!NT_SUCCESS(status)) {
        if (error != nullptr) {
            *error = path + ": DriverEntry failed";
        }
        return status;
    }
    std::lock_guard<std::mutex> guard(gImagesLock);
    DriverImages()[*driver] = image;
    return status;
}

namespace loader {

std::string LinkMapPath(const std::string& imagePath) {
    std::string map = imagePath;
    const size_t dot = map.rfind('.');
    const size_t slash = map.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) map.resize(dot);
    return map + ".map";
}

uintptr_t ImageSymbolAddress(const Image* image, const std::string& name) {
    std::ifstream in(LinkMapPath(ImagePath(image)));
    std::string line;
    // lld's map: "RVA SIZE ALIGN [OUT IN] SYMBOL"; a symbol's line has the RVA,
    // a size and alignment of 0, and the name last.
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string rva, size, align, symbol, extra;
        if (!(fields >> rva >> size >> align >> symbol) || (fields >> extra) || symbol != name) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(rva.c_str(), &end, 16);
        if (end == nullptr || *end != 0 || value == 0 || value >= ImageSize(image)) continue;
        return ImageBase(image) + value;
    }
    return 0;
}

void DriverObjectFreed(PDRIVER_OBJECT driver) {
    Image* image = nullptr;
    {
        std::lock_guard<std::mutex> guard(gImagesLock);
        auto it = DriverImages().find(driver);
        if (it != DriverImages().end()) {
            image = it->second;
            DriverImages().erase(it);
        }
    }
    if (image == nullptr && tStarting != nullptr && driver->DriverStart == reinterpret_cast<PVOID>(ImageBase(tStarting))) {
        // A start that failed: the object goes before LoadDriverImage learns it.
        image = tStarting;
        tStarting = nullptr;
    }
    if (image != nullptr) {
        UnmapImage(image);
    }
}

}  // namespace loader

}  // namespace sim
