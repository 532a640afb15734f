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
//     Folder        8   create u32 (0 or 1) | path: UTF-16 bytes (at most
//                       kMaxName); the client program's own look at a folder
//                       on the served machine, made when asked (returned:
//                       0 existed, 1 created, 2 missing, 3 not a folder)
//   response: kind | 0x80, payload = hresult i32 | returned u32 | data
//     data: PortCommand/DeviceControl the caller's output buffer (outLength
//     bytes); GetMessage the message header and the message (at most
//     bufferSize bytes); otherwise none.
//   A request the server cannot read gets kind kError with kHrInvalidData,
//   and the connection is closed.
#pragma once

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

enum Kind : uint32_t {
    kOpenPort = 1,
    kOpenDevice = 2,
    kClose = 3,
    kPortCommand = 4,
    kGetMessage = 5,
    kReply = 6,
    kDeviceControl = 7,
    kFolder = 8,
};

inline void Put32(std::vector<uint8_t>* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
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
