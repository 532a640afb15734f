// Driver images: reading and checking a PE32+ file, mapping it the way the
// kernel's loader does (sections at their virtual addresses with their page
// protections, at a base other than the preferred one, every base relocation
// applied), binding its imports by name to the model's routines through
// per-import stubs, reading its load-configuration record (control-flow
// guard), and the registry of loaded images the rest of the loader asks.
#include "sim/loader/internal.h"

#include "sim/ke/core.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace sim::loader {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kMaxImageFile = 64u << 20;
constexpr size_t kMaxImageSize = 64u << 20;

// PE facts.
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kDllGuardCf = 0x4000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr unsigned kDirImport = 1;
constexpr unsigned kDirException = 3;
constexpr unsigned kDirBaseReloc = 5;
constexpr unsigned kDirLoadConfig = 10;
constexpr unsigned kDirIat = 12;
constexpr unsigned kRelAbsolute = 0;
constexpr unsigned kRelDir64 = 10;
constexpr uint32_t kGuardCfInstrumented = 0x100;
constexpr uint32_t kGuardCfFunctionTablePresent = 0x400;
constexpr uint64_t kDefaultSecurityCookie = 0x00002B992DDFA232ull;

// Load-configuration record (x64): offsets of the fields read.
constexpr size_t kLcSecurityCookie = 88;
constexpr size_t kLcGuardCheck = 112;
constexpr size_t kLcGuardDispatch = 120;
constexpr size_t kLcGuardTable = 128;
constexpr size_t kLcGuardCount = 136;
constexpr size_t kLcGuardFlags = 144;

