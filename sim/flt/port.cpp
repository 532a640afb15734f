// Filter Manager communication ports, kernel side: the default port
// descriptor, server ports, closing client ports and FltSendMessage.
#include "platform/kernel.h"
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/flt/flt.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <cmath>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

namespace sim::flt {

namespace {

std::mutex gPortsLock;
// Every port object since boot, kept until reset so stale pointers are recognised.
std::vector<std::unique_ptr<_FLT_PORT>>& AllPorts() {
    static std::vector<std::unique_ptr<_FLT_PORT>> ports;
    return ports;
}
std::unordered_set<const _FLT_PORT*>& KnownPorts() {
    static std::unordered_set<const _FLT_PORT*> ports;
    return ports;
}

// Readers of a driver's client-port variable (FltSendMessage) share it;
// FltCloseClientPort takes it alone to read the variable and set it to NULL.
std::shared_mutex gClientPortVariableLock;

std::atomic<double> gTimeScale{1.0};
std::atomic<ULONGLONG> gNextMessageId{1};

struct AtomicPortStats {
    std::atomic<uint64_t> messagesSent{0};
    std::atomic<uint64_t> replies{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> userMessages{0};
};
AtomicPortStats gStats;

// Senders blocked in FltSendMessage, by simulated thread, so marking a thread
// terminating wakes the one it concerns. Sharded: a send registers and
// unregisters itself, and two senders rarely share a shard.
struct BlockedSender {
    Connection* connection;
    Message* message;
};
constexpr size_t kBlockedShards = 64;
struct alignas(64) BlockedShard {
    std::mutex lock;
    std::unordered_map<_ETHREAD*, BlockedSender> senders;
};
BlockedShard gBlocked[kBlockedShards];

// The arguments of the latest FltSendMessage calls (a bounded log).
constexpr size_t kSendLog = 1024;
std::mutex gSendLogLock;
std::deque<SendCall> gSendLog;
std::map<NTSTATUS, uint64_t> gSendResults;

BlockedShard& BlockedShardOf(_ETHREAD* thread) {
    return gBlocked[(reinterpret_cast<uintptr_t>(thread) >> 4) % kBlockedShards];
}

}  // namespace

std::map<NTSTATUS, uint64_t> SendResults() {
    std::lock_guard<std::mutex> guard(gSendLogLock);
    return gSendResults;
}

std::vector<SendCall> SendCalls() {
    std::lock_guard<std::mutex> guard(gSendLogLock);
    return std::vector<SendCall>(gSendLog.begin(), gSendLog.end());
}

void SetKernelTimeScale(double scale) { gTimeScale.store(scale > 0 ? scale : 1.0); }
double KernelTimeScale() { return gTimeScale.load(); }

}  // namespace sim::flt

void sim::SetKernelTimeScale(double scale) { sim::flt::SetKernelTimeScale(scale); }

namespace sim::flt {

PortStats Stats() {
    PortStats stats;
    stats.messagesSent = gStats.messagesSent.load();
    stats.replies = gStats.replies.load();
    stats.timeouts = gStats.timeouts.load();
    stats.disconnects = gStats.disconnects.load();
    stats.userMessages = gStats.userMessages.load();
    return stats;
}

void CountStatp(uint64_t PortStats::*field) {
    // Also under the routine counters, so a benchmark sees port traffic beside
    // the other costs of an operation.
    const char* name = field == &PortStats::messagesSent ? "FltSendMessage:delivered"
                       : field == &PortStats::replies    ? "FilterReplyMessage:accepted"
                       : field == &PortStats::timeouts   ? "FltSendMessage:timeout"
                       : field == &PortStats::disconnects ? "FltPort:disconnect"
                                                          : "FilterSendMessage:delivered";
    sim::Count(name);
    std::atomic<uint64_t>& cell = field == &PortStats::messagesSent ? gStats.messagesSent
                                  : field == &PortStats::replies    ? gStats.replies
                                  : field == &PortStats::timeouts   ? gStats.timeouts
                                  : field == &PortStats::disconnects ? gStats.disconnects
                                                                     : gStats.userMessages;
    cell.fetch_add(1, std::memory_order_relaxed);
}

_FLT_PORT* NewPort() {
    auto port = std::make_unique<_FLT_PORT>();
    _FLT_PORT* raw = port.get();
    std::lock_guard<std::mutex> guard(gPortsLock);
    AllPorts().push_back(std::move(port));
    KnownPorts().insert(raw);
    return raw;
}

// A port pointer the driver handed in: a known port of the wanted kind, or a stop.
_FLT_PORT* CheckPort(PFLT_PORT port, bool server, const char* routine) {
    bool known;
    {
        std::lock_guard<std::mutex> guard(gPortsLock);
        known = KnownPorts().count(port) != 0;
    }
    if (!known || port->isServer != server) {
        BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                 std::string(routine) + (server ? ": not a server port" : ": not a client port"),
                 reinterpret_cast<ULONG_PTR>(port));
    }
    return port;
}

LONG ConnectionCount(std::u16string_view name) {
    std::lock_guard<std::mutex> guard(gPortsLock);
    for (auto& port : AllPorts()) {
        if (port->isServer && !port->closed && sim::ob::NamesEqual(port->name, name)) {
            std::lock_guard<std::mutex> filterGuard(port->filter->lock);
            return port->connectionCount;
        }
    }
    return 0;
}

constexpr ULONG kGetHeader = 16;

bool TooLargeFor(const Message& message, ULONG size) {
    return size < kGetHeader || size - kGetHeader < message.length;
}

NTSTATUS DeliverClaimed(std::unique_lock<std::mutex>& guard, Connection& connection, Message* message, void* buffer,
                        ULONG size) {
    struct {
        ULONG ReplyLength;
        ULONG Padding;
        ULONGLONG MessageId;
    } header{};
    // The application is told the size of the whole reply it may send: the
    // reply header plus the data the driver has room for.
    header.ReplyLength = message->wantsReply ? message->replyCapacity + kGetHeader : 0;
    header.MessageId = message->id;
    const void* data = message->data;
    const ULONG length = message->length;
    guard.unlock();
    // The sender stays blocked while its message is Delivering, so its
    // buffer stays valid; the client's buffer may be anything.
    NTSTATUS status = sim::CopyToProgram(buffer, &header, sizeof(header));
    if (NT_SUCCESS(status)) {
        status = sim::CopyToProgram(static_cast<unsigned char*>(buffer) + kGetHeader, data, length);
    }
    if (NT_SUCCESS(status)) {
        CountStatp(&PortStats::messagesSent);
    }
    guard.lock();
    if (NT_SUCCESS(status)) {
        message->state = Message::State::Delivered;
        if (message->wantsReply) {
            connection.awaitingReply[message->id] = message;
        }
    } else {
        message->state = Message::State::Queued;
    }
    message->wake.notify_one();
    return status;
}

void WakeAllLocked(Connection& connection) {
    for (Message* message : connection.queue) {
        message->wake.notify_one();
    }
    for (auto& entry : connection.awaitingReply) {
        entry.second->wake.notify_one();
    }
    for (PendingGet* getter : connection.getters) {
        getter->wake.notify_one();
    }
}

void WakeBlockedSender(_ETHREAD* thread) {
    BlockedShard& shard = BlockedShardOf(thread);
    std::lock_guard<std::mutex> guard(shard.lock);
    auto it = shard.senders.find(thread);
    if (it != shard.senders.end()) {
        std::lock_guard<std::mutex> connectionGuard(it->second.connection->lock);
        it->second.message->wake.notify_one();
    }
}

void DisconnectConnection(const std::shared_ptr<Connection>& connection, bool notify) {
    bool wasConnected;
    bool claim;
    {
        std::lock_guard<std::mutex> guard(connection->lock);
        wasConnected = connection->connected;
        connection->connected = false;
        claim = notify && connection->accepted && !connection->disconnectNotified;
        if (claim) {
            connection->disconnectNotified = true;
        }
        WakeAllLocked(*connection);
    }
    _FLT_PORT* server = connection->serverPort;
    _FLT_FILTER* filter = server->filter;
    if (wasConnected || claim) {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (wasConnected) {
            --server->connectionCount;
        }
        if (claim) {
            auto& list = filter->connections;
            list.erase(std::remove(list.begin(), list.end(), connection), list.end());
        }
    }
    if (wasConnected) {
        CountStatp(&PortStats::disconnects);
    }
    if (claim) {
        RequireIrqlAtMost(PASSIVE_LEVEL, "DisconnectNotify");
        sim::OnKernelStack("port disconnect", sim::StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(server->disconnectNotify), "port disconnect");
            const sim::CallbackEntry entry = sim::EnterDriverCallback();
            server->disconnectNotify(connection->cookie);
            sim::CheckCallbackReturn(entry, "port disconnect callback");
        });
    }
}

