// Socket back end: the client runs as a separate program and reaches the
// driver that `vetrona-sim serve` runs, over a Unix socket. The calls and
// their results are those of the Windows back end: the server answers each
// with the HRESULT the filter library or DeviceIoControl would give.
// Nothing the server sends is trusted: a reply of the wrong kind, a length
// beyond what was asked for or a short frame ends the connection with
// kHrInvalidData.
#include "client/lib/transport.h"

#include "client/lib/read_file.h"
#include "client/lib/socket/protocol.h"
#include "client/lib/text.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace vetrona::client {

namespace proto = vetrona::client::socket;

namespace {
constexpr HResult kHrFileNotFound = static_cast<HResult>(0x80070002);   // no server at the path: no driver
constexpr HResult kHrInvalidHandle = static_cast<HResult>(0x80070006);  // the server went away
// Longest wait of one receive request, so that other calls get their turn.
constexpr int kSliceMs = 200;
}  // namespace

struct Transport::Impl {
    std::string path;
    int fd = -1;
    bool port = false;
    bool device = false;
    std::mutex lock;  // one request at a time on the connection
    std::atomic<bool> noFileReads{false};  // the server predates ReadFile
    std::vector<std::unique_ptr<Impl>> lanes;  // lanes 1 and up, a connection each

    // The server's protocol version, asked on a side connection: a server
    // of version 1 answers Hello with kError and ends it. 0: no answer.
    uint32_t ServerVersion() {
        Impl own;
        own.path = path;
        if (!Succeeded(own.Connect())) return 0;
        std::vector<uint8_t> hello;
        proto::Put32(&hello, proto::kProtocolVersion);
        uint32_t version = 0;
        const HResult hr = own.Call(proto::kHello, hello, &version, nullptr, 0);
        own.Drop();
        if (hr == kHrInvalidData) return 1;
        return Succeeded(hr) ? version : 0;
    }
    // The program's own file work goes on a connection of its own (made at
    // the first request, kept until Close), never mixed with the driver's.
    std::unique_ptr<Impl> files;

    HResult Connect() {
        if (fd >= 0) return kOk;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof(address.sun_path)) return kHrInvalidArgument;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return kHrFileNotFound;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            fd = -1;
            return kHrFileNotFound;
        }
        // A server that stops answering half-way is a server gone: no wait
        // on it lasts beyond this (its own waits are sliced far shorter).
        timeval limit{};
        limit.tv_sec = 30;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        return kOk;
    }

    void Drop() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        port = false;
        device = false;
    }

    // One FileAccess request on the file connection. A server older than the
    // request answers kError and ends the connection: kHrNotSupported.
    HResult FileCall(const std::vector<uint8_t>& payload, uint32_t* returned, std::vector<uint8_t>* data,
                     uint32_t maxData) {
        *returned = 0;
        data->clear();
        HResult hr = Connect();
        if (!Succeeded(hr)) return hr;
        if (!proto::WriteAll(fd, proto::Frame(proto::kFileAccess, payload))) {
            Drop();
            return kHrInvalidHandle;
        }
        uint32_t kind = 0;
        std::vector<uint8_t> reply;
        const proto::ReadResult read = proto::ReadFrame(fd, &kind, &reply);
        if (read == proto::ReadResult::Closed) {
            Drop();
            return kHrInvalidHandle;
        }
        if (read == proto::ReadResult::Ok && kind == proto::kError) {
            Drop();
            return kHrNotSupported;
        }
        if (read == proto::ReadResult::Malformed || kind != (proto::kFileAccess | proto::kResponseFlag) || reply.size() < 8 ||
            reply.size() - 8 > maxData) {
            Drop();
            return kHrInvalidData;
        }
        *returned = proto::Get32(reply.data() + 4);
        data->assign(reply.begin() + 8, reply.end());
        return static_cast<HResult>(proto::Get32(reply.data()));
    }

    Impl* Files() {
        if (!files) {
            files = std::make_unique<Impl>();
            files->path = path;
        }
        return files.get();
    }

    // Sends a request and reads its response; `data` receives the response's
    // data, at most `maxData` bytes.
    HResult Call(uint32_t kind, const std::vector<uint8_t>& payload, uint32_t* returned, std::vector<uint8_t>* data,
                 uint32_t maxData) {
        if (returned != nullptr) *returned = 0;
        if (fd < 0) return kHrNotConnected;
        if (!proto::WriteAll(fd, proto::Frame(kind, payload))) {
            Drop();
            return kHrInvalidHandle;
        }
        uint32_t replyKind = 0;
        std::vector<uint8_t> reply;
        const proto::ReadResult read = proto::ReadFrame(fd, &replyKind, &reply);
        if (read == proto::ReadResult::Closed) {
            Drop();
            return kHrInvalidHandle;
        }
        if (read == proto::ReadResult::Malformed || replyKind != (kind | proto::kResponseFlag) || reply.size() < 8 ||
            reply.size() - 8 > maxData) {
            Drop();
            return kHrInvalidData;
        }
        const HResult hr = static_cast<HResult>(proto::Get32(reply.data()));
        const uint32_t count = proto::Get32(reply.data() + 4);
        if (returned != nullptr) *returned = count;
        if (data != nullptr) data->assign(reply.begin() + 8, reply.end());
        return hr;
    }
};

