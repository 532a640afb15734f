// vetrona-sim serve: a Unix-socket server in front of the simulated kernel's
// user side. Each connection is a client process on the simulated machine
// (elevated, as the port admits administrators only); its requests run as
// that process through the same user-side calls a client program's would, on
// copies of the bytes it sent, so a peer reaches nothing a client process
// could not. Every length and field of a request is checked before use; a
// request that does not add up gets an error frame and ends the connection.
#include "tools/serve.h"

#include "client/lib/socket/protocol.h"
#include "client/lib/transport.h"
#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/user/device.h"
#include "sim/user/fltuser.h"
#include "sim/user/folder.h"
#include "sim/user/process.h"
#include "sim/user/read.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <mutex>
#include <thread>

namespace vsim {

namespace proto = vetrona::client::socket;
using json = nlohmann::ordered_json;

std::string DefaultSocketPath() { return proto::DefaultSocketPath(); }

namespace vc = vetrona::client;

namespace {

constexpr int32_t kHrInvalidData = static_cast<int32_t>(0x8007000D);
constexpr int32_t kHrInvalidHandle = static_cast<int32_t>(0x80070006);

std::vector<uint8_t> Response(uint32_t kind, int32_t hr, uint32_t returned, const uint8_t* data = nullptr, size_t length = 0) {
    std::vector<uint8_t> payload;
    proto::Put32(&payload, static_cast<uint32_t>(hr));
    proto::Put32(&payload, returned);
    if (length != 0) payload.insert(payload.end(), data, data + length);
    return proto::Frame(kind | proto::kResponseFlag, payload);
}

std::u16string NameOf(const std::vector<uint8_t>& payload) {
    std::u16string name;
    for (size_t i = 0; i + 1 < payload.size(); i += 2) {
        name.push_back(static_cast<char16_t>(payload[i] | (payload[i + 1] << 8)));
    }
    return name;
}

// The volumes' devices and drive letters, as the mount manager of a real
// system lists them for the client.
std::vector<uint8_t> VolumesResponse() {
    std::vector<uint8_t> data;
    uint32_t count = 0;
    for (const sim::fs::Volume* volume : sim::fs::Volumes()) {
        if (count == proto::kMaxVolumes) break;
        proto::PutText(&data, volume->deviceName);
        if (volume->driveLetter != 0) {
            proto::Put32(&data, 1);
            proto::PutText(&data, std::u16string{volume->driveLetter, u':', u'\\'});
        } else {
            proto::Put32(&data, 0);
        }
        ++count;
    }
    return Response(proto::kQueryVolumes, 0, count, data.data(), data.size());
}

volatile sig_atomic_t gInterrupted = 0;
void OnSignal(int) { gInterrupted = 1; }

}  // namespace

PeerSession::PeerSession(_EPROCESS* process, ScenarioRun* observer) : process_(process), observer_(observer) {}

PeerSession::~PeerSession() { Close(); }

void* PeerSession::Port() {
    std::lock_guard<std::mutex> guard(stateLock_);
    return port_;
}

void PeerSession::Close() {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (port_ != nullptr) {
        sim::user::CloseHandle(process_, static_cast<HANDLE>(port_));
        port_ = nullptr;
    }
    if (device_ != nullptr) {
        sim::user::CloseHandle(process_, static_cast<HANDLE>(device_));
        device_ = nullptr;
    }
    // Messages handed out but never answered passed without a verdict.
    if (observer_ != nullptr) {
        for (const auto& [id, bytes] : pending_) observer_->RecordEvent(bytes, -1, -2);
    }
    pending_.clear();
}

bool PeerSession::Handle(uint32_t kind, const std::vector<uint8_t>& payload, std::vector<uint8_t>* response,
                         const std::function<bool()>& peerGone) {
    auto malformed = [&]() {
        *response = proto::Frame(proto::kError, {});
        std::vector<uint8_t> body;
        proto::Put32(&body, static_cast<uint32_t>(kHrInvalidData));
        proto::Put32(&body, 0);
        *response = proto::Frame(proto::kError, body);
        return false;
    };
    switch (kind) {
        case proto::kOpenPort: {
            if (payload.empty() || payload.size() % 2 != 0 || payload.size() > proto::kMaxName) return malformed();
            HANDLE port = sim::user::INVALID_HANDLE_VALUE;
            const int32_t hr = sim::user::FilterConnectCommunicationPort(process_, NameOf(payload).c_str(), 0, nullptr, 0, &port);
            if (hr == sim::user::S_OK) {
                std::lock_guard<std::mutex> guard(stateLock_);
                if (port_ == nullptr) {
                    port_ = port;
                } else {
                    sim::user::CloseHandle(process_, port);  // one connection per peer
                }
            }
            *response = Response(kind, hr, 0);
            return true;
        }
        case proto::kOpenDevice: {
            if (payload.empty() || payload.size() % 2 != 0 || payload.size() > proto::kMaxName) return malformed();
            HANDLE device = nullptr;
            const NTSTATUS status = sim::user::CreateFile(process_, NameOf(payload), GENERIC_READ | GENERIC_WRITE, &device);
            if (NT_SUCCESS(status)) {
                if (device_ == nullptr) {
                    device_ = device;
                } else {
                    sim::user::CloseHandle(process_, device);
                }
            }
            *response = Response(kind, NT_SUCCESS(status) ? 0 : sim::user::HResultFromNtStatus(status), 0);
            return true;
        }
        case proto::kClose: {
            if (!payload.empty()) return malformed();
            Close();
            *response = Response(kind, 0, 0);
            return true;
        }
        case proto::kPortCommand: {
            if (payload.size() < 4 || payload.size() - 4 > proto::kMaxBuffer) return malformed();
            const uint32_t outLength = proto::Get32(payload.data());
            if (outLength > proto::kMaxBuffer) return malformed();
            void* port = Port();
            if (port == nullptr) {
                *response = Response(kind, kHrInvalidHandle, 0);
                return true;
            }
            std::vector<uint8_t> input(payload.begin() + 4, payload.end());
            std::vector<uint8_t> output(outLength);
            sim::user::DWORD returned = 0;
            const int32_t hr = sim::user::FilterSendMessage(
                process_, static_cast<HANDLE>(port), input.empty() ? nullptr : input.data(),
                static_cast<sim::user::DWORD>(input.size()), output.empty() ? nullptr : output.data(), outLength, &returned);
            *response = Response(kind, hr, std::min<uint32_t>(returned, outLength), output.data(), output.size());
            return true;
        }
        case proto::kGetMessage: {
            if (payload.size() != 8) return malformed();
            const uint32_t size = proto::Get32(payload.data());
            const int32_t timeoutMs = static_cast<int32_t>(proto::Get32(payload.data() + 4));
            if (size > proto::kMaxBuffer) return malformed();
            void* port = Port();
            if (port == nullptr) {
                *response = Response(kind, kHrInvalidHandle, 0);
                return true;
            }
            receivedOnce_ = true;
            std::vector<uint8_t> buffer(std::max<size_t>(size, sizeof(sim::user::FILTER_MESSAGE_HEADER)));
            auto* header = reinterpret_cast<sim::user::PFILTER_MESSAGE_HEADER>(buffer.data());
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
            int32_t hr = sim::user::kHrWaitTimeout;
            for (;;) {
                auto slice = std::chrono::milliseconds(100);
                if (timeoutMs >= 0) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                    slice = std::max(std::chrono::milliseconds(0), std::min(slice, left));
                }
                hr = sim::user::FilterGetMessage(process_, static_cast<HANDLE>(port), header, size, slice);
                if (hr != sim::user::kHrWaitTimeout) break;
                if (peerGone && peerGone()) break;
                if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) break;
            }
            if (hr == sim::user::kHrWaitTimeout) {
                *response = Response(kind, static_cast<int32_t>(0x800705B4u), 0);  // ERROR_TIMEOUT, as an overlapped wait gives
                return true;
            }
            if (hr != sim::user::S_OK) {
                *response = Response(kind, hr, 0);
                return true;
            }
            // The message's own size says how much of the buffer it fills.
            uint32_t messageSize = 0;
            if (size >= sizeof(sim::user::FILTER_MESSAGE_HEADER) + 4) {
                messageSize = proto::Get32(buffer.data() + sizeof(sim::user::FILTER_MESSAGE_HEADER));
            }
            const size_t length = std::min<size_t>(size, sizeof(sim::user::FILTER_MESSAGE_HEADER) + messageSize);
            const std::vector<uint8_t> message(buffer.begin() + sizeof(sim::user::FILTER_MESSAGE_HEADER), buffer.begin() + length);
            if (observer_ != nullptr) {
                std::lock_guard<std::mutex> guard(stateLock_);
                if (header->ReplyLength != 0) {
                    pending_[header->MessageId] = message;
                } else {
                    observer_->RecordEvent(message, -1, -2);
                }
            }
            *response = Response(kind, hr, static_cast<uint32_t>(length), buffer.data(), length);
            return true;
        }
        case proto::kReply: {
            if (payload.size() > proto::kMaxBuffer) return malformed();
            void* port = Port();
            if (port == nullptr) {
                *response = Response(kind, kHrInvalidHandle, 0);
                return true;
            }
            // The sender reads the header from the buffer whatever size is
            // claimed: give it one.
            std::vector<uint8_t> reply(payload);
            const size_t given = reply.size();
            reply.resize(std::max<size_t>(given, sizeof(sim::user::FILTER_REPLY_HEADER) + 4));
            // The answer is noted before it releases the waiting operation, so
            // the transcript shows the event inside its step.
            if (given >= sizeof(sim::user::FILTER_REPLY_HEADER)) {
                uint64_t id = 0;
                std::memcpy(&id, reply.data() + 8, sizeof(id));
                std::lock_guard<std::mutex> guard(stateLock_);
                auto it = pending_.find(id);
                if (it != pending_.end()) {
                    int32_t verdict = -1;
                    if (given >= sizeof(sim::user::FILTER_REPLY_HEADER) + 4) std::memcpy(&verdict, reply.data() + 16, 4);
                    if (observer_ != nullptr) observer_->RecordEvent(it->second, verdict, -2);
                    pending_.erase(it);
                }
            }
            const int32_t hr = sim::user::FilterReplyMessage(process_, static_cast<HANDLE>(port),
                                                             reinterpret_cast<sim::user::PFILTER_REPLY_HEADER>(reply.data()),
                                                             static_cast<sim::user::DWORD>(given));
            *response = Response(kind, hr, 0);
            return true;
        }
        case proto::kDeviceControl: {
            if (payload.size() < 8 || payload.size() - 8 > proto::kMaxBuffer) return malformed();
            const uint32_t code = proto::Get32(payload.data());
            const uint32_t outLength = proto::Get32(payload.data() + 4);
            if (outLength > proto::kMaxBuffer) return malformed();
            if (device_ == nullptr) {
                *response = Response(kind, kHrInvalidHandle, 0);
                return true;
            }
            // The simulated kernel carries buffered control codes only (the
            // driver's five are buffered); others are refused here rather
            // than stopping the machine.
            if ((code & 3) != 0) {
                *response = Response(kind, static_cast<int32_t>(0x80070032u), 0);  // ERROR_NOT_SUPPORTED
                return true;
            }
            std::vector<uint8_t> input(payload.begin() + 8, payload.end());
            std::vector<uint8_t> output(outLength);
            ULONG returned = 0;
            const NTSTATUS status = sim::user::DeviceIoControl(process_, static_cast<HANDLE>(device_), code,
                                                               input.empty() ? nullptr : input.data(),
                                                               static_cast<ULONG>(input.size()),
                                                               output.empty() ? nullptr : output.data(), outLength, &returned);
            if (!NT_SUCCESS(status)) {
                *response = Response(kind, sim::user::HResultFromNtStatus(status), 0);
            } else {
                *response = Response(kind, 0, std::min<uint32_t>(returned, outLength), output.data(), output.size());
            }
            return true;
        }
        case proto::kQueryVolumes: {
            if (!payload.empty()) return malformed();
            *response = VolumesResponse();
            return true;
        }
        case proto::kFolder: {
            if (payload.size() < 6 || payload.size() % 2 != 0 || payload.size() - 4 > proto::kMaxName) return malformed();
            const uint32_t create = proto::Get32(payload.data());
            if (create > 1) return malformed();
            const std::vector<uint8_t> path(payload.begin() + 4, payload.end());
            sim::user::FolderFound found = sim::user::FolderFound::Missing;
            const NTSTATUS status = sim::user::EnsureFolder(process_, NameOf(path), create != 0, &found);
            *response = Response(kind, NT_SUCCESS(status) ? 0 : sim::user::HResultFromNtStatus(status),
                                 NT_SUCCESS(status) ? static_cast<uint32_t>(found) : 0);
            return true;
        }
        case proto::kHello: {
            if (payload.size() != 4) return malformed();
            std::vector<uint8_t> token;
            if (token_ != 0) proto::Put64(&token, token_);
            *response = Response(kind, 0, proto::kProtocolVersion, token.data(), token.size());
            return true;
        }
        case proto::kReadFile: {
            // offset u64 | maxBytes u32 | a path of at least one character.
            if (payload.size() < 14 || (payload.size() - 12) % 2 != 0 || payload.size() - 12 > proto::kMaxName) return malformed();
            const uint64_t offset = proto::Get64(payload.data());
            const uint32_t maxBytes = proto::Get32(payload.data() + 8);
            if (maxBytes == 0 || maxBytes > proto::kMaxFileChunk) return malformed();
            const std::vector<uint8_t> path(payload.begin() + 12, payload.end());
            std::vector<uint8_t> buffer(maxBytes);
            ULONG read = 0;
            const NTSTATUS status = sim::user::ReadFileAt(process_, NameOf(path), offset, buffer.data(), maxBytes, &read);
            if (!NT_SUCCESS(status)) {
                *response = Response(kind, sim::user::HResultFromNtStatus(status), 0);
            } else {
                read = std::min<ULONG>(read, maxBytes);
                *response = Response(kind, 0, read, buffer.data(), read);
            }
            return true;
        }
        case proto::kFileAccess: {
            // op | offset | length | path | data, every length checked first.
            if (payload.size() < 20) return malformed();
            const uint32_t op = proto::Get32(payload.data());
            const uint64_t offset = proto::Get32(payload.data() + 4) | (static_cast<uint64_t>(proto::Get32(payload.data() + 8)) << 32);
            const uint32_t length = proto::Get32(payload.data() + 12);
            size_t at = 16;
            std::u16string path;
            if (op > proto::kFileReplace || length > proto::kFileChunkBytes || !proto::GetText(payload, &at, &path) || path.empty()) {
                return malformed();
            }
            const bool writing = op == proto::kFileWrite || op == proto::kFileReplace;
            if (payload.size() - at != (writing ? length : 0)) return malformed();
            vc::Transport files(process_);
            if (op == proto::kFileInfo) {
                vc::FileFacts facts;
                const vc::HResult hr = files.FileInfo(path.c_str(), &facts);
                std::vector<uint8_t> data;
                proto::Put32(&data, static_cast<uint32_t>(facts.size));
                proto::Put32(&data, static_cast<uint32_t>(facts.size >> 32));
                *response = Response(kind, hr, facts.exists ? (facts.folder ? 2 : 1) : 0, data.data(), data.size());
            } else if (op == proto::kFileRead) {
                std::vector<uint8_t> bytes;
                const vc::HResult hr = files.FileRead(path.c_str(), offset, length, &bytes);
                *response = Response(kind, hr, static_cast<uint32_t>(bytes.size()), bytes.data(), bytes.size());
            } else {
                const vc::HResult hr = files.FileWrite(path.c_str(), offset, payload.data() + at, length, op == proto::kFileReplace);
                *response = Response(kind, hr, vc::Succeeded(hr) ? length : 0);
            }
            return true;
        }
        default:
            return malformed();
    }
}