void ResetPorts() {
    {
        std::lock_guard<std::mutex> guard(gSendLogLock);
        gSendLog.clear();
        gSendResults.clear();
    }
    std::lock_guard<std::mutex> guard(gPortsLock);
    for (auto& port : AllPorts()) {
        if (port->isServer && !port->closed) {
            sim::ob::RemoveObject(port->name, port.get());
        }
        if (port->connection) {
            // Break the cycle connection -> client port -> connection.
            std::lock_guard<std::mutex> connectionGuard(port->connection->lock);
            port->connection->connected = false;
            WakeAllLocked(*port->connection);
        }
    }
    for (auto& port : AllPorts()) {
        port->connection.reset();
    }
    AllPorts().clear();
    KnownPorts().clear();
    gTimeScale.store(1.0);
    gStats.messagesSent = 0;
    gStats.replies = 0;
    gStats.timeouts = 0;
    gStats.disconnects = 0;
    gStats.userMessages = 0;
}

// Access rights of the port object type.
const sim::security::GenericMapping& PortGenericMapping() {
    // STANDARD_RIGHTS_READ, _WRITE and _EXECUTE are all READ_CONTROL.
    constexpr ACCESS_MASK kReadControl = 0x00020000;
    static const sim::security::GenericMapping mapping{
        kReadControl | FLT_PORT_CONNECT,
        kReadControl | FLT_PORT_CONNECT,
        kReadControl | FLT_PORT_CONNECT,
        FLT_PORT_ALL_ACCESS,
    };
    return mapping;
}

}  // namespace sim::flt