namespace {

std::vector<uint8_t> FileRequest(uint32_t op, const char16_t* path, uint64_t offset, uint32_t length) {
    std::vector<uint8_t> payload;
    proto::Put32(&payload, op);
    proto::Put32(&payload, static_cast<uint32_t>(offset));
    proto::Put32(&payload, static_cast<uint32_t>(offset >> 32));
    proto::Put32(&payload, length);
    std::u16string text(path);
    proto::PutText(&payload, text);
    return payload;
}

bool PathFits(const char16_t* path) {
    if (path == nullptr || *path == 0) return false;
    size_t length = 0;
    while (path[length] != 0) ++length;
    return length * 2 <= proto::kMaxName;  // never a cut-off path
}

}  // namespace

Transport::Transport(void* identity) : impl_(std::make_unique<Impl>()) {
    impl_->path = identity != nullptr ? static_cast<const char*>(identity) : proto::DefaultSocketPath();
}

Transport::~Transport() { Close(); }

namespace {
std::vector<uint8_t> NameBytes(const char16_t* name) {
    std::vector<uint8_t> out;
    for (const char16_t* p = name; *p != 0 && out.size() < proto::kMaxName; ++p) {
        out.push_back(static_cast<uint8_t>(*p));
        out.push_back(static_cast<uint8_t>(*p >> 8));
    }
    return out;
}
}  // namespace

HResult Transport::OpenPort(const char16_t* portName) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->port) return kOk;
    HResult hr = impl_->Connect();
    if (!Succeeded(hr)) return hr;
    hr = impl_->Call(proto::kOpenPort, NameBytes(portName), nullptr, nullptr, 0);
    impl_->port = Succeeded(hr);
    return hr;
}

HResult Transport::OpenDevice(const char16_t* devicePath) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->device) return kOk;
    HResult hr = impl_->Connect();
    if (!Succeeded(hr)) return hr;
    hr = impl_->Call(proto::kOpenDevice, NameBytes(devicePath), nullptr, nullptr, 0);
    impl_->device = Succeeded(hr);
    return hr;
}

void Transport::Close() {
    std::lock_guard<std::mutex> guard(impl_->lock);
    for (auto& lane : impl_->lanes) lane->Drop();
    impl_->lanes.clear();
    if (impl_->files) impl_->files->Drop();
    if (impl_->fd >= 0) {
        uint32_t ignored = 0;
        impl_->Call(proto::kClose, {}, &ignored, nullptr, 0);
    }
    impl_->Drop();
}

bool Transport::portOpen() const { return impl_->port; }
bool Transport::deviceOpen() const { return impl_->device; }

HResult Transport::PortCommand(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned) {
    *returned = 0;
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (!impl_->port) return kHrNotConnected;
    if (inLength > proto::kMaxBuffer || outLength > proto::kMaxBuffer || (inLength != 0 && in == nullptr) ||
        (outLength != 0 && out == nullptr)) {
        return kHrInvalidArgument;
    }
    std::vector<uint8_t> payload;
    proto::Put32(&payload, outLength);
    const auto* bytes = static_cast<const uint8_t*>(in);
    payload.insert(payload.end(), bytes, bytes + inLength);
    std::vector<uint8_t> data;
    const HResult hr = impl_->Call(proto::kPortCommand, payload, returned, &data, outLength);
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return hr;
}

HResult Transport::OpenLanes(int wanted, int* granted) {
    *granted = 1;
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (!impl_->port) return kHrNotConnected;
    if (wanted <= 1 || !impl_->lanes.empty()) {
        *granted = 1 + static_cast<int>(impl_->lanes.size());
        return kOk;
    }
    if (impl_->ServerVersion() < 3) return kOk;  // an older server: one lane
    // The token naming this connection's client, for the lanes to attach to.
    std::vector<uint8_t> hello;
    proto::Put32(&hello, proto::kProtocolVersion);
    std::vector<uint8_t> token;
    uint32_t version = 0;
    const HResult hr = impl_->Call(proto::kHello, hello, &version, &token, 8);
    if (!Succeeded(hr)) return hr;
    if (token.size() != 8) {
        impl_->Drop();
        return kHrInvalidData;
    }
    for (int lane = 1; lane < wanted; ++lane) {
        auto connection = std::make_unique<Impl>();
        connection->path = impl_->path;
        if (!Succeeded(connection->Connect())) break;
        if (!Succeeded(connection->Call(proto::kAttach, token, nullptr, nullptr, 0))) {
            connection->Drop();
            break;
        }
        connection->port = true;
        impl_->lanes.push_back(std::move(connection));
    }
    *granted = 1 + static_cast<int>(impl_->lanes.size());
    return kOk;
}

