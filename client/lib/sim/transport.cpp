// Simulated-kernel back end: the client runs in-process as a simulated
// process and reaches the driver through the simulated kernel's user side.
// (There is no out-of-process road on Linux: tests and tools link this in.)
#include "client/lib/transport.h"

#include "client/lib/read_file.h"

#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/user/device.h"
#include "sim/user/file.h"
#include "sim/user/fltuser.h"
#include "sim/user/folder.h"
#include "sim/user/read.h"

#include <chrono>

namespace vetrona::client {

struct Transport::Impl {
    _EPROCESS* process = nullptr;
    HANDLE port = nullptr;
    HANDLE device = nullptr;
};

Transport::Transport(void* identity) : impl_(std::make_unique<Impl>()) {
    impl_->process = static_cast<_EPROCESS*>(identity);
}

Transport::~Transport() { Close(); }

HResult Transport::OpenPort(const char16_t* portName) {
    if (impl_->port != nullptr) {
        return kOk;
    }
    if (impl_->process == nullptr) {
        return kHrInvalidArgument;
    }
    HANDLE port = sim::user::INVALID_HANDLE_VALUE;
    HResult hr = sim::user::FilterConnectCommunicationPort(impl_->process, portName, 0, nullptr, 0, &port);
    if (Succeeded(hr)) {
        impl_->port = port;
    }
    return hr;
}

HResult Transport::OpenDevice(const char16_t* devicePath) {
    if (impl_->device != nullptr) {
        return kOk;
    }
    if (impl_->process == nullptr) {
        return kHrInvalidArgument;
    }
    HANDLE device = nullptr;
    NTSTATUS status = sim::user::CreateFile(impl_->process, devicePath, GENERIC_READ | GENERIC_WRITE, &device);
    if (!NT_SUCCESS(status)) {
        return sim::user::HResultFromNtStatus(status);
    }
    impl_->device = device;
    return kOk;
}

void Transport::Close() {
    if (impl_->port != nullptr) {
        sim::ob::CloseHandle(impl_->process, impl_->port);
        impl_->port = nullptr;
    }
    if (impl_->device != nullptr) {
        sim::user::CloseHandle(impl_->process, impl_->device);
        impl_->device = nullptr;
    }
}

bool Transport::portOpen() const { return impl_->port != nullptr; }
bool Transport::deviceOpen() const { return impl_->device != nullptr; }

HResult Transport::PortCommand(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned) {
    *returned = 0;
    if (!portOpen()) {
        return kHrNotConnected;
    }
    sim::user::DWORD bytes = 0;
    HResult hr = sim::user::FilterSendMessage(impl_->process, impl_->port, const_cast<void*>(in), inLength, out,
                                              outLength, &bytes);
    *returned = bytes;
    return hr;
}

// The port takes any number of outstanding receives.
HResult Transport::OpenLanes(int wanted, int* granted) {
    *granted = 1;
    if (impl_->port == nullptr) {
        return kHrNotConnected;
    }
    *granted = wanted < 1 ? 1 : wanted;
    return kOk;
}

HResult Transport::ReceiveMessage(void* buffer, uint32_t size, int timeoutMs, int /*lane*/) {
    if (!portOpen()) {
        return kHrNotConnected;
    }
    auto* header = static_cast<sim::user::PFILTER_MESSAGE_HEADER>(buffer);
    if (timeoutMs < 0) {
        return sim::user::FilterGetMessage(impl_->process, impl_->port, header, size);
    }
    HResult hr = sim::user::FilterGetMessage(impl_->process, impl_->port, header, size,
                                             std::chrono::milliseconds(timeoutMs));
    return hr == sim::user::kHrWaitTimeout ? kHrTimeout : hr;
}

HResult Transport::ReplyMessage(const void* buffer, uint32_t size, int /*lane*/) {
    if (!portOpen()) {
        return kHrNotConnected;
    }
    return sim::user::FilterReplyMessage(impl_->process, impl_->port,
                                         static_cast<sim::user::PFILTER_REPLY_HEADER>(const_cast<void*>(buffer)), size);
}

HResult Transport::DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                 uint32_t* returned) {
    *returned = 0;
    if (!deviceOpen()) {
        return kHrNotConnected;
    }
    ULONG bytes = 0;
    NTSTATUS status = sim::user::DeviceIoControl(impl_->process, impl_->device, code, const_cast<void*>(in), inLength,
                                                 out, outLength, &bytes);
    // As DeviceIoControl: a warning status fails the call too.
    if (!NT_SUCCESS(status)) {
        return sim::user::HResultFromNtStatus(status);
    }
    *returned = bytes;
    return kOk;
}

