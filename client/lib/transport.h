// The two roads to the driver as the client library's back ends provide them:
// the communication port (fltlib on Windows, the simulated kernel's user side
// on Linux) and the control device (DeviceIoControl). One declaration, one
// implementation per back end, chosen by which source is built.
#pragma once

#include "client/lib/paths.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vetrona::client {

// Results are HRESULTs as fltlib returns them; device-control failures are
// turned into HRESULT_FROM_WIN32 of the Win32 error, as on Windows.
using HResult = int32_t;
constexpr HResult kOk = 0;
constexpr bool Succeeded(HResult hr) { return hr >= 0; }
constexpr HResult kHrTimeout = static_cast<HResult>(0x800705B4u);        // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
constexpr HResult kHrNotConnected = static_cast<HResult>(0x800704B0u);   // HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED)
constexpr HResult kHrInvalidData = static_cast<HResult>(0x8007000Du);    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
constexpr HResult kHrInvalidArgument = static_cast<HResult>(0x80070057u);
constexpr HResult kHrNotSupported = static_cast<HResult>(0x80070032u);   // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
constexpr HResult kHrFileTooLarge = static_cast<HResult>(0x800700DFu);   // HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)
constexpr HResult kHrFileMissing = static_cast<HResult>(0x80070002u);    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)

// The framing fltlib puts around a message and a reply (16 bytes each).
struct MessageHeader {
    uint32_t ReplyLength;
    uint32_t Padding;
    uint64_t MessageId;
};
struct ReplyHeader {
    int32_t Status;
    uint32_t Padding;
    uint64_t MessageId;
};
static_assert(sizeof(MessageHeader) == 16 && sizeof(ReplyHeader) == 16, "fltlib headers are 16 bytes");

// What the client program finds, or makes, at a folder on the machine the
// driver runs on.
enum class FolderState : uint32_t { Existed = 0, Created = 1, Missing = 2, NotAFolder = 3 };

// What the client program sees of a file on the machine the driver runs on.
struct FileFacts {
    bool exists = false;
    bool folder = false;
    uint64_t size = 0;
};

// The largest piece of a file one FileRead or FileWrite moves.
constexpr uint32_t kFileChunk = 0x10000;

class Transport {
public:
    // `identity` names who the client runs as: the simulated process on the
    // simulated kernel; ignored on Windows.
    explicit Transport(void* identity);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    HResult OpenPort(const char16_t* portName);
    HResult OpenDevice(const char16_t* devicePath);
    void Close();
    bool portOpen() const;
    bool deviceOpen() const;

    HResult PortCommand(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned);
    // Receive lanes, for answering on several threads at once: after
    // OpenLanes, ReceiveMessage and ReplyMessage may be called from
    // *granted threads at the same time, each with a lane of its own
    // (0 to *granted - 1). The port takes several outstanding receives on
    // Windows and on the simulated kernel, which grant what is asked; the
    // socket back end opens a connection per lane on a server that knows how
    // (protocol 3) and grants 1 on an older one. Call it once, after the
    // port is open.
    HResult OpenLanes(int wanted, int* granted);
    // Receives into `buffer` (a MessageHeader and the message). timeoutMs < 0
    // waits for ever; a wait that runs out gives kHrTimeout.
    HResult ReceiveMessage(void* buffer, uint32_t size, int timeoutMs, int lane = 0);
    HResult ReplyMessage(const void* buffer, uint32_t size, int lane = 0);
    HResult DeviceControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                          uint32_t* returned);
    // The volume devices and the DOS paths each is mounted at, as the mount
    // manager names them. Needs neither the port nor the device, and leaves
    // both as they are whatever happens.
    HResult QueryVolumeNames(VolumeNames* names);
    // The program's own look at a folder ("C:\Backup" or an NT path), and
    // with `create` the folder made with any missing parents, as
    // CreateDirectory makes it. Not a road to the driver: the driver never
    // creates the backup folder it is given.
    HResult Folder(const char16_t* path, bool create, FolderState* state);
    // The program's own read of a whole file on the machine the driver runs
    // on ("C:\dir\tool.exe" or an NT path), opened for reading with every
    // share mode so that a running program's image can be read. At most
    // `limit` bytes: a larger file gives kHrFileTooLarge and no bytes. A
    // server too old to read files gives kHrNotSupported (and every later
    // call does so at once). Needs neither the port nor the device.
    HResult ReadMachineFile(const char16_t* path, uint64_t limit, std::string* bytes);

    // The program's own reads and writes of files on the machine the driver
    // runs on ("C:\..." or an NT path), for the session's journal and for
    // putting copies back; not a road to the driver. Opens share read, write
    // and delete. FileRead gives at most `length` (<= kFileChunk) bytes from
    // `offset`, fewer at the end of the file and none past it. FileWrite
    // writes `length` (<= kFileChunk) bytes at `offset`; with `replace` the
    // file is made anew (created, or emptied if it is there) first.
    HResult FileInfo(const char16_t* path, FileFacts* facts);
    HResult FileRead(const char16_t* path, uint64_t offset, uint32_t length, std::vector<uint8_t>* bytes);
    HResult FileWrite(const char16_t* path, uint64_t offset, const uint8_t* data, uint32_t length, bool replace);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vetrona::client
