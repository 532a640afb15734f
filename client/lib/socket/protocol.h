// The Unix-socket road to a driver that vetrona-sim serves: each call of the
// client library's transport becomes one request frame and one response
// frame. All integers are little-endian; every length is checked by the side
// that reads it before anything is read behind it.
//
//   frame    = magic u32 'VTRS' | kind u32 | length u32 (bytes that follow) | payload
//   requests   (kind)             payload
//     OpenPort      1   name: UTF-16 bytes (at most kMaxName)
//     OpenDevice    2   path: UTF-16 bytes (at most kMaxName)
//     Close         3   (none)
//     PortCommand   4   outLength u32 | input bytes
//     GetMessage    5   bufferSize u32 | timeoutMs i32 (-1: for ever)
//     Reply         6   reply bytes (FILTER_REPLY_HEADER and data)
//     DeviceControl 7   code u32 | outLength u32 | input bytes
//     QueryVolumes  8   (none)
//     Folder        9   create u32 (0 or 1) | path: UTF-16 bytes (at most
//                       kMaxName); the client program's own look at a folder
//                       on the served machine, made when asked (returned:
//                       0 existed, 1 created, 2 missing, 3 not a folder)
//     Hello        10   version u32: the newest protocol the client speaks.
//                       returned: the server's protocol version
//                       (kProtocolVersion); data: none on a side connection,
//                       on a client's connection (version 3) a token u64
//                       for Attach
//     ReadFile     11   offset u64 | maxBytes u32 (1 to kMaxFileChunk) |
//                       path: UTF-16 bytes (at most kMaxName), "C:\dir\f.exe"
//                       or an NT path; the client program reading part of a
//                       file of the served machine, opened for reading with
//                       every share mode (returned: bytes read, 0 at or past
//                       the end; data: those bytes)
//     Attach       12   token u64: the connection becomes a receive lane of
//                       the client whose Hello gave the token: GetMessage
//                       and Reply on that client's port connection, as one
//                       more thread of its process (returned: 0; an unknown
//                       token gets kHrInvalidHandle and the end)
//     FileAccess   16   op u32 (0 info, 1 read, 2 write, 3 replace: write
//                       into a file made anew) | offset u64 | length u32 |
//                       pathBytes u32 | path UTF-16 (at most kMaxName) |
//                       data (write and replace: `length` bytes); length at
//                       most kFileChunk. The client program's own reads and
//                       writes of the served machine's files (the journal,
//                       restore). Answer data: info `returned` 0 missing,
//                       1 file, 2 folder, and the size u64; read the bytes
//                       (`returned` of them); write none (`returned` written).
//   response: kind | 0x80, payload = hresult i32 | returned u32 | data
//     data: PortCommand/DeviceControl the caller's output buffer (outLength
//     bytes); GetMessage the message header and the message (at most
//     bufferSize bytes); QueryVolumes `returned` volume records (below);
//     otherwise none.
//   volume record = deviceBytes u32 | device UTF-16 | pathCount u32 |
//                   pathCount x (pathBytes u32 | path UTF-16)
//     the device ("\Device\HarddiskVolume1") and the DOS paths it is mounted
//     at ("C:\"); each text at most kMaxName bytes, at most kMaxVolumes
//     records of at most kMaxVolumePaths paths.
//   QueryVolumes, Folder and FileAccess came later than the others: a server that
//   predates them ends the connection with kError. A client therefore asks
//   on a connection of its own, which it closes after the answer.
//   Versions: 1 is everything above Hello (a server of version 1 knows no
//   Hello and ends the connection with kError, which a client takes for
//   version 1); 2 adds Hello and ReadFile. A connection whose first request
//   is Hello is a side connection: it runs as a client process of its own
//   for Hello, ReadFile, Folder and QueryVolumes only (any other request ends
//   it with kError), and is not counted as a client. A client reads a file
//   on a side connection: Hello, then ReadFile requests, then it closes.
//   3 adds Attach: a client that wants several receives outstanding at once
//   asks its own connection's Hello for its token and opens one more
//   connection per lane with Attach as its first request; such a connection
//   takes GetMessage and Reply only, and ends when the client's connection
//   does. A client that meets a server below 3 receives on one connection.
//   A request the server cannot read gets kind kError with kHrInvalidData,
//   and the connection is closed.
#pragma once

#include "client/lib/paths.h"
#include "client/lib/text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace vetrona::client::socket {

constexpr uint32_t kMagic = 0x53525456;  // "VTRS"
constexpr uint32_t kHeaderSize = 12;
constexpr uint32_t kMaxPayload = 0x20000;  // 128 KiB: a message buffer or a device-control buffer with room
constexpr uint32_t kMaxName = 1024;
constexpr uint32_t kMaxBuffer = 0x11000;   // largest output, receive or reply buffer: 16 + 0xFFFF and change
constexpr uint32_t kResponseFlag = 0x80;
constexpr uint32_t kError = 0xFF;
constexpr uint32_t kMaxVolumes = 64;
constexpr uint32_t kMaxVolumePaths = 32;
constexpr uint32_t kProtocolVersion = 3;
constexpr uint32_t kMaxFileChunk = 0x10000;  // 64 KiB of a file per ReadFile