using namespace sim::flt;

namespace {

// Host deadline of a kernel timeout: NULL waits forever, a negative value is
// relative in 100 ns units, a positive one an absolute system time (100 ns
// since 1601), zero a poll. Kernel time runs at the configured scale.
struct Deadline {
    bool infinite = true;
    std::chrono::steady_clock::time_point at;
};

Deadline ComputeDeadlinep(const LARGE_INTEGER* timeout) {
    Deadline deadline;
    if (timeout == nullptr) {
        return deadline;
    }
    deadline.infinite = false;
    const auto now = std::chrono::steady_clock::now();
    LONGLONG interval100ns;
    if (timeout->QuadPart <= 0) {
        interval100ns = -timeout->QuadPart;
    } else {
        // 100 ns units between 1601-01-01 and 1970-01-01.
        constexpr LONGLONG kEpochDelta = 116444736000000000LL;
        const auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        const LONGLONG systemNow = kEpochDelta + sinceUnix.count() / 100;
        interval100ns = std::max<LONGLONG>(0, timeout->QuadPart - systemNow);
    }
    const double hostNs = static_cast<double>(interval100ns) * 100.0 * KernelTimeScale();
    const double capped = std::min(hostNs, 1.0e18);
    deadline.at = now + std::chrono::nanoseconds(static_cast<long long>(std::llround(capped)));
    return deadline;
}

bool ThreadTerminatingp() {
    _ETHREAD* thread = sim::CurrentThread();
    return thread != nullptr && thread->terminating.load();
}

// A terminating thread cannot wait: its send fails before anything is
// delivered whenever it would have to (a reply expected, or no reader waiting
// to take the message at once). Only a message that needs no reply and meets
// a waiting reader still goes out. Called with the connection's lock held.
bool TerminatingSenderMustFailp(const Connection& connection, bool wantsReply) {
    return ThreadTerminatingp() && (wantsReply || connection.getters.empty());
}

void AbandonLocked(Connection& connection, Message& message) {
    if (message.state == Message::State::Queued) {
        auto& queue = connection.queue;
        queue.erase(std::remove(queue.begin(), queue.end(), &message), queue.end());
    } else if (message.state == Message::State::Delivered) {
        connection.awaitingReply.erase(message.id);
    }
    message.state = Message::State::Abandoned;
}

}  // namespace

extern "C" NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                             ACCESS_MASK DesiredAccess) {
    sim::Count("FltBuildDefaultSecurityDescriptor");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltBuildDefaultSecurityDescriptor");
    if (SecurityDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *SecurityDescriptor = nullptr;
    NTSTATUS status = sim::TakeInjectedFailure("FltBuildDefaultSecurityDescriptor");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return sim::security::BuildSystemAdminDescriptor(DesiredAccess, kSecurityDescriptorTag, SecurityDescriptor);
}

extern "C" VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    sim::Count("FltFreeSecurityDescriptor");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltFreeSecurityDescriptor");
    if (SecurityDescriptor != nullptr) {
        ExFreePoolWithTag(SecurityDescriptor, kSecurityDescriptorTag);
    }
}

