// The event workload: messages of each class travel to a client built on the
// client library, which decodes them and answers with verdicts.
//
// The monitors do not report yet, so a probe component loaded beside the driver
// plays their part at the point where they will: its pre-create callback and
// its process notification run in the threads of real simulated requests and
// call the driver's own helpers, message builders and send functions with what
// those requests carry. Registry events come from the driver's own registry
// callback on the simulated registry (demo_registry.cpp).
#include "tools/session.h"

#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "sim/user/file.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace vsim {

namespace {

// Verdicts the probe got back from the send functions, in send order.
std::mutex gProbeLock;
std::vector<int32_t> gProbeVerdicts;
PFLT_FILTER gProbeFilter = nullptr;

void RecordVerdict(int32_t verdict) {
    std::lock_guard<std::mutex> guard(gProbeLock);
    gProbeVerdicts.push_back(verdict);
}

FLT_PREOP_CALLBACK_STATUS FLTAPI ProbePreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID*) {
    const ULONG pid = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject) || !IdListHasPid(&DriverData.ProcessList, pid)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const ACCESS_MASK access = Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess;
    if ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PFLT_FILE_NAME_INFORMATION name = nullptr;
    if (!NT_SUCCESS(FilterGetFileName(Data, &name))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const OpParams params = FilterGetParams(Data->Iopb);
    RecordVerdict(FileMonSendEvent(name, nullptr, FltObjects, Data->Iopb, FileOpWriteAccess, &params, nullptr));
    FilterReleaseName(name);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

VOID NTAPI ProbeProcessNotify(PEPROCESS, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
    if (CreateInfo == nullptr || !ProcMonIsWanted(ProcessId) ||
        !IdListHasPid(&DriverData.ProcessList, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(CreateInfo->ParentProcessId)))) {
        return;
    }
    RecordVerdict(ProcMonSendEvent(CreateInfo->ImageFileName, CreateInfo->CommandLine, CreateInfo->ParentProcessId, ProcessId, TRUE));
}

NTSTATUS FLTAPI ProbeUnload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(gProbeFilter);
    gProbeFilter = nullptr;
    return STATUS_SUCCESS;
}

VOID NTAPI ProbeDriverUnload(PDRIVER_OBJECT) {
    (VOID) PsSetCreateProcessNotifyRoutineEx(ProbeProcessNotify, TRUE);
}