HResult Transport::ReceiveMessage(void* buffer, uint32_t size, int timeoutMs, int lane) {
    if (size > proto::kMaxBuffer || buffer == nullptr) return kHrInvalidArgument;
    if (lane < 0 || static_cast<size_t>(lane) > impl_->lanes.size()) return kHrInvalidArgument;
    Impl& connection = lane == 0 ? *impl_ : *impl_->lanes[lane - 1];
    // Waits in slices so that replies and commands from other threads are not
    // held up behind a long receive.
    int left = timeoutMs;
    for (;;) {
        const int slice = timeoutMs < 0 ? kSliceMs : std::min(left, kSliceMs);
        HResult hr;
        {
            std::lock_guard<std::mutex> guard(connection.lock);
            if (!connection.port) return kHrNotConnected;
            std::vector<uint8_t> payload;
            proto::Put32(&payload, size);
            proto::Put32(&payload, static_cast<uint32_t>(slice));
            std::vector<uint8_t> data;
            uint32_t returned = 0;
            hr = connection.Call(proto::kGetMessage, payload, &returned, &data, size);
            if (Succeeded(hr)) {
                if (data.size() < sizeof(MessageHeader)) {
                    connection.Drop();
                    return kHrInvalidData;
                }
                std::memcpy(buffer, data.data(), data.size());
                std::memset(static_cast<uint8_t*>(buffer) + data.size(), 0, size - data.size());
                return hr;
            }
        }
        if (hr != kHrTimeout) return hr;
        if (timeoutMs >= 0) {
            left -= slice;
            if (left <= 0) return kHrTimeout;
        }
    }
}

HResult Transport::ReplyMessage(const void* buffer, uint32_t size, int lane) {
    if (lane < 0 || static_cast<size_t>(lane) > impl_->lanes.size()) return kHrInvalidArgument;
    Impl& connection = lane == 0 ? *impl_ : *impl_->lanes[lane - 1];
    std::lock_guard<std::mutex> guard(connection.lock);
    if (!connection.port) return kHrNotConnected;
    if (size > proto::kMaxBuffer || (size != 0 && buffer == nullptr)) return kHrInvalidArgument;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    return connection.Call(proto::kReply, std::vector<uint8_t>(bytes, bytes + size), nullptr, nullptr, 0);
}

HResult Transport::DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                 uint32_t* returned) {
    *returned = 0;
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (!impl_->device) return kHrNotConnected;
    if (inLength > proto::kMaxBuffer || outLength > proto::kMaxBuffer || (inLength != 0 && in == nullptr) ||
        (outLength != 0 && out == nullptr)) {
        return kHrInvalidArgument;
    }
    std::vector<uint8_t> payload;
    proto::Put32(&payload, code);
    proto::Put32(&payload, outLength);
    const auto* bytes = static_cast<const uint8_t*>(in);
    if (inLength != 0) payload.insert(payload.end(), bytes, bytes + inLength);
    std::vector<uint8_t> data;
    uint32_t count = 0;
    const HResult hr = impl_->Call(proto::kDeviceControl, payload, &count, &data, outLength);
    if (Succeeded(hr)) {
        if (count > outLength) {
            impl_->Drop();
            return kHrInvalidData;
        }
        *returned = count;
        if (!data.empty()) std::memcpy(out, data.data(), data.size());
    }
    return hr;
}

HResult Transport::QueryVolumeNames(VolumeNames* names) {
    names->clear();
    Impl own;
    own.path = impl_->path;
    HResult hr = own.Connect();
    if (!Succeeded(hr)) return hr;
    uint32_t count = 0;
    std::vector<uint8_t> data;
    hr = own.Call(proto::kQueryVolumes, {}, &count, &data, proto::kMaxPayload - 8);
    own.Drop();
    if (!Succeeded(hr)) return hr;
    return proto::ParseVolumeRecords(data, count, names) ? kOk : kHrInvalidData;
}