extern "C" NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort,
                                                      POBJECT_ATTRIBUTES ObjectAttributes, PVOID ServerPortCookie,
                                                      PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                                      PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                                      PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections) {
    sim::Count("FltCreateCommunicationPort");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltCreateCommunicationPort");
    if (ServerPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ServerPort = nullptr;
    _FLT_FILTER* filter = CheckFilter(Filter, "FltCreateCommunicationPort");
    NTSTATUS status = sim::TakeInjectedFailure("FltCreateCommunicationPort");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr ||
        (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0 || ConnectNotifyCallback == nullptr ||
        DisconnectNotifyCallback == nullptr || MaxConnections <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes->RootDirectory != nullptr) {
        sim::NotImplemented("FltCreateCommunicationPort (name relative to a root directory)");
    }
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    if ((name->Length & 1) != 0 || name->Length > name->MaximumLength || (name->Length != 0 && name->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (name->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    std::vector<unsigned char> security;
    if (ObjectAttributes->SecurityDescriptor != nullptr) {
        auto copy = sim::security::CopyDescriptor(ObjectAttributes->SecurityDescriptor);
        if (copy.empty()) {
            return STATUS_INVALID_SECURITY_DESCR;
        }
        security.assign(copy.begin(), copy.end());
    } else {
        // No descriptor: the object gets the System token's default, which
        // admits SYSTEM and Administrators only.
        auto copy = sim::security::DescriptorFromSddl("D:(A;;GA;;;SY)(A;;GA;;;BA)");
        if (copy) {
            security.assign(copy->begin(), copy->end());
        }
    }

    {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (filter->state.load() != FilterState::Registered) {
            return STATUS_FLT_DELETING_OBJECT;
        }
    }

    _FLT_PORT* port = NewPort();
    port->isServer = true;
    port->filter = filter;
    port->name.assign(name->Buffer, name->Length / sizeof(WCHAR));
    port->security = std::move(security);
    port->serverCookie = ServerPortCookie;
    port->connectNotify = ConnectNotifyCallback;
    port->disconnectNotify = DisconnectNotifyCallback;
    port->messageNotify = MessageNotifyCallback;
    port->maxConnections = MaxConnections;

    status = sim::ob::InsertObject(port->name, sim::ob::ObjectType::Port, port);
    if (!NT_SUCCESS(status)) {
        port->closed = true;
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        filter->serverPorts.push_back(port);
    }
    *ServerPort = port;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort) {
    sim::Count("FltCloseCommunicationPort");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseCommunicationPort");
    if (ServerPort == nullptr) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltCloseCommunicationPort: NULL port");
    }
    _FLT_PORT* port = CheckPort(ServerPort, true, "FltCloseCommunicationPort");
    _FLT_FILTER* filter = port->filter;
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (port->closed) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                          "FltCloseCommunicationPort: port already closed", reinterpret_cast<ULONG_PTR>(port));
        }
        port->closed = true;
        auto& list = filter->serverPorts;
        list.erase(std::remove(list.begin(), list.end(), port), list.end());
    }
    // No new connections from here on; the ones made stay until they are closed.
    sim::ob::RemoveObject(port->name, port);
}

extern "C" VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort) {
    sim::Count("FltCloseClientPort");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseClientPort");
    _FLT_FILTER* filter = CheckFilter(Filter, "FltCloseClientPort");
    if (ClientPort == nullptr) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltCloseClientPort: NULL variable address");
    }
    PFLT_PORT value;
    {
        // The driver reads the variable without its own lock (a send's early
        // test, a connect's check), so the clear is one atomic exchange.
        std::unique_lock<std::shared_mutex> guard(gClientPortVariableLock);
        value = __atomic_exchange_n(ClientPort, nullptr, __ATOMIC_ACQ_REL);
    }
    if (value == nullptr) {
        return;
    }
    _FLT_PORT* port = CheckPort(value, false, "FltCloseClientPort");
    if (port->filter != filter) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                      "FltCloseClientPort: port belongs to another filter", reinterpret_cast<ULONG_PTR>(port),
                      reinterpret_cast<ULONG_PTR>(filter));
    }
    std::shared_ptr<Connection> connection = port->connection;
    {
        std::lock_guard<std::mutex> guard(connection->lock);
        if (connection->kernelClosed) {
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "FltCloseClientPort: client port closed twice",
                          reinterpret_cast<ULONG_PTR>(port));
        }
        connection->kernelClosed = true;
    }
    DisconnectConnection(connection, false);
}

namespace {
NTSTATUS FltSendMessagep(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                         PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout);
}  // namespace

extern "C" NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer,
                                          ULONG SenderBufferLength, PVOID ReplyBuffer, PULONG ReplyLength,
                                          PLARGE_INTEGER Timeout) {
    const NTSTATUS status =
        FltSendMessagep(Filter, ClientPort, SenderBuffer, SenderBufferLength, ReplyBuffer, ReplyLength, Timeout);
    std::lock_guard<std::mutex> guard(gSendLogLock);
    ++gSendResults[status];
    return status;
}