namespace {

struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
};

}  // namespace

int Serve(const ServeOptions& options) {
    Scenario scenario;
    if (!options.scenarioFile.empty()) {
        try {
            scenario = LoadScenarioFile(options.scenarioFile);
        } catch (const ScenarioError& e) {
            std::cerr << "vetrona-sim: " << e.Describe() << '\n';
            return 2;
        }
    } else {
        scenario.file = "(serve)";
        scenario.title = "serving the driver";
        scenario.volumes.push_back(VolumeSpec{});
        scenario.users.push_back(UserSpec{0, "alice", GeneratedUserSid(0)});
    }
    const bool playWorkload = !options.scenarioFile.empty();

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options.socketPath.empty() || options.socketPath.size() >= sizeof(address.sun_path)) {
        std::cerr << "vetrona-sim: socket path too long: " << options.socketPath << '\n';
        return 2;
    }
    std::memcpy(address.sun_path, options.socketPath.c_str(), options.socketPath.size());

    Transcript out(options.run);
    ScenarioRun run(scenario, out);
    if (scenario.client.present) {
        out.Text("  (the scenario's client section is not used: the client is the program that connects)");
    }
    if (!run.Boot()) return run.Finish();

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(options.socketPath.c_str());
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 4) != 0) {
        std::cerr << "vetrona-sim: cannot listen on " << options.socketPath << ": " << std::strerror(errno) << '\n';
        if (listener >= 0) ::close(listener);
        run.Finish();
        return 2;
    }

    json processes = json::object();
    std::string names;
    for (const auto& [name, pid] : run.Processes()) {
        processes[name] = pid;
        names += "  " + name + " pid " + std::to_string(pid) + "\n";
    }
    out.Put({{"type", "ready"}, {"socket", options.socketPath}, {"processes", processes}},
            "serving on " + options.socketPath + " (port \\VetronaFlt_Com, device \\\\.\\Vetrona)\n" +
                (names.empty() ? "" : "processes:\n" + names) +
                (playWorkload ? "the workload starts when a client waits for its first message" : "Ctrl-C stops"));

    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::mutex lock;
    std::condition_variable changed;
    std::list<Connection> connections;
    int ended = 0;
    bool clientReady = false;
    // Clients by the token their lanes attach with.
    struct ServedClient {
        ServedClient(_EPROCESS* process, ScenarioRun* run) : session(process, run) {}
        PeerSession session;
        std::vector<int> lanes;  // the lanes' sockets
        int attached = 0;        // lanes still running
    };
    std::map<uint64_t, std::shared_ptr<ServedClient>> clients;
    std::random_device tokens;

    auto serveOne = [&](Connection* c) {
        // A connection that asks only for the volumes' names (a client does so
        // on a connection of its own) is answered without becoming a client
        // process, and is neither shown nor counted as a client.
        uint32_t firstKind = 0;
        std::vector<uint8_t> firstPayload;
        const proto::ReadResult first = proto::ReadFrame(c->fd, &firstKind, &firstPayload);
        if (first == proto::ReadResult::Ok && firstKind == proto::kQueryVolumes && firstPayload.empty()) {
            proto::WriteAll(c->fd, VolumesResponse());
            ::shutdown(c->fd, SHUT_RDWR);
            std::lock_guard<std::mutex> guard(lock);
            c->done = true;
            return;
        }
        // So is one that asks only to look at or make a folder: it runs as a
        // process of the client program's for that request alone.
        if (first == proto::ReadResult::Ok && firstKind == proto::kFolder) {
            if (_EPROCESS* asker = run.NewClientProcess()) {
                PeerSession session(asker, &run);
                std::vector<uint8_t> response;
                session.Handle(firstKind, firstPayload, &response, nullptr);
                proto::WriteAll(c->fd, response);
                session.Close();
                sim::user::EndProcess(asker);
            }
            ::shutdown(c->fd, SHUT_RDWR);
            std::lock_guard<std::mutex> guard(lock);
            c->done = true;
            return;
        }
        // A side connection (its first request is Hello): the client program
        // reading a file or looking at a folder, as a process of its own for
        // as long as the connection lasts; never a client of the port.
        if (first == proto::ReadResult::Ok && firstKind == proto::kHello) {
            if (_EPROCESS* reader = run.NewClientProcess()) {
                PeerSession session(reader, nullptr);
                uint32_t kind = firstKind;
                std::vector<uint8_t> payload = std::move(firstPayload);
                for (;;) {
                    std::vector<uint8_t> response;
                    const bool side = kind == proto::kHello || kind == proto::kReadFile || kind == proto::kFolder ||
                                      kind == proto::kQueryVolumes;
                    bool keep = false;
                    if (side) {
                        keep = session.Handle(kind, payload, &response, nullptr);
                    } else {
                        std::vector<uint8_t> body;
                        proto::Put32(&body, static_cast<uint32_t>(kHrInvalidData));
                        proto::Put32(&body, 0);
                        response = proto::Frame(proto::kError, body);
                    }
                    if (!proto::WriteAll(c->fd, response) || !keep) break;
                    if (proto::ReadFrame(c->fd, &kind, &payload) != proto::ReadResult::Ok) break;
                }
                session.Close();
                sim::user::EndProcess(reader);
            }
            ::shutdown(c->fd, SHUT_RDWR);
            std::lock_guard<std::mutex> guard(lock);
            c->done = true;
            return;
        }
        // And so is one that reads or writes files of the machine: a process
        // of the client program's for as long as the connection asks for
        // nothing else.
        if (first == proto::ReadResult::Ok && firstKind == proto::kFileAccess) {
            if (_EPROCESS* asker = run.NewClientProcess()) {
                PeerSession session(asker, &run);
                uint32_t kind = firstKind;
                std::vector<uint8_t> payload = std::move(firstPayload);
                for (;;) {
                    std::vector<uint8_t> response;
                    const bool keep = kind == proto::kFileAccess && session.Handle(kind, payload, &response, nullptr);
                    if (kind != proto::kFileAccess) {
                        std::vector<uint8_t> body;
                        proto::Put32(&body, static_cast<uint32_t>(kHrInvalidData));
                        proto::Put32(&body, 0);
                        response = proto::Frame(proto::kError, body);
                    }
                    if (!proto::WriteAll(c->fd, response) || !keep) break;
                    if (proto::ReadFrame(c->fd, &kind, &payload) != proto::ReadResult::Ok) break;
                }
                session.Close();
                sim::user::EndProcess(asker);
            }
            ::shutdown(c->fd, SHUT_RDWR);
            std::lock_guard<std::mutex> guard(lock);
            c->done = true;
            return;
        }
        // A receive lane (its first request is Attach): GetMessage and Reply of
        // the client whose token it gives, as one more thread of its process,
        // until either connection ends.
        if (first == proto::ReadResult::Ok && firstKind == proto::kAttach) {
            std::shared_ptr<ServedClient> owner;
            if (firstPayload.size() == 8) {
                std::lock_guard<std::mutex> guard(lock);
                auto it = clients.find(proto::Get64(firstPayload.data()));
                if (it != clients.end()) {
                    owner = it->second;
                    owner->lanes.push_back(c->fd);
                    ++owner->attached;
                }
            }
            if (owner == nullptr) {
                proto::WriteAll(c->fd, Response(proto::kAttach, kHrInvalidHandle, 0));
            } else if (proto::WriteAll(c->fd, Response(proto::kAttach, 0, 0))) {
                auto gone = [fd = c->fd]() {
                    pollfd p{fd, POLLRDHUP, 0};
                    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
                };
                for (;;) {
                    uint32_t kind = 0;
                    std::vector<uint8_t> payload;
                    if (proto::ReadFrame(c->fd, &kind, &payload) != proto::ReadResult::Ok) break;
                    std::vector<uint8_t> response;
                    bool keep = false;
                    if (kind == proto::kGetMessage || kind == proto::kReply) {
                        keep = owner->session.Handle(kind, payload, &response, gone);
                    } else {
                        std::vector<uint8_t> body;
                        proto::Put32(&body, static_cast<uint32_t>(kHrInvalidData));
                        proto::Put32(&body, 0);
                        response = proto::Frame(proto::kError, body);
                    }
                    if (!proto::WriteAll(c->fd, response) || !keep) break;
                }
            }
            ::shutdown(c->fd, SHUT_RDWR);
            std::lock_guard<std::mutex> guard(lock);
            if (owner != nullptr) {
                auto& lanes = owner->lanes;
                lanes.erase(std::remove(lanes.begin(), lanes.end(), c->fd), lanes.end());
                --owner->attached;
            }
            c->done = true;
            changed.notify_all();
            return;
        }
        _EPROCESS* process = first == proto::ReadResult::Closed ? nullptr : run.NewClientProcess();
        if (process != nullptr) {
            auto self = std::make_shared<ServedClient>(process, &run);
            PeerSession& session = self->session;
            uint64_t token = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                while (token == 0 || clients.count(token) != 0) token = (uint64_t{tokens()} << 32) | tokens();
                clients[token] = self;
            }
            session.SetToken(token);
            out.Put({{"type", "connection"}, {"pid", process->pid}}, "  client connected (runs as pid " + std::to_string(process->pid) + ")");
            auto gone = [fd = c->fd]() {
                pollfd p{fd, POLLRDHUP, 0};
                return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
            };
            bool haveFirst = true;
            for (;;) {
                uint32_t kind = firstKind;
                std::vector<uint8_t> payload = std::move(firstPayload);
                const proto::ReadResult read = haveFirst ? first : proto::ReadFrame(c->fd, &kind, &payload);
                haveFirst = false;
                if (read == proto::ReadResult::Closed) break;
                std::vector<uint8_t> response;
                bool keep = false;
                if (read == proto::ReadResult::Malformed) {
                    std::vector<uint8_t> body;
                    proto::Put32(&body, static_cast<uint32_t>(kHrInvalidData));
                    proto::Put32(&body, 0);
                    response = proto::Frame(proto::kError, body);
                } else {
                    keep = session.Handle(kind, payload, &response, gone);
                }
                if (session.receivedOnce()) {
                    std::lock_guard<std::mutex> guard(lock);
                    if (!clientReady) {
                        clientReady = true;
                        changed.notify_all();
                    }
                }
                if (!proto::WriteAll(c->fd, response) || !keep) {
                    if (!keep) out.Put({{"type", "connection"}, {"error", "malformed request"}}, "  client sent a malformed request: disconnected");
                    break;
                }
            }
            // Its lanes end with it: none is left using the process below.
            {
                std::unique_lock<std::mutex> guard(lock);
                clients.erase(token);
                for (int fd : self->lanes) ::shutdown(fd, SHUT_RDWR);
                while (self->attached > 0) changed.wait_for(guard, std::chrono::milliseconds(100));
            }
            session.Close();
            sim::user::EndProcess(process);
            out.Put({{"type", "connection"}, {"ended", true}}, "  client disconnected");
        }
        ::shutdown(c->fd, SHUT_RDWR);
        std::lock_guard<std::mutex> guard(lock);
        c->done = true;
        ++ended;
        changed.notify_all();
    };

    std::atomic<bool> stopAccepting{false};
    std::thread acceptor([&] {
        while (!stopAccepting && !gInterrupted) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> guard(lock);
            connections.emplace_back();
            Connection* c = &connections.back();
            c->fd = fd;
            c->thread = std::thread(serveOne, c);
        }
    });

    auto waitFor = [&](const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> guard(lock);
        while (!condition() && !gInterrupted) changed.wait_for(guard, std::chrono::milliseconds(100));
    };

    if (playWorkload) {
        waitFor([&] { return clientReady; });
        if (!gInterrupted) run.RunWorkload();
    } else {
        waitFor([&] { return options.clients > 0 && ended >= options.clients; });
    }

    // Let the last events reach the client, then end every connection: the
    // clients see the driver go away.
    std::this_thread::sleep_for(std::chrono::milliseconds(playWorkload ? 300 : 0));
    stopAccepting = true;
    acceptor.join();
    {
        std::lock_guard<std::mutex> guard(lock);
        for (Connection& c : connections) ::shutdown(c.fd, SHUT_RDWR);
    }
    for (Connection& c : connections) {
        if (c.thread.joinable()) c.thread.join();
        ::close(c.fd);
    }
    ::close(listener);
    ::unlink(options.socketPath.c_str());
    return run.Finish();
}

}  // namespace vsim
