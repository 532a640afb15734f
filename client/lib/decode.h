// Decoding of event messages into checked views. Nothing in a message is
// trusted: every length and offset is checked against the bytes at hand before
// anything is read, and a message that does not add up is an error.
#pragma once

#include "channel/wire.h"

#include <cstdint>
#include <span>
#include <vector>
#include <string>
#include <string_view>
#include <variant>

namespace vetrona::client {

// A text carried by a message: the bytes as sent (UTF-16 for names, raw bytes
// for registry data) and whether the driver clipped it.
struct TextView {
    std::span<const uint8_t> bytes;
    bool truncated = false;

    bool empty() const { return bytes.empty(); }
    // UTF-16 code units; a trailing half unit (a text clipped at an odd length)
    // is dropped.
    std::u16string Utf16() const;
    // UTF-8 for display; unpaired surrogates become U+FFFD.
    std::string Utf8() const;
};

// A component of a file name, located inside the name's text. Components that
// a clipped name no longer contains, or that point outside it, come out empty
// with `present` false.
struct ComponentView {
    uint32_t offset = 0;
    uint32_t length = 0;
    bool present = false;
    TextView text;
};

struct FileEventView {
    uint32_t size = 0;
    ComponentView volume, finalComponent, extension, parentDir;
    uint32_t fileObjectFlags = 0;
    uint64_t fileObject = 0;
    uint32_t processId = 0;
    uint8_t majorFunction = 0;
    int32_t operation = FileOpNone;
    uint64_t fileId = 0;
    FileEventParams params{};  // as sent; read by majorFunction
    TextView name;
    TextView destName;  // renames only
};

struct RegistryEventView {
    uint32_t size = 0;
    uint32_t processId = 0;
    int32_t operation = 0;
    uint32_t dataType = 0;
    TextView keyPath, name, data;
};

struct ProcessEventView {
    uint32_t size = 0;
    uint32_t processId = 0;
    uint32_t parentProcessId = 0;
    bool isCreate = false;
    TextView imageName, commandLine;
};

using EventView = std::variant<FileEventView, RegistryEventView, ProcessEventView>;

enum class DecodeError {
    None,
    TooShort,        // fewer bytes than a header, or than the class's fixed part
    BadSize,         // Size above the bytes at hand or above 0xFFFF
    UnknownClass,    // class other than 0, 1, 3
    TextOutOfRange,  // a text's offset and length leave the message
};
const char* DecodeErrorName(DecodeError error);

struct DecodeResult {
    DecodeError error = DecodeError::None;
    EventView event;
    bool ok() const { return error == DecodeError::None; }
};

// Decodes the message at the start of `bytes`. Bytes beyond the header's Size
// are ignored (a receive buffer is usually larger than the message).
DecodeResult DecodeEvent(std::span<const uint8_t> bytes);
// The views point into the bytes: decoding a temporary would leave them dangling.
DecodeResult DecodeEvent(std::vector<uint8_t>&& bytes) = delete;

// Names of operation codes for display ("FileOpWrite", "RegOpValueCreated"...).
const char* FileOpName(int32_t operation);
const char* RegOpName(int32_t operation);

}  // namespace vetrona::client
