// The file workload: a watched process works with files on C: while file
// monitoring is switched on. The file callbacks are registered and run for
// every request; until they report, every request must pass untouched: the
// results are those of the file system alone and no message reaches the port.
#include "tools/session.h"

#include "sim/user/file.h"

#include <fstream>

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
    return r.Step("passed-untouched", pre > 0 && messages == 0,
                  {{"pre_operation_calls", pre}, {"post_operation_calls", delta("FltMgr:PostOperationCallback")},
                   {"messages_sent", messages}},
                  "the driver's file callbacks ran " + std::to_string(pre) + " times and reported nothing yet (" +
                      std::to_string(messages) + " messages)");
}

}  // namespace vsim
