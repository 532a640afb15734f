// The one place where Vetrona's events become the fields detection rules are
// written against (README.md, "Detection rules: fields"). The live client and
// the regression replay both go through the From* functions below; the replay
// first turns a logged record back into the activity Vetrona would report
// (the *ToNative functions invert the presentation).
#pragma once

#include "client/lib/decode.h"
#include "client/lib/paths.h"
#include "client/lib/sigma/sigma.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetrona::client::sigma {

// True when an event of the category can carry the field (case-insensitive).
// A rule testing another field is refused: it could never match as written.
bool FieldKnown(std::string_view category, std::string_view field);

// What the image file tells: its version resource and its hashes.
struct ImageFacts {
    std::map<std::string, std::string> version;  // OriginalFileName, Description, Product, Company, FileVersion
    std::string hashes;                          // "SHA1=...,MD5=...,SHA256=...,IMPHASH=..."
};

struct ProcessStart {
    uint32_t processId = 0, parentProcessId = 0;
    std::string image, commandLine;              // drive-letter form
    bool parentSeen = false;                     // the client saw the parent start
    std::string parentImage, parentCommandLine;
    std::string user, integrityLevel, currentDirectory;  // empty: unknown, left out
    std::optional<ImageFacts> facts;
};

struct FileActivity {
    enum Kind { Created, Delete, Rename } kind = Created;
    std::string path, destination;  // drive-letter form; destination for renames
    std::string image, user;        // the acting process (empty: unknown)
    uint32_t processId = 0;
};

struct RegistryActivity {
    int32_t operation = 0;        // RegOp*
    std::string key;              // as the kernel names it: \REGISTRY\MACHINE\...
    std::string valueName;        // value operations; empty: the default value
    uint32_t dataType = 0;        // REG_*
    std::string data;             // the value's bytes as written
    bool dataTruncated = false;
    std::string newName;          // key renames
    std::string image, user;
    uint32_t processId = 0;
};

Event FromProcess(const ProcessStart& start);
Event FromFile(const FileActivity& activity);
Event FromRegistry(const RegistryActivity& activity);

// HKLM\...\CurrentControlSet\...\Value for the kernel's key and a value name
// ("(Default)" for the unnamed value; none for key operations).
std::string TargetObject(std::string_view nativeKey, const std::optional<std::string>& valueName);
// A value's data as the rules read it: "DWORD (0x00000001)", "QWORD (0x...-0x...)",
// "(Empty)", "Binary Data", or the text of a string.
std::string Details(uint32_t dataType, std::string_view data, bool truncated);

// Inversions for the replay.
// HKLM\X -> \REGISTRY\MACHINE\X, HKU\X -> \REGISTRY\USER\X, CurrentControlSet -> ControlSet001.
std::string NativeKey(std::string_view targetKey);
// "DWORD (0x00000001)" -> REG_DWORD and its bytes; plain text -> REG_SZ.
void DetailsToData(std::string_view details, uint32_t* dataType, std::string* data);

// The live client's mapping: keeps the starts it saw (for parents and for the
// acting process of file and registry events) and reads the images' facts
// through `readImage` when given.
class EventMapper {
public:
    using ImageReader = std::function<bool(const std::string& path, std::string* bytes)>;
    explicit EventMapper(ImageReader readImage = nullptr) : readImage_(std::move(readImage)) {}
    void SetVolumes(VolumeNames volumes) { volumes_ = std::move(volumes); }
    // Where the images' bytes come from ("C:\dir\tool.exe" in, false when
    // the file cannot be read).
    void SetImageReader(ImageReader readImage) { readImage_ = std::move(readImage); }

    // The rules' view of a decoded event; none for events no category covers
    // (process exits, opens, executes).
    std::optional<Event> Map(const EventView& event);

private:
    ImageReader readImage_;
    VolumeNames volumes_;
    std::map<uint32_t, ProcessStart> starts_;
    std::map<std::string, ImageFacts> factsByImage_;
};

}  // namespace vetrona::client::sigma