// On a connection of its own, as a server that predates the request ends the
// connection it gets it on.
HResult Transport::Folder(const char16_t* path, bool create, FolderState* state) {
    *state = FolderState::Missing;
    if (path == nullptr) return kHrInvalidArgument;
    size_t length = 0;
    while (path[length] != 0) ++length;
    if (length == 0 || length * 2 > proto::kMaxName) return kHrInvalidArgument;  // never a cut-off path
    Impl own;
    own.path = impl_->path;
    HResult hr = own.Connect();
    if (!Succeeded(hr)) return hr;
    std::vector<uint8_t> payload;
    proto::Put32(&payload, create ? 1 : 0);
    const std::vector<uint8_t> name = NameBytes(path);
    payload.insert(payload.end(), name.begin(), name.end());
    uint32_t found = 0;
    hr = own.Call(proto::kFolder, payload, &found, nullptr, 0);
    own.Drop();
    if (Succeeded(hr)) {
        if (found > static_cast<uint32_t>(FolderState::NotAFolder)) return kHrInvalidData;
        *state = static_cast<FolderState>(found);
    }
    return hr;
}

// On a side connection: Hello first, which a server that predates it (and
// so ReadFile) answers with kError and the end of the connection.
HResult Transport::ReadMachineFile(const char16_t* path, uint64_t limit, std::string* bytes) {
    bytes->clear();
    if (path == nullptr) return kHrInvalidArgument;
    size_t length = 0;
    while (path[length] != 0) ++length;
    if (length == 0 || length * 2 > proto::kMaxName) return kHrInvalidArgument;  // never a cut-off path
    if (impl_->noFileReads) return kHrNotSupported;
    Impl own;
    own.path = impl_->path;
    HResult hr = own.Connect();
    if (!Succeeded(hr)) return hr;
    std::vector<uint8_t> hello;
    proto::Put32(&hello, proto::kProtocolVersion);
    uint32_t version = 0;
    hr = own.Call(proto::kHello, hello, &version, nullptr, 0);
    if (hr == kHrInvalidData || (Succeeded(hr) && version < 2)) {
        own.Drop();
        impl_->noFileReads = true;
        return kHrNotSupported;
    }
    if (!Succeeded(hr)) {
        own.Drop();
        return hr;
    }
    const std::vector<uint8_t> name = NameBytes(path);
    hr = ReadWholeFile(
        [&](uint64_t offset, uint32_t want, std::string* out) {
            std::vector<uint8_t> payload;
            proto::Put64(&payload, offset);
            proto::Put32(&payload, want);
            payload.insert(payload.end(), name.begin(), name.end());
            std::vector<uint8_t> data;
            uint32_t returned = 0;
            const HResult result = own.Call(proto::kReadFile, payload, &returned, &data, want);
            if (!Succeeded(result)) return result;
            if (returned != data.size()) return kHrInvalidData;
            out->append(data.begin(), data.end());
            return kOk;
        },
        limit, proto::kMaxFileChunk, bytes);
    own.Drop();
    return hr;
}

HResult Transport::FileInfo(const char16_t* path, FileFacts* facts) {
    *facts = FileFacts{};
    if (!PathFits(path)) return kHrInvalidArgument;
    std::lock_guard<std::mutex> guard(impl_->lock);
    uint32_t found = 0;
    std::vector<uint8_t> data;
    const HResult hr = impl_->Files()->FileCall(FileRequest(proto::kFileInfo, path, 0, 0), &found, &data, 8);
    if (!Succeeded(hr)) return hr;
    if (found > 2 || data.size() != 8) {
        impl_->files->Drop();
        return kHrInvalidData;
    }
    facts->exists = found != 0;
    facts->folder = found == 2;
    facts->size = proto::Get32(data.data()) | (static_cast<uint64_t>(proto::Get32(data.data() + 4)) << 32);
    return kOk;
}

HResult Transport::FileRead(const char16_t* path, uint64_t offset, uint32_t length, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (!PathFits(path) || length > kFileChunk) return kHrInvalidArgument;
    std::lock_guard<std::mutex> guard(impl_->lock);
    uint32_t count = 0;
    const HResult hr = impl_->Files()->FileCall(FileRequest(proto::kFileRead, path, offset, length), &count, bytes, length);
    if (Succeeded(hr) && count != bytes->size()) {
        bytes->clear();
        impl_->files->Drop();
        return kHrInvalidData;
    }
    if (!Succeeded(hr)) bytes->clear();
    return hr;
}

HResult Transport::FileWrite(const char16_t* path, uint64_t offset, const uint8_t* data, uint32_t length, bool replace) {
    if (!PathFits(path) || length > kFileChunk || (length != 0 && data == nullptr)) return kHrInvalidArgument;
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::vector<uint8_t> payload = FileRequest(replace ? proto::kFileReplace : proto::kFileWrite, path, offset, length);
    if (length != 0) payload.insert(payload.end(), data, data + length);
    uint32_t written = 0;
    std::vector<uint8_t> none;
    const HResult hr = impl_->Files()->FileCall(payload, &written, &none, 0);
    if (Succeeded(hr) && written != length) return kHrInvalidData;
    return hr;
}

}  // namespace vetrona::client