HResult Transport::QueryVolumeNames(VolumeNames* names) {
    names->clear();
    for (const sim::fs::Volume* volume : sim::fs::Volumes()) {
        VolumeName name;
        name.device = sim::fs::ToHost(volume->deviceName);
        if (volume->driveLetter != 0) name.paths.push_back(std::string(1, static_cast<char>(volume->driveLetter)) + ":\\");
        names->push_back(std::move(name));
    }
    return kOk;
}

HResult Transport::Folder(const char16_t* path, bool create, FolderState* state) {
    *state = FolderState::Missing;
    if (impl_->process == nullptr || path == nullptr) {
        return kHrInvalidArgument;
    }
    sim::user::FolderFound found = sim::user::FolderFound::Missing;
    const NTSTATUS status = sim::user::EnsureFolder(impl_->process, path, create, &found);
    if (!NT_SUCCESS(status)) {
        return sim::user::HResultFromNtStatus(status);
    }
    *state = static_cast<FolderState>(found);
    return kOk;
}

HResult Transport::ReadMachineFile(const char16_t* path, uint64_t limit, std::string* bytes) {
    bytes->clear();
    if (impl_->process == nullptr || path == nullptr || *path == 0) {
        return kHrInvalidArgument;
    }
    std::string chunk;
    return ReadWholeFile(
        [&](uint64_t offset, uint32_t length, std::string* out) {
            chunk.resize(length);
            ULONG read = 0;
            const NTSTATUS status = sim::user::ReadFileAt(impl_->process, path, offset, chunk.data(), length, &read);
            if (!NT_SUCCESS(status)) return sim::user::HResultFromNtStatus(status);
            out->append(chunk.data(), std::min<ULONG>(read, length));
            return kOk;
        },
        limit, 0x10000, bytes);
}

namespace {
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
}  // namespace

// The program's own file work, as a process of the client's on the simulated
// machine: each call opens, acts and closes, through the Filter Manager.
HResult Transport::FileInfo(const char16_t* path, FileFacts* facts) {
    *facts = FileFacts{};
    if (impl_->process == nullptr || path == nullptr || *path == 0) return kHrInvalidArgument;
    HANDLE handle = nullptr;
    NTSTATUS status = sim::user::CreateFile(impl_->process, path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                                            FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) return kOk;
    if (!NT_SUCCESS(status)) return sim::user::HResultFromNtStatus(status);
    int64_t size = 0;
    bool directory = false;
    status = sim::user::QueryStandardInformation(impl_->process, handle, &size, &directory);
    sim::user::CloseHandle(impl_->process, handle);
    if (!NT_SUCCESS(status)) return sim::user::HResultFromNtStatus(status);
    facts->exists = true;
    facts->folder = directory;
    facts->size = static_cast<uint64_t>(size);
    return kOk;
}

HResult Transport::FileRead(const char16_t* path, uint64_t offset, uint32_t length, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (impl_->process == nullptr || path == nullptr || *path == 0 || length > kFileChunk) return kHrInvalidArgument;
    HANDLE handle = nullptr;
    NTSTATUS status = sim::user::CreateFile(impl_->process, path, FILE_READ_DATA | SYNCHRONIZE, kShareAll, FILE_OPEN,
                                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return sim::user::HResultFromNtStatus(status);
    bytes->resize(length);
    ULONG read = 0;
    status = length == 0 ? STATUS_SUCCESS
                         : sim::user::ReadFile(impl_->process, handle, static_cast<int64_t>(offset), bytes->data(), length, &read);
    if (status == STATUS_END_OF_FILE) {
        status = STATUS_SUCCESS;
        read = 0;
    }
    bytes->resize(NT_SUCCESS(status) ? read : 0);
    sim::user::CloseHandle(impl_->process, handle);
    return NT_SUCCESS(status) ? kOk : sim::user::HResultFromNtStatus(status);
}

HResult Transport::FileWrite(const char16_t* path, uint64_t offset, const uint8_t* data, uint32_t length, bool replace) {
    if (impl_->process == nullptr || path == nullptr || *path == 0 || length > kFileChunk || (length != 0 && data == nullptr)) {
        return kHrInvalidArgument;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = sim::user::CreateFile(impl_->process, path, FILE_WRITE_DATA | SYNCHRONIZE, kShareAll,
                                            replace ? FILE_OVERWRITE_IF : FILE_OPEN_IF,
                                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return sim::user::HResultFromNtStatus(status);
    ULONG written = 0;
    if (length != 0) {
        status = sim::user::WriteFile(impl_->process, handle, static_cast<int64_t>(offset), data, length, &written);
        if (NT_SUCCESS(status) && written != length) status = STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS closed = sim::user::CloseHandle(impl_->process, handle);
    if (NT_SUCCESS(status) && !NT_SUCCESS(closed)) status = closed;
    return NT_SUCCESS(status) ? kOk : sim::user::HResultFromNtStatus(status);
}

}  // namespace vetrona::client
