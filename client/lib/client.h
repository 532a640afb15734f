// The client library: connect to the driver, configure it, receive its event
// messages and answer them with verdicts. The same API on Windows (fltlib and
// DeviceIoControl) and on the simulated kernel.
#pragma once

#include "channel/wire.h"
#include "client/lib/decode.h"
#include "client/lib/transport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetrona::client {

enum class Monitor : uint32_t { File = 0, Process = 1, Switch2 = 2, Registry = 3 };

struct Message {
    uint64_t messageId = 0;
    uint32_t replyLength = 0;  // reply bytes the driver waits for, header included (0: no reply wanted)
    std::vector<uint8_t> bytes;  // the event message, EventHeader.Size bytes
    DecodeResult Decode() const { return DecodeEvent(bytes); }
};

// The copy-before-change limit clients send unless told otherwise: 64 MiB.
// The copy runs in the watched program's thread before its open goes on, so
// it must stay short (a fraction of a second on a local disk), and it should
// cover the documents ransomware goes for (office files, PDFs, pictures),
// while leaving out videos, disk images and databases that would stall the
// program and fill the backup folder.
constexpr uint64_t kDefaultBackupLimit = 64ull * 1024 * 1024;

// The largest image file the client reads for its version resource and
// hashes: 64 MiB, above any program's executable (the libraries a program
// loads are not read).
constexpr uint64_t kMaxImageBytes = 64ull * 1024 * 1024;

class Client {
public:
    // Device path of the control device as user mode names it.
    static constexpr const char16_t* kDevicePath = u"\\\\.\\Vetrona";
    static constexpr const char16_t* kPortName = u"\\VetronaFlt_Com";

    explicit Client(void* identity = nullptr) : transport_(identity) {}

    // Opens the port and the control device; either failure closes both.
    HResult Connect();
    void Disconnect() { transport_.Close(); }
    bool connected() const { return transport_.portOpen(); }

    // Control device.
    HResult GetVersion(std::string* version);
    HResult AddProcess(uint32_t processId);
    HResult ClearProcesses();
    // Process ids are reused by the system. The driver drops a watched id at
    // its process's exit only while process monitoring is on: an exit missed
    // while it was off leaves the id listed, and whatever process is given
    // that id later is watched with its whole tree. Starting to watch with
    // this call avoids that: it clears the watched set, adds `roots` and then
    // switches process monitoring on. The first failure ends it.
    HResult WatchAfresh(const std::vector<uint32_t>& roots);
    HResult SetBackupDir(std::u16string_view folder);
    HResult ClearFileIds();

    // Port commands.
    // The largest file (bytes) the driver copies before a watched program
    // changes it, when the client answers a backup verdict to an open for
    // writing, a deletion or a rename over a file; 0 copies nothing (the
    // driver's value at load). Clients send kDefaultBackupLimit unless told.
    HResult SetBackupLimit(uint64_t bytes);
    HResult GetBackupLimit(uint64_t* bytes);
    HResult SetMonitor(Monitor monitor, uint8_t value);
    HResult GetMonitor(Monitor monitor, uint8_t* value);

    // Events. Receive waits up to timeoutMs (< 0: for ever).
    //
    // Reply with VerdictDeny (1) refuses the reported change: the program's
    // call fails with access denied and nothing changes. The one exception is a
    // registry key creation (RegOpKeyCreated): it is reported after the fact,
    // when the key already exists, so it cannot be denied; the program keeps
    // the key and its handle whatever the verdict.
    HResult Receive(Message* message, int timeoutMs = -1, int lane = 0);
    HResult Reply(const Message& message, Verdict verdict, int lane = 0);
    // Lanes for receiving and replying on several threads (Transport::OpenLanes).
    HResult OpenLanes(int wanted, int* granted) { return transport_.OpenLanes(wanted, granted); }

    // Drive letters and mount folders of the volumes, for showing file names
    // as a person types them (paths.h). Empty on failure.
    HResult QueryVolumeNames(VolumeNames* names) { return transport_.QueryVolumeNames(names); }

    // A whole file of the machine the driver runs on, as the client program
    // reads it (Transport::ReadMachineFile): at most `limit` bytes.
    HResult ReadMachineFile(const std::u16string& path, uint64_t limit, std::string* bytes) {
        return transport_.ReadMachineFile(path.c_str(), limit, bytes);
    }

    Transport& transport() { return transport_; }

private:
    Transport transport_;
};

}  // namespace vetrona::client