const FLT_OPERATION_REGISTRATION kProbeOperations[] = {
    {IRP_MJ_CREATE, 0, ProbePreCreate, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

const FLT_REGISTRATION kProbeRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0200, 0, nullptr, kProbeOperations, ProbeUnload,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = ProbeDriverUnload;
    NTSTATUS status = FltRegisterFilter(driver, &kProbeRegistration, &gProbeFilter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FltStartFiltering(gProbeFilter);
    if (NT_SUCCESS(status)) {
        status = PsSetCreateProcessNotifyRoutineEx(ProbeProcessNotify, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(gProbeFilter);
        gProbeFilter = nullptr;
    }
    return status;
}

// The client's side: receives each message, decodes it with the client
// library and answers with the verdict `rule` picks.
class Responder {
public:
    explicit Responder(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~Responder() {
        stop_ = true;
        thread_.join();
    }

    struct Seen {
        json event;
        std::string text;
        std::vector<uint8_t> bytes;
    };

    std::vector<Seen> Take(size_t count) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (seen_.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Seen> out;
        out.swap(seen_);
        return out;
    }

private:
    void Loop() {
        while (!stop_) {
            vetrona::client::Message message;
            if (client_.Receive(&message, 50) != vetrona::client::kOk) {
                continue;
            }
            Seen seen = Describe(message);
            client_.Reply(message, seen.event["verdict"].get<int32_t>());
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(std::move(seen));
        }
    }

    // Decodes a message; files and processes pass (0), a registry change (none is
    // expected here) is denied (1).
    static Seen Describe(const vetrona::client::Message& message) {
        using namespace vetrona::client;
        Seen seen;
        seen.bytes = message.bytes;
        const DecodeResult decoded = message.Decode();
        if (!decoded.ok()) {
            seen.event = {{"class", "malformed"}, {"error", DecodeErrorName(decoded.error)}, {"verdict", VerdictNone}};
            seen.text = std::string("malformed message: ") + DecodeErrorName(decoded.error);
            return seen;
        }
        if (const auto* f = std::get_if<FileEventView>(&decoded.event)) {
            seen.event = {{"class", "file"}, {"size", f->size}, {"operation", FileOpName(f->operation)}, {"pid", f->processId},
                          {"major", f->majorFunction}, {"name", f->name.Utf8()}, {"volume", f->volume.text.Utf8()},
                          {"final_component", f->finalComponent.text.Utf8()}, {"extension", f->extension.text.Utf8()},
                          {"create_options", f->params.Create.CreateOptions}, {"share_access", f->params.Create.ShareAccess},
                          {"verdict", 0}};
            seen.text = std::string("file ") + FileOpName(f->operation) + " pid " + std::to_string(f->processId) + " " +
                        f->name.Utf8() + " (" + std::to_string(f->size) + " bytes)";
        } else if (const auto* g = std::get_if<RegistryEventView>(&decoded.event)) {
            seen.event = {{"class", "registry"}, {"size", g->size}, {"operation", RegOpName(g->operation)}, {"pid", g->processId},
                          {"key", g->keyPath.Utf8()}, {"value", g->name.Utf8()}, {"type", g->dataType},
                          {"data_bytes", g->data.bytes.size()}, {"verdict", VerdictDeny}};
            seen.text = std::string("registry ") + RegOpName(g->operation) + " pid " + std::to_string(g->processId) + " " +
                        g->keyPath.Utf8() + " value " + g->name.Utf8() + " (" + std::to_string(g->size) + " bytes)";
        } else if (const auto* p = std::get_if<ProcessEventView>(&decoded.event)) {
            seen.event = {{"class", "process"}, {"size", p->size}, {"start", p->isCreate}, {"pid", p->processId},
                          {"parent_pid", p->parentProcessId}, {"image", p->imageName.Utf8()},
                          {"command_line", p->commandLine.Utf8()}, {"verdict", 0}};
            seen.text = std::string("process ") + (p->isCreate ? "start" : "exit") + " pid " + std::to_string(p->processId) +
                        " parent " + std::to_string(p->parentProcessId) + " " + p->imageName.Utf8() + " \"" +
                        p->commandLine.Utf8() + "\" (" + std::to_string(p->size) + " bytes)";
        }
        seen.text += ", answered " + std::to_string(seen.event["verdict"].get<int32_t>());
        return seen;
    }

    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace

bool EventWorkload(Session& s, _EPROCESS* watched) {
    Report& r = s.report();
    r.Heading("events (probe: the driver's builders and send functions, client library on the other side)");
    {
        std::lock_guard<std::mutex> guard(gProbeLock);
        gProbeVerdicts.clear();
    }
    PDRIVER_OBJECT probe = nullptr;
    const NTSTATUS loaded = sim::LoadDriver(ProbeEntry, u"vetrona-probe", &probe);
    if (!r.Step("load-probe", loaded == STATUS_SUCCESS, {{"status", StatusText(loaded)}}, "probe loaded: " + StatusText(loaded))) {
        return false;
    }

    vetrona::client::Client client(s.client());
    const auto hr = client.Connect();
    bool ok = r.Step("client-connect", hr == vetrona::client::kOk, {{"hresult", StatusText(hr)}},
                     "client library connected to the port and the control device: " + StatusText(hr));
    if (ok) {
        Responder responder(client);

        // A file opened for writing by the watched process.
        HANDLE h = nullptr;
        sim::user::CreateFile(watched, u"C:\\notes.txt", FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &h);
        if (h != nullptr) {
            sim::user::CloseHandle(watched, h);
        }
        // A child started by the watched process.
        _EPROCESS* child = sim::user::StartProcess(watched, u"\\Device\\HarddiskVolume1\\Windows\\System32\\cmd.exe",
                                                   u"cmd.exe /c echo hello");
        if (child != nullptr) {
            s.Adopt(child);
        }
        // The probe's two events, the driver's own report of the child's
        // start (the watched process is watched by the loaded driver too), and
        // its create path's reports of the open of notes.txt (open for
        // writing, created).
        const auto seen = responder.Take(5);
        for (const auto& event : seen) {
            json line = {{"event", event.event}};
            if (r.options().hex) {
                line["bytes_hex"] = Hex(event.bytes.data(), event.bytes.size());
            }
            r.Raw(line, "  event " + event.text + (r.options().hex ? "\n        bytes " + Hex(event.bytes.data(), event.bytes.size()) : ""));
        }
        std::vector<int32_t> verdicts;
        {
            std::lock_guard<std::mutex> guard(gProbeLock);
            verdicts = gProbeVerdicts;
        }
        const std::vector<int32_t> expected = {0, 0};
        ok = r.Step("events-delivered", seen.size() == 5 && verdicts == expected,
                    {{"messages", seen.size()}, {"verdicts_returned", verdicts}},
                    std::to_string(seen.size()) + " messages decoded; the send functions returned the client's verdicts");
    }
    client.Disconnect();
    const NTSTATUS stopped = sim::StopDriver(probe);
    r.Step("stop-probe", stopped == STATUS_SUCCESS, {{"status", StatusText(stopped)}}, "probe stopped: " + StatusText(stopped));
    return ok;
}

}  // namespace vsim