enum Kind : uint32_t {
    kOpenPort = 1,
    kOpenDevice = 2,
    kClose = 3,
    kPortCommand = 4,
    kGetMessage = 5,
    kReply = 6,
    kDeviceControl = 7,
    kQueryVolumes = 8,
    kFolder = 9,
    kHello = 10,
    kReadFile = 11,
    kAttach = 12,
    kFileAccess = 16,
};

enum FileOp : uint32_t { kFileInfo = 0, kFileRead = 1, kFileWrite = 2, kFileReplace = 3 };
constexpr uint32_t kFileChunkBytes = 0x10000;  // the transport's kFileChunk

inline void Put32(std::vector<uint8_t>* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void Put64(std::vector<uint8_t>* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t Get64(const uint8_t* p) {
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

inline std::vector<uint8_t> Frame(uint32_t kind, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    Put32(&out, kMagic);
    Put32(&out, kind);
    Put32(&out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline void PutText(std::vector<uint8_t>* out, const std::u16string& text) {
    Put32(out, static_cast<uint32_t>(text.size() * 2));
    for (char16_t c : text) {
        out->push_back(static_cast<uint8_t>(c));
        out->push_back(static_cast<uint8_t>(c >> 8));
    }
}

// Reads a counted UTF-16 text at *offset within `data`; false when its
// length is odd, above kMaxName or runs past the end.
inline bool GetText(const std::vector<uint8_t>& data, size_t* offset, std::u16string* text) {
    if (data.size() - *offset < 4) return false;
    const uint32_t bytes = Get32(data.data() + *offset);
    *offset += 4;
    if (bytes % 2 != 0 || bytes > kMaxName || data.size() - *offset < bytes) return false;
    text->clear();
    for (uint32_t i = 0; i < bytes; i += 2) {
        text->push_back(static_cast<char16_t>(data[*offset + i] | (data[*offset + i + 1] << 8)));
    }
    *offset += bytes;
    return true;
}

// The volume records of a QueryVolumes answer (`count` of them filling
// `data` exactly). False, with *names untouched, when anything does not add
// up; a volume whose device is not valid UTF-16 is left out (its files keep
// their device paths), and so is a path that is not.
inline bool ParseVolumeRecords(const std::vector<uint8_t>& data, uint32_t count, VolumeNames* names) {
    if (count > kMaxVolumes) return false;
    VolumeNames parsed;
    size_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        std::u16string device;
        if (!GetText(data, &offset, &device) || data.size() - offset < 4) return false;
        const uint32_t paths = Get32(data.data() + offset);
        offset += 4;
        if (paths > kMaxVolumePaths) return false;
        VolumeName volume;
        const bool named = Utf16ToUtf8(device, &volume.device) && !volume.device.empty();
        for (uint32_t k = 0; k < paths; ++k) {
            std::u16string path;
            if (!GetText(data, &offset, &path)) return false;
            std::string utf8;
            if (Utf16ToUtf8(path, &utf8) && !utf8.empty()) volume.paths.push_back(utf8);
        }
        if (named) parsed.push_back(std::move(volume));
    }
    if (offset != data.size()) return false;
    *names = std::move(parsed);
    return true;
}

// Whole writes and reads on a stream socket; false when the peer went away.
inline bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

inline bool ReadAll(int fd, uint8_t* out, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::recv(fd, out + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

enum class ReadResult { Ok, Closed, Malformed };

// Reads one frame: the magic must match and the payload fit kMaxPayload.
inline ReadResult ReadFrame(int fd, uint32_t* kind, std::vector<uint8_t>* payload) {
    uint8_t header[kHeaderSize];
    if (!ReadAll(fd, header, sizeof(header))) return ReadResult::Closed;
    if (Get32(header) != kMagic) return ReadResult::Malformed;
    *kind = Get32(header + 4);
    const uint32_t length = Get32(header + 8);
    if (length > kMaxPayload) return ReadResult::Malformed;
    payload->resize(length);
    if (length != 0 && !ReadAll(fd, payload->data(), length)) return ReadResult::Closed;
    return ReadResult::Ok;
}

// Where vetrona-sim serves unless told otherwise: $VETRONA_SOCKET, else a
// per-user path under /tmp.
inline std::string DefaultSocketPath() {
    if (const char* env = std::getenv("VETRONA_SOCKET"); env != nullptr && *env != '\0') return env;
    return "/tmp/vetrona-" + std::to_string(static_cast<unsigned>(getuid())) + ".sock";
}

}  // namespace vetrona::client::socket