template <typename T>
T Read(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Section {
    std::string name;
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// A load that fails: the status and the reason.
struct Refusal {
    NTSTATUS status;
    std::string reason;
};

// The checked headers of an image file.
struct Headers {
    size_t peOffset = 0;
    size_t checksumOffset = 0;
    uint16_t characteristics = 0;
    uint16_t dllCharacteristics = 0;
    uint64_t imageBase = 0;
    uint32_t entryRva = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    std::array<Directory, 16> directories{};
    std::vector<Section> sections;
};

// --- the registry of loaded images --------------------------------------------
constexpr size_t kMaxImages = 16;

struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<uintptr_t> stubsBegin{0};
    std::atomic<uintptr_t> stubsEnd{0};
    std::atomic<Image*> image{nullptr};
};

Slot gRegistry[kMaxImages];
std::atomic<int> gLoaded{0};
std::mutex gRegistryLock;

bool Register(Image* image) {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    for (Slot& slot : gRegistry) {
        if (slot.image.load() == nullptr) {
            slot.image.store(image);
            slot.stubsBegin.store(reinterpret_cast<uintptr_t>(image->stubs));
            slot.stubsEnd.store(reinterpret_cast<uintptr_t>(image->stubs) + image->slotCount * kStubBytes);
            slot.end.store(reinterpret_cast<uintptr_t>(image->base) + image->size);
            slot.begin.store(reinterpret_cast<uintptr_t>(image->base), std::memory_order_release);
            gLoaded.fetch_add(1);
            return true;
        }
    }
    return false;
}

void Unregister(const Image* image) {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    for (Slot& slot : gRegistry) {
        if (slot.image.load() == image) {
            slot.begin.store(0, std::memory_order_release);
            slot.end.store(0);
            slot.stubsBegin.store(0);
            slot.stubsEnd.store(0);
            slot.image.store(nullptr);
            gLoaded.fetch_sub(1);
        }
    }
}

// --- exports the tests add ------------------------------------------------------
std::mutex gFallbackLock;
std::vector<FallbackExport> gFallback;

const FallbackExport* FindFallback(const std::string& module, const std::string& name) {
    for (const FallbackExport& entry : gFallback) {
        if (Lower(entry.module) == Lower(module) && entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

bool IsFallbackRoutine(uintptr_t address) {
    std::lock_guard<std::mutex> guard(gFallbackLock);
    for (const FallbackExport& entry : gFallback) {
        if (!entry.data && reinterpret_cast<uintptr_t>(entry.address) == address) {
            return true;
        }
    }
    return false;
}

// --- reading and checking ----------------------------------------------------------

// The PE checksum: the file's 16-bit little-endian words summed with the carry
// folded back in (the checksum field itself counted as zero), plus the file's
// length.
uint32_t ComputeChecksum(const std::vector<uint8_t>& file, size_t checksumOffset) {
    uint64_t sum = 0;
    const size_t size = file.size();
    auto byteAt = [&](size_t i) -> uint32_t {
        return (i >= checksumOffset && i < checksumOffset + 4) ? 0u : file[i];
    };
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sum += byteAt(i) | (byteAt(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < size) {
        sum += byteAt(i);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

bool ParseHeaders(const std::vector<uint8_t>& file, Headers* h, Refusal* refusal) {
    auto bad = [&](const std::string& why) {
        *refusal = {STATUS_INVALID_IMAGE_FORMAT, why};
        return false;
    };
    const uint8_t* d = file.data();
    const size_t n = file.size();
    if (n < 0x40 || d[0] != 'M' || d[1] != 'Z') {
        return bad("not an executable image (no MZ header)");
    }
    const uint32_t pe = Read<uint32_t>(d + 0x3C);
    if (pe > n || n - pe < 24 || std::memcmp(d + pe, "PE\0\0", 4) != 0) {
        return bad("no PE signature");
    }
    h->peOffset = pe;
    const uint8_t* fh = d + pe + 4;
    const uint16_t machine = Read<uint16_t>(fh);
    if (machine != kMachineAmd64) {
        return bad("machine " + Hex(machine) + " is not AMD64 (0x8664)");
    }
    const uint16_t sectionCount = Read<uint16_t>(fh + 2);
    const uint16_t optionalSize = Read<uint16_t>(fh + 16);
    h->characteristics = Read<uint16_t>(fh + 18);
    const size_t oh = pe + 24;
    if (optionalSize < 112 || oh + optionalSize > n) {
        return bad("optional header truncated");
    }
    const uint8_t* o = d + oh;
    if (Read<uint16_t>(o) != kMagicPe32Plus) {
        return bad("optional header magic " + Hex(Read<uint16_t>(o)) + " is not PE32+ (0x20B)");
    }
    h->entryRva = Read<uint32_t>(o + 16);
    h->imageBase = Read<uint64_t>(o + 24);
    const uint32_t sectionAlignment = Read<uint32_t>(o + 32);
    h->sizeOfImage = Read<uint32_t>(o + 56);
    h->sizeOfHeaders = Read<uint32_t>(o + 60);
    h->checksumOffset = oh + 64;
    h->checksum = Read<uint32_t>(o + 64);
    const uint16_t subsystem = Read<uint16_t>(o + 68);
    h->dllCharacteristics = Read<uint16_t>(o + 70);
    const uint32_t directoryCount = Read<uint32_t>(o + 108);
    if (subsystem != kSubsystemNative) {
        return bad("subsystem " + std::to_string(subsystem) + " is not native (1)");
    }
    if (sectionAlignment == 0 || sectionAlignment % kPage != 0) {
        return bad("section alignment " + Hex(sectionAlignment) + " is not a multiple of the page size");
    }
    if (h->sizeOfImage == 0 || h->sizeOfImage > kMaxImageSize || h->sizeOfHeaders > h->sizeOfImage ||
        h->sizeOfHeaders > n) {
        return bad("image size " + Hex(h->sizeOfImage) + " or header size " + Hex(h->sizeOfHeaders) + " out of range");
    }
    if ((h->imageBase & (kPage - 1)) != 0) {
        return bad("preferred base " + Hex(h->imageBase) + " is not page-aligned");
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(directoryCount, 16); ++i) {
        if (112 + 8 * (i + 1) > optionalSize) {
            break;
        }
        h->directories[i] = {Read<uint32_t>(o + 112 + 8 * i), Read<uint32_t>(o + 116 + 8 * i)};
        const Directory& dir = h->directories[i];
        if (dir.size != 0 && (dir.rva > h->sizeOfImage || dir.size > h->sizeOfImage - dir.rva)) {
            return bad("data directory " + std::to_string(i) + " lies outside the image");
        }
    }
    const size_t sectionTable = oh + optionalSize;
    if (sectionTable + size_t{40} * sectionCount > n) {
        return bad("section table truncated");
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = d + sectionTable + 40 * i;
        Section section;
        section.name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        section.virtualSize = Read<uint32_t>(s + 8);
        section.virtualAddress = Read<uint32_t>(s + 12);
        section.rawSize = Read<uint32_t>(s + 16);
        section.rawOffset = Read<uint32_t>(s + 20);
        section.characteristics = Read<uint32_t>(s + 36);
        const uint32_t span = std::max(section.virtualSize, section.rawSize);
        if (section.virtualAddress % kPage != 0 || section.virtualAddress < h->sizeOfHeaders ||
            section.virtualAddress > h->sizeOfImage || span > h->sizeOfImage - section.virtualAddress) {
            return bad("section " + section.name + " lies outside the image or is not page-aligned");
        }
        if (section.rawSize != 0 && (section.rawOffset > n || section.rawSize > n - section.rawOffset)) {
            return bad("section " + section.name + " extends past the end of the file");
        }
        if ((section.characteristics & kScnWrite) != 0 && (section.characteristics & kScnExecute) != 0) {
            return bad("section " + section.name + " is both writable and executable");
        }
        h->sections.push_back(section);
    }
    for (size_t i = 0; i < h->sections.size(); ++i) {
        for (size_t j = i + 1; j < h->sections.size(); ++j) {
            const Section& a = h->sections[i];
            const Section& b = h->sections[j];
            const uint64_t aEnd = a.virtualAddress + uint64_t{std::max(a.virtualSize, a.rawSize)};
            const uint64_t bEnd = b.virtualAddress + uint64_t{std::max(b.virtualSize, b.rawSize)};
            if (a.virtualAddress < bEnd && b.virtualAddress < aEnd) {
                return bad("sections " + a.name + " and " + b.name + " overlap");
            }
        }
    }
    bool entryInCode = false;
    for (const Section& section : h->sections) {
        if ((section.characteristics & kScnExecute) != 0 && h->entryRva >= section.virtualAddress &&
            h->entryRva < section.virtualAddress + std::max(section.virtualSize, section.rawSize)) {
            entryInCode = true;
        }
    }
    if (!entryInCode) {
        return bad("entry point " + Hex(h->entryRva) + " is not in an executable section");
    }
    const uint32_t computed = ComputeChecksum(file, h->checksumOffset);
    if (computed != h->checksum) {
        *refusal = {STATUS_IMAGE_CHECKSUM_MISMATCH,
                    "checksum " + Hex(h->checksum) + " in the header, the file sums to " + Hex(computed)};
        return false;
    }
    return true;
}

// --- mapping ------------------------------------------------------------------------

struct Mapping {
    uint8_t* base = nullptr;
    size_t size = 0;
};

bool Contains(const Image& image, uint64_t rva, uint64_t length) {
    return rva <= image.size && length <= image.size - rva;
}

bool ApplyRelocations(Image& image, const Headers& h, Refusal* refusal) {
    const Directory& dir = h.directories[kDirBaseReloc];
    const int64_t delta = static_cast<int64_t>(reinterpret_cast<uintptr_t>(image.base) - h.imageBase);
    if (dir.size == 0) {
        *refusal = {STATUS_INVALID_IMAGE_FORMAT, "the image has no base relocations and cannot be moved from its "
                                                 "preferred base " + Hex(h.imageBase)};
        return false;
    }
    uint32_t offset = 0;
    while (offset + 8 <= dir.size) {
        const uint8_t* block = image.base + dir.rva + offset;
        const uint32_t pageRva = Read<uint32_t>(block);
        const uint32_t blockSize = Read<uint32_t>(block + 4);
        if (blockSize < 8 || blockSize > dir.size - offset || (blockSize & 1) != 0) {
            *refusal = {STATUS_INVALID_IMAGE_FORMAT, "base relocation block at " + Hex(dir.rva + offset) + " is malformed"};
            return false;
        }
        for (uint32_t i = 8; i + 2 <= blockSize; i += 2) {
            const uint16_t entry = Read<uint16_t>(block + i);
            const unsigned type = entry >> 12;
            const uint64_t target = uint64_t{pageRva} + (entry & 0xFFF);
            if (type == kRelAbsolute) {
                continue;
            }
            if (type != kRelDir64) {
                *refusal = {STATUS_INVALID_IMAGE_FORMAT,
                            "base relocation of type " + std::to_string(type) + " at " + Hex(target) +
                                " (an x64 driver has only 64-bit relocations)"};
                return false;
            }
            if (!Contains(image, target, 8)) {
                *refusal = {STATUS_INVALID_IMAGE_FORMAT, "base relocation at " + Hex(target) + " lies outside the image"};
                return false;
            }
            uint64_t value = Read<uint64_t>(image.base + target);
            value += static_cast<uint64_t>(delta);
            std::memcpy(image.base + target, &value, 8);
        }
        offset += blockSize;
    }
    return true;
}

// A NUL-terminated string at `rva` inside the image, or nullptr.
const char* StringAt(const Image& image, uint64_t rva) {
    if (rva >= image.size) {
        return nullptr;
    }
    const void* end = std::memchr(image.base + rva, 0, image.size - rva);
    return end == nullptr ? nullptr : reinterpret_cast<const char*>(image.base + rva);
}

struct Binding {
    uint64_t iatRva;
    void* address;
    bool data;
    std::string module;
    std::string name;
};

bool KnownModule(const std::string& module) {
    const std::string m = Lower(module);
    return m == "ntoskrnl.exe" || m == "fltmgr.sys" || m == "hal.dll";
}

bool BindImports(Image& image, const Headers& h, std::string* error, NTSTATUS* status) {
    const Directory& dir = h.directories[kDirImport];
    std::vector<Binding> bindings;
    std::vector<std::string> missing;
    std::vector<std::string> tooNew;  // exported only by a later Windows than the oldest supported
    std::string badModule;
    if (dir.size != 0) {
        for (uint64_t at = dir.rva;; at += 20) {
            if (!Contains(image, at, 20)) {
                *status = STATUS_INVALID_IMAGE_FORMAT;
                *error = "import directory runs past the image";
                return false;
            }
            const uint8_t* desc = image.base + at;
            const uint32_t lookupRva = Read<uint32_t>(desc);
            const uint32_t nameRva = Read<uint32_t>(desc + 12);
            const uint32_t iatRva = Read<uint32_t>(desc + 16);
            if (lookupRva == 0 && nameRva == 0 && iatRva == 0) {
                break;
            }
            const char* module = StringAt(image, nameRva);
            if (module == nullptr || iatRva == 0) {
                *status = STATUS_INVALID_IMAGE_FORMAT;
                *error = "import descriptor at " + Hex(at) + " is malformed";
                return false;
            }
            if (!KnownModule(module)) {
                badModule = module;
                break;
            }
            const uint32_t namesRva = lookupRva != 0 ? lookupRva : iatRva;
            for (uint64_t i = 0;; ++i) {
                if (!Contains(image, namesRva + 8 * i, 8) || !Contains(image, iatRva + 8 * i, 8)) {
                    *status = STATUS_INVALID_IMAGE_FORMAT;
                    *error = std::string("import table of ") + module + " runs past the image";
                    return false;
                }
                const uint64_t entry = Read<uint64_t>(image.base + namesRva + 8 * i);
                if (entry == 0) {
                    break;
                }
                if ((entry >> 63) != 0) {
                    missing.push_back(std::string(module) + "!#" + std::to_string(entry & 0xFFFF) + " (by ordinal)");
                    continue;
                }
                const char* name = StringAt(image, (entry & 0x7FFFFFFF) + 2);
                if (name == nullptr) {
                    *status = STATUS_INVALID_IMAGE_FORMAT;
                    *error = std::string("import name of ") + module + " lies outside the image";
                    return false;
                }
                Binding binding{iatRva + 8 * i, nullptr, false, module, name};
                WindowsVersion since = WindowsVersion::Win2000;
                binding.address = LookupExport(module, name, &since);
                if (binding.address != nullptr) {
                    binding.data = !IsExportedRoutine(binding.address);
                } else {
                    std::lock_guard<std::mutex> guard(gFallbackLock);
                    if (const FallbackExport* fallback = FindFallback(module, name)) {
                        binding.address = fallback->address;
                        binding.data = fallback->data;
                        since = fallback->since;
                    }
                }
                if (binding.address == nullptr) {
                    missing.push_back(std::string(module) + "!" + name);
                    continue;
                }
                if (since > kOldestSupportedWindows) {
                    // On the oldest supported Windows the import is missing
                    // and the load fails there: refuse it here too.
                    tooNew.push_back(std::string(module) + "!" + name + " (from " + WindowsVersionName(since) + ")");
                    continue;
                }
                bindings.push_back(std::move(binding));
            }
        }
    }
    if (!badModule.empty()) {
        *status = STATUS_DLL_NOT_FOUND;
        *error = "imports from " + badModule + ", a module the model does not have (ntoskrnl.exe, FLTMGR.SYS, HAL.dll)";
        return false;
    }
    if (missing.empty() && !tooNew.empty()) {
        *status = STATUS_PROCEDURE_NOT_FOUND;
        std::string list;
        for (const std::string& name : tooNew) {
            list += (list.empty() ? "" : ", ") + name;
        }
        *error = "imports " + std::to_string(tooNew.size()) + " routine(s) that " +
                 WindowsVersionName(kOldestSupportedWindows) +
                 ", the oldest Windows the driver supports, does not export: " + list;
        return false;
    }
    if (!missing.empty()) {
        *status = STATUS_PROCEDURE_NOT_FOUND;
        std::string list;
        for (const std::string& name : missing) {
            list += (list.empty() ? "" : ", ") + name;
        }
        *error = "imports " + std::to_string(missing.size()) + " routine(s) the model does not export: " + list;
        return false;
    }
    // One stub per routine: movabs $slot, %r11; jmp *[rip]; .quad entry.
    size_t routines = 0;
    for (const Binding& binding : bindings) {
        routines += binding.data ? 0 : 1;
    }
    image.slots = std::make_unique<ImportSlot[]>(std::max<size_t>(routines, 1));
    image.slotCount = routines;
    if (routines != 0) {
        image.stubBytes = (routines * kStubBytes + kPage - 1) & ~(kPage - 1);
        void* stubs = mmap(nullptr, image.stubBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (stubs == MAP_FAILED) {
            *status = STATUS_INSUFFICIENT_RESOURCES;
            *error = "no memory for the import stubs";
            image.stubBytes = 0;
            return false;
        }
        image.stubs = static_cast<uint8_t*>(stubs);
        std::memset(image.stubs, 0xCC, image.stubBytes);
    }
    size_t next = 0;
    for (const Binding& binding : bindings) {
        uint64_t value = reinterpret_cast<uint64_t>(binding.address);
        if (!binding.data) {
            ImportSlot& slot = image.slots[next];
            slot.target = binding.address;
            slot.image = &image;
            slot.module = binding.module;
            slot.name = binding.name;
            uint8_t* stub = image.stubs + next * kStubBytes;
            const uint64_t slotAddress = reinterpret_cast<uint64_t>(&slot);
            const uint64_t entry = reinterpret_cast<uint64_t>(&sim_loader_import_entry);
            stub[0] = 0x49;  // movabs $slot, %r11
            stub[1] = 0xBB;
            std::memcpy(stub + 2, &slotAddress, 8);
            stub[10] = 0xFF;  // jmp *0(%rip)
            stub[11] = 0x25;
            std::memset(stub + 12, 0, 4);
            std::memcpy(stub + 16, &entry, 8);
            value = reinterpret_cast<uint64_t>(stub);
            ++next;
        }
        std::memcpy(image.base + binding.iatRva, &value, 8);
    }
    if (image.stubs != nullptr && mprotect(image.stubs, image.stubBytes, PROT_READ | PROT_EXEC) != 0) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        *error = "cannot protect the import stubs";
        return false;
    }
    return true;
}

// A pointer field of the load-configuration record: an address (already
// relocated) that must lie in the image, as an RVA.
bool ImageField(const Image& image, uint64_t address, uint64_t length, uint64_t* rva) {
    const uint64_t base = reinterpret_cast<uint64_t>(image.base);
    if (address < base || !Contains(image, address - base, length)) {
        return false;
    }
    *rva = address - base;
    return true;
}

bool ReadLoadConfig(Image& image, const Headers& h, Refusal* refusal) {
    image.forceIntegrity = (h.dllCharacteristics & 0x80) != 0;
    const Directory& dir = h.directories[kDirLoadConfig];
    const bool guardCf = (h.dllCharacteristics & kDllGuardCf) != 0;
    auto bad = [&](const std::string& why) {
        *refusal = {STATUS_INVALID_IMAGE_FORMAT, why};
        return false;
    };
    if (dir.size == 0) {
        if (guardCf) {
            return bad("the image is marked for control-flow guard but has no load-configuration record");
        }
        return true;
    }
    if (!Contains(image, dir.rva, 4)) {
        return bad("load-configuration record lies outside the image");
    }
    const uint8_t* record = image.base + dir.rva;
    const uint32_t size = Read<uint32_t>(record);
    if (!Contains(image, dir.rva, size)) {
        return bad("load-configuration record lies outside the image");
    }
    if (size >= kLcSecurityCookie + 8) {
        const uint64_t cookieAddress = Read<uint64_t>(record + kLcSecurityCookie);
        uint64_t rva = 0;
        if (cookieAddress != 0 && ImageField(image, cookieAddress, 8, &rva) &&
            Read<uint64_t>(image.base + rva) == kDefaultSecurityCookie) {
            // The stack cookie of the image's frames: a fresh value per load.
            uint64_t cookie = (reinterpret_cast<uint64_t>(image.base) ^ static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull) &
                              0x0000FFFFFFFFFFFFull;
            if (cookie == 0 || cookie == kDefaultSecurityCookie) {
                cookie = 0x00002B992DDFA233ull;
            }
            std::memcpy(image.base + rva, &cookie, 8);
        }
    }
    if (!guardCf) {
        return true;
    }
    if (size < kLcGuardFlags + 4) {
        return bad("the load-configuration record (" + std::to_string(size) +
                   " bytes) ends before the control-flow guard fields");
    }
    const uint32_t flags = Read<uint32_t>(record + kLcGuardFlags);
    if ((flags & kGuardCfInstrumented) == 0) {
        return true;
    }
    image.guardInstrumented = true;
    uint64_t checkRva = 0;
    uint64_t dispatchRva = 0;
    if (!ImageField(image, Read<uint64_t>(record + kLcGuardCheck), 8, &checkRva) ||
        !ImageField(image, Read<uint64_t>(record + kLcGuardDispatch), 8, &dispatchRva)) {
        return bad("the control-flow guard pointers lie outside the image");
    }
    const uint64_t check = reinterpret_cast<uint64_t>(&sim_loader_guard_check);
    const uint64_t dispatch = reinterpret_cast<uint64_t>(&sim_loader_guard_dispatch);
    std::memcpy(image.base + checkRva, &check, 8);
    std::memcpy(image.base + dispatchRva, &dispatch, 8);
    if ((flags & kGuardCfFunctionTablePresent) != 0) {
        const uint64_t count = Read<uint64_t>(record + kLcGuardCount);
        // Each entry is an RVA followed by as many bytes of metadata as bits
        // 28-31 of the flags say.
        const uint64_t stride = 4 + ((flags >> 28) & 0xF);
        uint64_t tableRva = 0;
        if (count > image.size || !ImageField(image, Read<uint64_t>(record + kLcGuardTable), count * stride, &tableRva)) {
            return bad("the control-flow guard table lies outside the image");
        }
        image.guardTargets.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            image.guardTargets.push_back(Read<uint32_t>(image.base + tableRva + i * stride));
        }
        std::sort(image.guardTargets.begin(), image.guardTargets.end());
    }
    return true;
}

int ProtectionOf(uint32_t characteristics) {
    int prot = PROT_NONE;
    if ((characteristics & (kScnRead | kScnExecute)) != 0) {
        prot |= PROT_READ;
    }
    if ((characteristics & kScnWrite) != 0) {
        prot |= PROT_READ | PROT_WRITE;
    }
    if ((characteristics & kScnExecute) != 0) {
        prot |= PROT_EXEC;
    }
    return prot;
}

bool Protect(Image& image, const Headers& h, Refusal* refusal) {
    auto protect = [&](uint64_t rva, uint64_t length, int prot) {
        const uint64_t begin = rva & ~uint64_t{kPage - 1};
        const uint64_t end = std::min<uint64_t>((rva + length + kPage - 1) & ~uint64_t{kPage - 1}, image.size);
        return end <= begin || mprotect(image.base + begin, end - begin, prot) == 0;
    };
    bool ok = protect(0, image.size, PROT_NONE) && protect(0, h.sizeOfHeaders, PROT_READ);
    for (const Section& section : h.sections) {
        ok = ok && protect(section.virtualAddress, std::max(section.virtualSize, section.rawSize),
                           ProtectionOf(section.characteristics));
    }
    // The import address table is read-only once bound, as in the kernel: the
    // pages wholly inside it, where it shares none with writable data.
    const Directory& iat = h.directories[kDirIat];
    if (iat.size != 0) {
        const uint64_t first = (iat.rva + kPage - 1) & ~uint64_t{kPage - 1};
        const uint64_t last = (uint64_t{iat.rva} + iat.size) & ~uint64_t{kPage - 1};
        if (last > first) {
            ok = ok && protect(first, last - first, PROT_READ);
        }
    }
    if (!ok) {
        *refusal = {STATUS_INSUFFICIENT_RESOURCES, "cannot set the sections' page protections"};
    }
    return ok;
}

void Release(Image* image) {
    if (image->base != nullptr) {
        munmap(image->base, image->size);
    }
    if (image->stubs != nullptr) {
        munmap(image->stubs, image->stubBytes);
    }
    delete image;
}

}  // namespace

// --- the interface -----------------------------------------------------------------

void SetFallbackExports(const std::vector<FallbackExport>& exports) {
    std::lock_guard<std::mutex> guard(gFallbackLock);
    gFallback = exports;
}

NTSTATUS MapImage(const std::string& path, Image** result, std::string* error) {
    *result = nullptr;
    const std::string name = FileName(path);
    auto fail = [&](NTSTATUS status, const std::string& why) {
        if (error != nullptr) {
            *error = name + ": " + why;
        }
        return status;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return fail(STATUS_OBJECT_NAME_NOT_FOUND, "cannot open " + path);
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() > kMaxImageFile) {
        return fail(STATUS_INVALID_IMAGE_FORMAT, "file larger than " + std::to_string(kMaxImageFile) + " bytes");
    }
    Headers h;
    Refusal refusal{STATUS_SUCCESS, {}};
    if (!ParseHeaders(file, &h, &refusal)) {
        return fail(refusal.status, refusal.reason);
    }
    if ((h.characteristics & kFileRelocsStripped) != 0) {
        return fail(STATUS_INVALID_IMAGE_FORMAT, "relocations stripped: a driver must be movable");
    }
    auto* image = new Image;
    image->path = path;
    image->name = name;
    image->size = (h.sizeOfImage + kPage - 1) & ~(kPage - 1);
    image->preferredBase = h.imageBase;
    image->entryRva = h.entryRva;
    // The kernel never puts a driver at its preferred base; neither do we, so
    // that every relocation is exercised.
    void* base = mmap(nullptr, image->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED && reinterpret_cast<uintptr_t>(base) == h.imageBase) {
        void* other = mmap(nullptr, image->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(base, image->size);
        base = other;
    }
    if (base == MAP_FAILED) {
        const size_t size = image->size;
        delete image;
        return fail(STATUS_INSUFFICIENT_RESOURCES, "cannot reserve " + std::to_string(size) + " bytes");
    }
    image->base = static_cast<uint8_t*>(base);
    std::memcpy(image->base, file.data(), h.sizeOfHeaders);
    for (const Section& section : h.sections) {
        const uint32_t length = section.virtualSize == 0 ? section.rawSize : std::min(section.rawSize, section.virtualSize);
        if (length != 0) {
            std::memcpy(image->base + section.virtualAddress, file.data() + section.rawOffset, length);
        }
    }
    std::string why;
    NTSTATUS status = STATUS_SUCCESS;
    if (!ApplyRelocations(*image, h, &refusal) || !ReadLoadConfig(*image, h, &refusal)) {
        Release(image);
        return fail(refusal.status, refusal.reason);
    }
    if (!BindImports(*image, h, &why, &status)) {
        Release(image);
        return fail(status, why);
    }
    const Directory& pdata = h.directories[kDirException];
    if (pdata.size != 0) {
        image->functions = reinterpret_cast<const RuntimeFunction*>(image->base + pdata.rva);
        image->functionCount = pdata.size / sizeof(RuntimeFunction);
        for (size_t i = 0; i < image->functionCount; ++i) {
            const RuntimeFunction& f = image->functions[i];
            if (f.BeginAddress >= f.EndAddress || f.EndAddress > image->size || f.UnwindData >= image->size ||
                (i > 0 && f.BeginAddress < image->functions[i - 1].EndAddress)) {
                Release(image);
                return fail(STATUS_INVALID_IMAGE_FORMAT, "exception directory entry " + std::to_string(i) +
                                                             " is out of order or outside the image");
            }
        }
    }
    if (!Protect(*image, h, &refusal)) {
        Release(image);
        return fail(refusal.status, refusal.reason);
    }
    InstallTrapHandlers();
    if (!Register(image)) {
        Release(image);
        return fail(STATUS_INSUFFICIENT_RESOURCES, "too many images loaded");
    }
    *result = image;
    return STATUS_SUCCESS;
}

void UnmapImage(Image* image) {
    if (image == nullptr) {
        return;
    }
    Unregister(image);
    Release(image);
}

PDRIVER_INITIALIZE ImageEntryPoint(const Image* image) {
    return reinterpret_cast<PDRIVER_INITIALIZE>(image->base + image->entryRva);
}

uintptr_t ImageBase(const Image* image) { return reinterpret_cast<uintptr_t>(image->base); }
size_t ImageSize(const Image* image) { return image->size; }
bool ImageForceIntegrity(const Image* image) { return image->forceIntegrity; }
const std::string& ImageName(const Image* image) { return image->name; }
const std::string& ImagePath(const Image* image) { return image->path; }

const Image* FindImage(const void* address) { return FindImageAt(reinterpret_cast<uintptr_t>(address)); }

const Image* FindImageAt(uintptr_t address) {
    if (gLoaded.load(std::memory_order_relaxed) == 0) {
        return nullptr;
    }
    for (Slot& slot : gRegistry) {
        const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin != 0 && address >= begin && address < slot.end.load(std::memory_order_relaxed)) {
            return slot.image.load(std::memory_order_relaxed);
        }
    }
    return nullptr;
}

bool AddressInImage(uintptr_t address) { return FindImageAt(address) != nullptr; }

bool AnyImageLoaded() { return gLoaded.load(std::memory_order_relaxed) != 0; }

size_t LoadedImageCount() { return static_cast<size_t>(gLoaded.load(std::memory_order_relaxed)); }

const RuntimeFunction* LookupFunction(const Image& image, uintptr_t address) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(image.base);
    if (address < base || address - base >= image.size || image.functionCount == 0) {
        return nullptr;
    }
    const uint32_t rva = static_cast<uint32_t>(address - base);
    const RuntimeFunction* first = image.functions;
    const RuntimeFunction* last = image.functions + image.functionCount;
    const RuntimeFunction* it =
        std::upper_bound(first, last, rva, [](uint32_t value, const RuntimeFunction& f) { return value < f.BeginAddress; });
    if (it == first) {
        return nullptr;
    }
    --it;
    return rva < it->EndAddress ? it : nullptr;
}

bool IsValidCallTarget(uintptr_t target) {
    if (gLoaded.load(std::memory_order_relaxed) != 0) {
        for (Slot& slot : gRegistry) {
            const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
            if (begin != 0 && target >= begin && target < slot.end.load(std::memory_order_relaxed)) {
                const Image* image = slot.image.load(std::memory_order_relaxed);
                if (!image->guardInstrumented) {
                    return true;
                }
                return std::binary_search(image->guardTargets.begin(), image->guardTargets.end(),
                                          static_cast<uint32_t>(target - begin));
            }
            const uintptr_t stubs = slot.stubsBegin.load(std::memory_order_relaxed);
            if (stubs != 0 && target >= stubs && target < slot.stubsEnd.load(std::memory_order_relaxed)) {
                return (target - stubs) % kStubBytes == 0;
            }
        }
    }
    return IsExportedRoutine(reinterpret_cast<const void*>(target)) || IsFallbackRoutine(target);
}

std::string DescribeAddress(uintptr_t address) {
    if (const Image* image = FindImageAt(address)) {
        return image->name + "+" + Hex(address - reinterpret_cast<uintptr_t>(image->base));
    }
    return Hex(address);
}

}  // namespace sim::loader