namespace {
NTSTATUS FltSendMessagep(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                         PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout) {
    sim::Count("FltSendMessage");
    sim::RequireIrqlAtMost(APC_LEVEL, "FltSendMessage");
    CheckFilter(Filter, "FltSendMessage");
    if (ClientPort == nullptr || (ReplyBuffer != nullptr && ReplyLength == nullptr) ||
        (SenderBuffer == nullptr && SenderBufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(gSendLogLock);
        gSendLog.push_back({ClientPort, Timeout != nullptr, Timeout != nullptr ? Timeout->QuadPart : 0});
        if (gSendLog.size() > kSendLog) {
            gSendLog.pop_front();
        }
    }
    NTSTATUS status = sim::TakeInjectedFailure("FltSendMessage");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<Connection> connection;
    {
        std::shared_lock<std::shared_mutex> guard(gClientPortVariableLock);
        PFLT_PORT value = __atomic_load_n(ClientPort, __ATOMIC_ACQUIRE);
        if (value == nullptr) {
            return STATUS_PORT_DISCONNECTED;
        }
        connection = CheckPort(value, false, "FltSendMessage")->connection;
    }

    const Deadline deadline = ComputeDeadlinep(Timeout);
    Message message;
    message.id = gNextMessageId.fetch_add(1);
    message.data = SenderBuffer;
    message.length = SenderBufferLength;
    message.wantsReply = ReplyBuffer != nullptr;
    message.replyBuffer = ReplyBuffer;
    message.replyCapacity = ReplyBuffer != nullptr ? *ReplyLength : 0;

    // Marking this thread terminating wakes it (registered before the
    // connection's lock is taken, unregistered after it is let go).
    _ETHREAD* self = sim::CurrentThread();
    struct Registration {
        _ETHREAD* thread;
        Registration(_ETHREAD* t, Connection* connection, Message* message) : thread(t) {
            if (thread != nullptr) {
                BlockedShard& shard = BlockedShardOf(thread);
                std::lock_guard<std::mutex> guard(shard.lock);
                shard.senders[thread] = BlockedSender{connection, message};
            }
        }
        ~Registration() {
            if (thread != nullptr) {
                BlockedShard& shard = BlockedShardOf(thread);
                std::lock_guard<std::mutex> guard(shard.lock);
                shard.senders.erase(thread);
            }
        }
    } registration(self, connection.get(), &message);

    std::unique_lock<std::mutex> guard(connection->lock);
    if (!connection->connected) {
        return STATUS_PORT_DISCONNECTED;
    }
    if (TerminatingSenderMustFailp(*connection, message.wantsReply)) {
        return STATUS_THREAD_IS_TERMINATING;
    }
    // A FilterGetMessage already waiting takes the message at once (the copy
    // into its buffer runs outside the lock); a getter whose buffer cannot
    // hold it fails and the next one is tried.
    while (!connection->getters.empty() && message.state == Message::State::Queued) {
        PendingGet* getter = connection->getters.front();
        connection->getters.pop_front();
        if (TooLargeFor(message, getter->size)) {
            getter->status = STATUS_BUFFER_TOO_SMALL;
        } else {
            getter->claimed = true;
            message.state = Message::State::Delivering;
            getter->status = DeliverClaimed(guard, *connection, &message, getter->buffer, getter->size);
        }
        getter->done = true;
        getter->wake.notify_one();
    }
    if (message.state == Message::State::Queued) {
        connection->queue.push_back(&message);
    }

    for (;;) {
        if (message.state == Message::State::Replied) {
            *ReplyLength = message.replyCopied;
            return message.replyOverflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
        }
        if (!message.wantsReply && message.state == Message::State::Delivered) {
            return STATUS_SUCCESS;
        }
        if (message.state == Message::State::Delivering || message.state == Message::State::Replying) {
            // A copy touches this message's buffers: it cannot be abandoned yet.
            message.wake.wait(guard);
            continue;
        }
        if (!connection->connected) {
            AbandonLocked(*connection, message);
            return STATUS_PORT_DISCONNECTED;
        }
        if (ThreadTerminatingp()) {
            AbandonLocked(*connection, message);
            return STATUS_THREAD_IS_TERMINATING;
        }
        if (deadline.infinite) {
            message.wake.wait(guard);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline.at) {
            AbandonLocked(*connection, message);
            guard.unlock();
            CountStatp(&PortStats::timeouts);
            return STATUS_TIMEOUT;
        }
        message.wake.wait_until(guard, deadline.at);
    }
}
}  // namespace
