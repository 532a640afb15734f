// Windows back end: the filter library for the port, DeviceIoControl for the
// control device.
#include "client/lib/transport.h"

#include "client/lib/read_file.h"
#include "client/lib/text.h"

#include <windows.h>
#include <fltuser.h>

#include <string>
#include <vector>

namespace vetrona::client {

struct Transport::Impl {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE device = INVALID_HANDLE_VALUE;
};

Transport::Transport(void* /*identity*/) : impl_(std::make_unique<Impl>()) {}
Transport::~Transport() { Close(); }

HResult Transport::OpenPort(const char16_t* portName) {
    if (impl_->port != INVALID_HANDLE_VALUE) {
        return kOk;
    }
    HANDLE port = INVALID_HANDLE_VALUE;
    HRESULT hr = FilterConnectCommunicationPort(reinterpret_cast<LPCWSTR>(portName), 0, nullptr, 0, nullptr, &port);
    if (SUCCEEDED(hr)) {
        impl_->port = port;
    }
    return hr;
}

HResult Transport::OpenDevice(const char16_t* devicePath) {
    if (impl_->device != INVALID_HANDLE_VALUE) {
        return kOk;
    }
    HANDLE device = CreateFileW(reinterpret_cast<LPCWSTR>(devicePath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    impl_->device = device;
    return kOk;
}

void Transport::Close() {
    if (impl_->port != INVALID_HANDLE_VALUE) {
        CloseHandle(impl_->port);
        impl_->port = INVALID_HANDLE_VALUE;
    }
    if (impl_->device != INVALID_HANDLE_VALUE) {
        CloseHandle(impl_->device);
        impl_->device = INVALID_HANDLE_VALUE;
    }
}

bool Transport::portOpen() const { return impl_->port != INVALID_HANDLE_VALUE; }
bool Transport::deviceOpen() const { return impl_->device != INVALID_HANDLE_VALUE; }

HResult Transport::PortCommand(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned) {
    *returned = 0;
    if (!portOpen()) {
        return kHrNotConnected;
    }
    DWORD bytes = 0;
    HRESULT hr = FilterSendMessage(impl_->port, const_cast<void*>(in), inLength, out, outLength, &bytes);
    *returned = bytes;
    return hr;
}

// The port handle is an overlapped one: each lane's receive is an overlapped
// FilterGetMessage of its own, any number outstanding at once.
HResult Transport::OpenLanes(int wanted, int* granted) {
    *granted = 1;
    if (!portOpen()) {
        return kHrNotConnected;
    }
    *granted = wanted < 1 ? 1 : wanted;
    return kOk;
}

HResult Transport::ReceiveMessage(void* buffer, uint32_t size, int timeoutMs, int /*lane*/) {
    if (!portOpen()) {
        return kHrNotConnected;
    }
    auto* header = static_cast<PFILTER_MESSAGE_HEADER>(buffer);
    // An event of this call's own: receives of other threads are outstanding
    // on the same handle at the same time, and a cancel names this one alone.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT hr = FilterGetMessage(impl_->port, header, size, &overlapped);
    if (hr == HRESULT_FROM_WIN32(ERROR_IO_PENDING)) {
        DWORD wait = WaitForSingleObject(overlapped.hEvent, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        if (wait != WAIT_OBJECT_0) {
            CancelIoEx(impl_->port, &overlapped);
        }
        // Waits for the request to end either way: a message that came
        // before the cancel is delivered, not lost.
        DWORD transferred = 0;
        if (GetOverlappedResult(impl_->port, &overlapped, &transferred, TRUE)) {
            hr = S_OK;
        } else {
            DWORD error = GetLastError();
            hr = error == ERROR_OPERATION_ABORTED ? kHrTimeout : HRESULT_FROM_WIN32(error);
        }
    }
    CloseHandle(overlapped.hEvent);
    return hr;
}

HResult Transport::ReplyMessage(const void* buffer, uint32_t size, int /*lane*/) {
    if (!portOpen()) {
        return kHrNotConnected;
    }
    return FilterReplyMessage(impl_->port, static_cast<PFILTER_REPLY_HEADER>(const_cast<void*>(buffer)), size);
}

HResult Transport::DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                 uint32_t* returned) {
    *returned = 0;
    if (!deviceOpen()) {
        return kHrNotConnected;
    }
    DWORD bytes = 0;
    if (!::DeviceIoControl(impl_->device, code, const_cast<void*>(in), inLength, out, outLength, &bytes, nullptr)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    *returned = bytes;
    return kOk;
}

namespace {

// The Win32 form of a folder given as a drive path or an NT path: \??\X and
// \Device\... are reached through \\?\ and \\?\GLOBALROOT.
std::wstring Win32Path(const char16_t* path) {
    std::wstring text(reinterpret_cast<const wchar_t*>(path));
    if (text.rfind(L"\\??\\", 0) == 0) return L"\\\\?\\" + text.substr(4);
    if (text.rfind(L"\\Device\\", 0) == 0) return L"\\\\?\\GLOBALROOT" + text;
    return text;
}

// CreateDirectory of a folder, of its parent first when that is missing too.
DWORD MakeFolder(const std::wstring& path, int depth) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return ERROR_SUCCESS;
    if (error != ERROR_PATH_NOT_FOUND || depth > 64) return error;
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut == 0) return error;
    error = MakeFolder(path.substr(0, cut), depth + 1);
    if (error != ERROR_SUCCESS) return error;
    if (::CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return ERROR_SUCCESS;
    return GetLastError();
}

bool Utf8Of(const wchar_t* text, std::string* out) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text)), out);
}

}  // namespace

