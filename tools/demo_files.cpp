// The file workload: a watched process works with files on C: while file
// monitoring is switched on. First with no client connected: the callbacks run
// for every request and send nothing, so the results are those of the file
// system alone. Then the file story with the client library on the other side:
// a watched program writes a new document, the client asks for a backup at its
// close and the copy is compared byte for byte; a write the client denies fails
// and leaves the file as it was.
#include "tools/session.h"

#include "client/lib/client.h"
#include "sim/user/file.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

namespace vsim {

namespace {

const char* InformationName(ULONG_PTR information) {
    switch (information) {
    case FILE_SUPERSEDED: return "FILE_SUPERSEDED";
    case FILE_OPENED: return "FILE_OPENED";
    case FILE_CREATED: return "FILE_CREATED";
    case FILE_OVERWRITTEN: return "FILE_OVERWRITTEN";
    case FILE_EXISTS: return "FILE_EXISTS";
    case FILE_DOES_NOT_EXIST: return "FILE_DOES_NOT_EXIST";
    default: return "?";
    }
}

std::string HostText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FileSteps {
public:
    FileSteps(Session& s, _EPROCESS* process) : s_(s), process_(process) {}

    // Opens or creates `path`; the step passes when the status (and, on
    // success, the create result) is the expected one.
    HANDLE Create(const std::string& step, std::u16string_view path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, NTSTATUS expected, ULONG_PTR expectedInformation = FILE_OPENED) {
        HANDLE handle = nullptr;
        ULONG_PTR information = 0;
        const NTSTATUS status =
            sim::user::CreateFile(process_, path, access, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, &handle, &information);
        const bool ok = status == expected && (!NT_SUCCESS(status) || information == expectedInformation);
        s_.report().Step(step, ok,
                         {{"path", Narrow(path)}, {"status", StatusText(status)}, {"information", InformationName(information)}},
                         Narrow(path) + ": " + StatusText(status) + (NT_SUCCESS(status) ? std::string(" ") + InformationName(information) : ""));
        return NT_SUCCESS(status) ? handle : nullptr;
    }

    bool Write(HANDLE handle, const std::string& text) {
        ULONG written = 0;
        const NTSTATUS status = sim::user::WriteFile(process_, handle, 0, text.data(), static_cast<ULONG>(text.size()), &written);
        return s_.report().Step("write", status == STATUS_SUCCESS && written == text.size(),
                                {{"bytes", written}, {"status", StatusText(status)}},
                                std::to_string(written) + " bytes written (" + StatusText(status) + ")");
    }

    bool ReadBack(HANDLE handle, const std::string& expected) {
        std::string buffer(expected.size() + 16, '\0');
        ULONG read = 0;
        const NTSTATUS status = sim::user::ReadFile(process_, handle, 0, buffer.data(), static_cast<ULONG>(buffer.size()), &read);
        buffer.resize(read);
        // A second read from the end of the file meets the end of file.
        const NTSTATUS atEnd = sim::user::ReadFile(process_, handle, read, buffer.data(), 1, nullptr);
        return s_.report().Step("read", status == STATUS_SUCCESS && buffer == expected && atEnd == STATUS_END_OF_FILE,
                                {{"bytes", read}, {"text", buffer}, {"at_end", StatusText(atEnd)}},
                                "read back \"" + buffer + "\", then " + StatusText(atEnd) + " at the end");
    }

    void Close(HANDLE handle) {
        if (handle != nullptr) {
            sim::user::CloseHandle(process_, handle);
        }
    }

    bool ExpectHost(const std::string& step, std::u16string_view relative, const std::string* text) {
        const auto path = s_.hostPath(relative);
        const bool exists = std::filesystem::exists(path);
        const std::string content = exists ? HostText(path) : "";
        const bool ok = text == nullptr ? !exists : exists && content == *text;
        return s_.report().Step(step, ok, {{"host_path", path.string()}, {"exists", exists}, {"content", content}},
                                path.string() + (exists ? " holds \"" + content + "\"" : " does not exist"));
    }

private:
    Session& s_;
    _EPROCESS* process_;
};

// The client's side of the file story: decodes each file event with the client
// library; asks for a backup at the close of a modified file and denies writes
// while `denyWrites` is set.
class FileResponder {
public:
    explicit FileResponder(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~FileResponder() {
        stop_ = true;
        thread_.join();
    }
    std::atomic<bool> denyWrites{false};

    // The events answered so far ("FileOpWrite answered 1"), after `count` arrived.
    std::vector<std::string> Take(size_t count) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (seen_.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> out;
        out.swap(seen_);
        return out;
    }

private:
    void Loop() {
        using namespace vetrona::client;
        while (!stop_) {
            Message message;
            if (client_.Receive(&message, 20) != kOk) {
                continue;
            }
            const DecodeResult decoded = message.Decode();
            int32_t verdict = 0;
            std::string text = "malformed";
            if (decoded.ok()) {
                if (const auto* f = std::get_if<FileEventView>(&decoded.event)) {
                    if (f->operation == FileOpCloseModified) {
                        verdict = VerdictBackup;
                    } else if (f->operation == FileOpWrite && denyWrites) {
                        verdict = VerdictDeny;
                    }
                    text = std::string(FileOpName(f->operation)) + " " + f->name.Utf8();
                }
            }
            client_.Reply(message, verdict);
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(text + " answered " + std::to_string(verdict));
        }
    }

    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> seen_;
    std::thread thread_;
};

bool FileStory(Session& s, _EPROCESS* watched) {
    Report& r = s.report();
    r.Heading("file story (client connected: backup at close, a denied write)");
    vetrona::client::Client client(s.client());
    const auto hr = client.Connect();
    if (!r.Step("client-connect", hr == vetrona::client::kOk, {{"hresult", StatusText(hr)}},
                "client library connected: " + StatusText(hr))) {
        return false;
    }
    client.SetMonitor(vetrona::client::Monitor::File, 1);
    client.SetBackupDir(u"\\??\\C:\\Backup");
    FileSteps f(s, watched);
    FileSteps owner(s, s.client());
    HANDLE folder = owner.Create("backup-folder", u"C:\\Backup", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_SUCCESS, FILE_CREATED);
    owner.Close(folder);
    bool ok = true;
    {
        FileResponder responder(client);
        auto showEvents = [&](size_t count) {
            std::vector<std::string> events = responder.Take(count);
            for (const std::string& e : events) {
                r.Raw({{"event", e}}, "  event " + e);
            }
            return events.size();
        };

        // A new document, written in three pieces and closed: the client asks
        // for a backup of it.
        std::string document;
        for (int line = 1; line <= 120; ++line) {
            document += "line " + std::to_string(line) + " of the quarterly letter, kept safe by the backup\n";
        }
        HANDLE h = f.Create("new-document", u"C:\\docs\\letter.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ,
                            FILE_CREATE, FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS, FILE_CREATED);
        if (h == nullptr) {
            return false;
        }
        const size_t third = document.size() / 3;
        ULONG written = 0;
        NTSTATUS status = STATUS_SUCCESS;
        for (size_t offset = 0; offset < document.size() && NT_SUCCESS(status); offset += third) {
            const size_t length = std::min(third, document.size() - offset);
            status = sim::user::WriteFile(watched, h, static_cast<int64_t>(offset), document.data() + offset,
                                          static_cast<ULONG>(length), &written);
        }
        r.Step("write-document", status == STATUS_SUCCESS, {{"bytes", document.size()}, {"status", StatusText(status)}},
               std::to_string(document.size()) + " bytes written in three pieces (" + StatusText(status) + ")");
        f.Close(h);
        const size_t events = showEvents(6);
        ok = r.Step("events-at-close", events == 6, {{"events", events}},
                    std::to_string(events) + " events: open for writing, created, three writes, close of a modified file") && ok;
        const std::string original = HostText(s.hostPath(u"docs\\letter.txt"));
        const std::string copy = HostText(s.hostPath(u"Backup\\letter.txt"));
        ok = r.Step("backup-copy", !copy.empty() && copy == original,
                    {{"original_bytes", original.size()}, {"copy_bytes", copy.size()}, {"identical", copy == original}},
                    "C:\\Backup\\letter.txt holds " + std::to_string(copy.size()) + " bytes, " +
                        (copy == original ? "identical to the original" : "DIFFERENT from the original")) && ok;

        // The client denies the next write: it fails and the file is unchanged.
        responder.denyWrites = true;
        h = f.Create("reopen-document", u"C:\\docs\\letter.txt", FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS, FILE_OPENED);
        if (h != nullptr) {
            const std::string scramble(512, 'X');
            status = sim::user::WriteFile(watched, h, 0, scramble.data(), static_cast<ULONG>(scramble.size()), &written);
            ok = r.Step("denied-write", status == STATUS_ACCESS_DENIED, {{"status", StatusText(status)}},
                        "a 512-byte overwrite denied by the client: " + StatusText(status)) && ok;
            f.Close(h);
        }
        showEvents(3);  // the denied write still marked the handle: its close asks for a second copy
        const std::string after = HostText(s.hostPath(u"docs\\letter.txt"));
        ok = r.Step("unchanged-on-disk", after == original, {{"bytes", after.size()}, {"unchanged", after == original}},
                    std::string("C:\\docs\\letter.txt ") + (after == original ? "is unchanged" : "CHANGED")) && ok;
    }
    client.SetBackupDir(u"");
    client.Disconnect();
    return ok;
}

}  // namespace

bool FileWorkload(Session& s, _EPROCESS* watched) {
    Report& r = s.report();
    r.Heading("files (file monitoring on, watched process pid " + std::to_string(watched->pid) + ")");
    const auto before = sim::CallCounts();
    FileSteps f(s, watched);

    HANDLE dir = f.Create("create-directory", u"C:\\docs", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_SUCCESS, FILE_CREATED);
    f.Close(dir);

    const std::string first = "quarterly numbers: 1, 2, 3";
    HANDLE h = f.Create("create", u"C:\\docs\\report.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE,
                        FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS, FILE_CREATED);
    if (h == nullptr) {
        return false;
    }
    f.Write(h, first);
    f.ReadBack(h, first);

    // While the writer holds the file without sharing writes, another writer is refused.
    HANDLE other = f.Create("share-conflict", u"C:\\docs\\report.txt", FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_SHARING_VIOLATION);
    f.Close(other);
    f.Close(h);
    f.ExpectHost("on-disk", u"docs\\report.txt", &first);

    f.Create("create-existing", u"C:\\docs\\report.txt", FILE_GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
             STATUS_OBJECT_NAME_COLLISION);

    const std::string second = "revised";
    h = f.Create("overwrite", u"C:\\docs\\report.txt", FILE_GENERIC_WRITE, 0, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE,
                 STATUS_SUCCESS, FILE_OVERWRITTEN);
    f.Write(h, second);
    f.Close(h);
    f.ExpectHost("on-disk", u"docs\\report.txt", &second);

    const std::string third = "superseded";
    h = f.Create("supersede", u"C:\\docs\\report.txt", FILE_GENERIC_WRITE | DELETE, 0, FILE_SUPERSEDE, FILE_NON_DIRECTORY_FILE,
                 STATUS_SUCCESS, FILE_SUPERSEDED);
    f.Write(h, third);

    const NTSTATUS renamed = sim::user::SetRenameInformation(watched, h, u"report-final.txt", false);
    r.Step("rename", renamed == STATUS_SUCCESS, {{"to", "report-final.txt"}, {"status", StatusText(renamed)}},
           "report.txt -> report-final.txt (" + StatusText(renamed) + ")");
    f.Close(h);
    f.ExpectHost("renamed-on-disk", u"docs\\report-final.txt", &third);
    f.ExpectHost("old-name-gone", u"docs\\report.txt", nullptr);

    h = f.Create("create-delete-on-close", u"C:\\docs\\scratch.tmp", FILE_GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                 FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, STATUS_SUCCESS, FILE_CREATED);
    f.Write(h, "temporary");
    f.Close(h);
    f.ExpectHost("deleted-on-close", u"docs\\scratch.tmp", nullptr);

    h = f.Create("open-for-delete", u"C:\\docs\\report-final.txt", DELETE, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS,
                 FILE_OPENED);
    const NTSTATUS disposed = sim::user::SetDisposition(watched, h, true);
    r.Step("delete-disposition", disposed == STATUS_SUCCESS, {{"status", StatusText(disposed)}},
           "delete disposition set (" + StatusText(disposed) + ")");
    f.Close(h);
    f.ExpectHost("deleted", u"docs\\report-final.txt", nullptr);

    // A raw SCSI WRITE(10) through a volume handle: the disk model records it.
    HANDLE volume = f.Create("open-volume", u"\\\\.\\C:", FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED);
    if (volume != nullptr) {
        SCSI_PASS_THROUGH_DIRECT request{};
        request.Length = sizeof(request);
        request.CdbLength = 10;
        request.DataIn = SCSI_IOCTL_DATA_OUT;
        request.Cdb[0] = 0x2A;  // WRITE(10)
        const size_t logBefore = sim::fs::PassThroughLog().size();
        ULONG returned = 0;
        const NTSTATUS status = sim::user::DeviceIoControl(watched, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                                                           sizeof(request), &request, sizeof(request), &returned);
        const bool reached = sim::fs::PassThroughLog().size() == logBefore + 1;
        r.Step("scsi-pass-through", status == STATUS_SUCCESS && reached, {{"status", StatusText(status)}, {"reached_disk", reached}},
               "IOCTL_SCSI_PASS_THROUGH_DIRECT WRITE(10) on \\\\.\\C: (" + StatusText(status) + ")");
        f.Close(volume);
    }

    const auto after = sim::CallCounts();
    auto delta = [&](const char* name) {
        auto a = after.find(name);
        auto b = before.find(name);
        return (a == after.end() ? 0 : a->second) - (b == before.end() ? 0 : b->second);
    };
    const uint64_t pre = delta("FltMgr:PreOperationCallback");
    const uint64_t messages = delta("FltSendMessage");
    const bool untouched = r.Step("passed-untouched", pre > 0 && messages == 0,
                                  {{"pre_operation_calls", pre}, {"post_operation_calls", delta("FltMgr:PostOperationCallback")},
                                   {"messages_sent", messages}},
                                  "no client connected: the driver's file callbacks ran " + std::to_string(pre) +
                                      " times and sent nothing (" + std::to_string(messages) + " messages)");
    return FileStory(s, watched) && untouched;
}

}  // namespace vsim