// The mount manager's names: each volume ("\\?\Volume{GUID}\"), its device
// (QueryDosDevice of "Volume{GUID}") and the paths it is mounted at, drive
// roots and mount folders (GetVolumePathNamesForVolumeName, a list of
// zero-terminated strings ending in an empty one).
HResult Transport::QueryVolumeNames(VolumeNames* names) {
    names->clear();
    wchar_t volume[MAX_PATH + 1] = {};
    HANDLE find = FindFirstVolumeW(volume, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    do {
        std::wstring guid(volume);
        if (guid.size() < 6 || guid.compare(0, 4, L"\\\\?\\") != 0 || guid.back() != L'\\') {
            continue;
        }
        const std::wstring inner = guid.substr(4, guid.size() - 5);
        wchar_t device[MAX_PATH + 1] = {};
        if (QueryDosDeviceW(inner.c_str(), device, MAX_PATH) == 0) {
            continue;
        }
        std::vector<wchar_t> paths(MAX_PATH + 1);
        DWORD length = 0;
        if (!GetVolumePathNamesForVolumeNameW(volume, paths.data(), static_cast<DWORD>(paths.size()), &length)) {
            if (GetLastError() != ERROR_MORE_DATA) {
                continue;
            }
            paths.assign(length + 1, L'\0');
            if (!GetVolumePathNamesForVolumeNameW(volume, paths.data(), static_cast<DWORD>(paths.size()), &length)) {
                continue;
            }
        }
        paths.push_back(L'\0');
        VolumeName entry;
        if (!Utf8Of(device, &entry.device) || entry.device.empty()) {
            continue;
        }
        for (const wchar_t* p = paths.data(); *p != L'\0'; p += wcslen(p) + 1) {
            std::string path;
            if (Utf8Of(p, &path)) {
                entry.paths.push_back(path);
            }
        }
        names->push_back(std::move(entry));
    } while (FindNextVolumeW(find, volume, MAX_PATH));
    FindVolumeClose(find);
    return kOk;
}

HResult Transport::Folder(const char16_t* path, bool create, FolderState* state) {
    *state = FolderState::Missing;
    if (path == nullptr) {
        return kHrInvalidArgument;
    }
    std::wstring folder = Win32Path(path);
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        *state = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FolderState::Existed : FolderState::NotAFolder;
        return kOk;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return HRESULT_FROM_WIN32(error);
    }
    if (!create) {
        return kOk;
    }
    const DWORD made = MakeFolder(folder, 0);
    if (made != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(made);
    }
    *state = FolderState::Created;
    return kOk;
}

// Opened with every share mode: the image of a running program is open for
// execution, and a file another program writes is read as it stands.
HResult Transport::ReadMachineFile(const char16_t* path, uint64_t limit, std::string* bytes) {
    bytes->clear();
    if (path == nullptr || *path == 0) {
        return kHrInvalidArgument;
    }
    HANDLE file = CreateFileW(Win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const HResult hr = ReadWholeFile(
        [&](uint64_t offset, uint32_t length, std::string* out) -> HResult {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const size_t before = out->size();
            out->resize(before + length);
            DWORD read = 0;
            if (!::ReadFile(file, out->data() + before, length, &read, &at)) {
                const DWORD error = GetLastError();
                out->resize(before);
                return error == ERROR_HANDLE_EOF ? kOk : HRESULT_FROM_WIN32(error);
            }
            out->resize(before + std::min<DWORD>(read, length));
            return kOk;
        },
        limit, 0x10000, bytes);
    CloseHandle(file);
    return hr;
}

// The program's own file work, through the Win32 file API.
HResult Transport::FileInfo(const char16_t* path, FileFacts* facts) {
    *facts = FileFacts{};
    if (path == nullptr || *path == 0) return kHrInvalidArgument;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(reinterpret_cast<LPCWSTR>(path), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kOk;
        return HRESULT_FROM_WIN32(error);
    }
    facts->exists = true;
    facts->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return kOk;
}

HResult Transport::FileRead(const char16_t* path, uint64_t offset, uint32_t length, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (path == nullptr || *path == 0 || length > kFileChunk) return kHrInvalidArgument;
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    bytes->resize(length);
    DWORD read = 0;
    HResult hr = kOk;
    if (length != 0 && !::ReadFile(file, bytes->data(), length, &read, &at)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF) hr = HRESULT_FROM_WIN32(error);
    }
    bytes->resize(Succeeded(hr) ? read : 0);
    CloseHandle(file);
    return hr;
}

HResult Transport::FileWrite(const char16_t* path, uint64_t offset, const uint8_t* data, uint32_t length, bool replace) {
    if (path == nullptr || *path == 0 || length > kFileChunk || (length != 0 && data == nullptr)) return kHrInvalidArgument;
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, replace ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    HResult hr = kOk;
    if (length != 0 && !::WriteFile(file, data, length, &written, &at)) hr = HRESULT_FROM_WIN32(GetLastError());
    if (Succeeded(hr) && written != length) hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    if (!CloseHandle(file) && Succeeded(hr)) hr = HRESULT_FROM_WIN32(GetLastError());
    return hr;
}

}  // namespace vetrona::client
