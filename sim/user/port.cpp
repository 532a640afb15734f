// User side of the communication ports: connect, get, reply, send, and the
// close of the port handle.
#include "sim/user/memory.h"
#include "sim/user/fltuser.h"

#include "platform/kernel.h"
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/flt/flt.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"

#include <algorithm>
#include <optional>
#include <string>

namespace sim::user {

namespace {

using sim::flt::Connection;
using sim::flt::Message;
using sim::flt::PendingGet;

constexpr DWORD kHeaderSize = 16;
constexpr DWORD kErrorMrMidNotFound = 317;

// The port handle's close: the application's last handle goes, so the
// connection goes with it and the driver's DisconnectNotify runs in the
// closing thread.
void ClosePortHandlep(_EPROCESS* process, void* object, ACCESS_MASK /*grantedAccess*/) {
    // A handle is closed in its process's context (its own thread, or the
    // exiting process's); attach when the caller is not already there.
    std::optional<sim::ThreadScope> scope;
    if (process != nullptr && sim::CurrentProcess() != process) {
        scope.emplace(process, sim::InThread::Main);
    }
    auto* raw = static_cast<Connection*>(object);
    std::shared_ptr<Connection> connection = raw->clientPort->connection;
    if (!connection) {
        return;  // the kernel was reset underneath
    }
    {
        std::lock_guard<std::mutex> guard(connection->lock);
        connection->userClosed = true;
    }
    _FLT_FILTER* filter = connection->serverPort->filter;
    if (sim::flt::AcquireRundown(filter)) {
        sim::flt::DisconnectConnection(connection, true);
        sim::flt::ReleaseRundown(filter);
    } else {
        // The filter is being unregistered: it notifies the driver itself.
        sim::flt::DisconnectConnection(connection, false);
    }
}

const sim::ob::HandleProcedures kPortHandleProcedures{"FilterConnectionPort", ClosePortHandlep, nullptr};

// The connection behind a port handle of `process`, or null.
std::shared_ptr<Connection> LookupPortp(_EPROCESS* process, HANDLE port) {
    sim::ob::HandleEntry entry;
    if (!NT_SUCCESS(sim::ob::LookupHandle(process, port, sim::ob::ObjectType::ClientPort, &entry))) {
        return nullptr;
    }
    auto* raw = static_cast<Connection*>(entry.object);
    return raw->clientPort->connection;
}

HRESULT GetMessagep(_EPROCESS* process, HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer, DWORD messageBufferSize,
                    const std::chrono::milliseconds* hostTimeout) {
    sim::ThreadScope scope(process, sim::InThread::Main);
    std::shared_ptr<Connection> connection = LookupPortp(process, port);
    if (!connection) {
        return kHrInvalidHandle;
    }
    if (messageBuffer == nullptr) {
        return kHrInvalidParameter;
    }
    if (messageBufferSize < kHeaderSize) {
        return kHrInsufficientBuffer;
    }
    const auto deadline =
        hostTimeout != nullptr ? std::chrono::steady_clock::now() + *hostTimeout : std::chrono::steady_clock::time_point::max();

    std::unique_lock<std::mutex> guard(connection->lock);
    if (!connection->connected) {
        return kHrInvalidHandle;
    }
    if (!connection->queue.empty()) {
        // The oldest message is claimed and copied with the lock let go; on
        // a fault it goes back to the head of the queue.
        Message* message = connection->queue.front();
        if (sim::flt::TooLargeFor(*message, messageBufferSize)) {
            return HResultFromNtStatus(STATUS_BUFFER_TOO_SMALL);
        }
        connection->queue.pop_front();
        message->state = Message::State::Delivering;
        NTSTATUS status = sim::flt::DeliverClaimed(guard, *connection, message, messageBuffer, messageBufferSize);
        if (!NT_SUCCESS(status)) {
            connection->queue.push_front(message);
        }
        return HResultFromNtStatus(status);
    }
    PendingGet getter;
    getter.buffer = messageBuffer;
    getter.size = messageBufferSize;
    connection->getters.push_back(&getter);
    for (;;) {
        if (getter.done) {
            return HResultFromNtStatus(getter.status);
        }
        if (getter.claimed) {
            // A sender is copying into the buffer: wait for it to finish.
            getter.wake.wait(guard);
            continue;
        }
        if (!connection->connected || std::chrono::steady_clock::now() >= deadline) {
            auto& getters = connection->getters;
            getters.erase(std::remove(getters.begin(), getters.end(), &getter), getters.end());
            return connection->connected ? kHrWaitTimeout : kHrInvalidHandle;
        }
        if (hostTimeout != nullptr) {
            getter.wake.wait_until(guard, deadline);
        } else {
            getter.wake.wait(guard);
        }
    }
}

}  // namespace

DWORD Win32ErrorFromNtStatus(NTSTATUS status) {
    switch (static_cast<ULONG>(status)) {
    case 0x00000000: return 0;                       // STATUS_SUCCESS
    case 0x00000102: return 258;                     // STATUS_TIMEOUT -> WAIT_TIMEOUT
    case 0x00000103: return 997;                     // STATUS_PENDING -> ERROR_IO_PENDING
    case 0x80000002: return 998;                     // STATUS_DATATYPE_MISALIGNMENT -> ERROR_NOACCESS
    case 0x80000005: return 234;                     // STATUS_BUFFER_OVERFLOW -> ERROR_MORE_DATA
    case 0xC0000001: return 31;                      // STATUS_UNSUCCESSFUL -> ERROR_GEN_FAILURE
    case 0xC0000002: return 1;                       // STATUS_NOT_IMPLEMENTED -> ERROR_INVALID_FUNCTION
    case 0xC0000004: return 24;                      // STATUS_INFO_LENGTH_MISMATCH -> ERROR_BAD_LENGTH
    case 0xC0000005: return 998;                     // STATUS_ACCESS_VIOLATION -> ERROR_NOACCESS
    case 0xC0000008: return 6;                       // STATUS_INVALID_HANDLE
    case 0xC000000D: return 87;                      // STATUS_INVALID_PARAMETER
    case 0xC0000010: return 1;                       // STATUS_INVALID_DEVICE_REQUEST -> ERROR_INVALID_FUNCTION
    case 0xC0000017: return 8;                       // STATUS_NO_MEMORY -> ERROR_NOT_ENOUGH_MEMORY
    case 0xC0000022: return 5;                       // STATUS_ACCESS_DENIED
    case 0xC0000023: return 122;                     // STATUS_BUFFER_TOO_SMALL -> ERROR_INSUFFICIENT_BUFFER
    case 0xC0000024: return 6;                       // STATUS_OBJECT_TYPE_MISMATCH -> ERROR_INVALID_HANDLE
    case 0xC0000033: return 123;                     // STATUS_OBJECT_NAME_INVALID -> ERROR_INVALID_NAME
    case 0xC0000034: return 2;                       // STATUS_OBJECT_NAME_NOT_FOUND -> ERROR_FILE_NOT_FOUND
    case 0xC0000035: return 183;                     // STATUS_OBJECT_NAME_COLLISION -> ERROR_ALREADY_EXISTS
    case 0xC0000037: return 6;                       // STATUS_PORT_DISCONNECTED -> ERROR_INVALID_HANDLE
    case 0xC000003A: return 3;                       // STATUS_OBJECT_PATH_NOT_FOUND -> ERROR_PATH_NOT_FOUND
    case 0xC000003B: return 161;                     // STATUS_OBJECT_PATH_SYNTAX_BAD -> ERROR_BAD_PATHNAME
    case 0xC0000079: return 1338;                    // STATUS_INVALID_SECURITY_DESCR -> ERROR_INVALID_SECURITY_DESCR
    case 0xC000009A: return 1450;                    // STATUS_INSUFFICIENT_RESOURCES -> ERROR_NO_SYSTEM_RESOURCES
    case 0xC00000A0: return 487;                     // STATUS_MEMORY_NOT_ALLOCATED -> ERROR_INVALID_ADDRESS
    case 0xC00000BB: return 50;                      // STATUS_NOT_SUPPORTED
    case 0xC00000E8: return 1784;                    // STATUS_INVALID_USER_BUFFER
    case 0xC0000120: return 995;                     // STATUS_CANCELLED -> ERROR_OPERATION_ABORTED
    case 0xC0000246: return 1238;                    // STATUS_CONNECTION_COUNT_LIMIT
    default: return kErrorMrMidNotFound;
    }
}

HRESULT HResultFromNtStatus(NTSTATUS status) {
    if (status == STATUS_SUCCESS) {
        return S_OK;
    }
    const ULONG value = static_cast<ULONG>(status);
    if ((value & 0x0FFF0000u) == 0x001C0000u) {
        // FILTER_HRESULT_FROM_FLT_NTSTATUS: facility FLT becomes 0x1F.
        return static_cast<HRESULT>((value & 0x8000FFFFu) | (0x1Fu << 16));
    }
    if (NT_SUCCESS(status) && status != STATUS_TIMEOUT && status != STATUS_PENDING) {
        return S_OK;
    }
    const DWORD error = Win32ErrorFromNtStatus(status);
    return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

HRESULT FilterConnectCommunicationPort(_EPROCESS* process, PCWSTR portName, DWORD options, const void* context,
                                       WORD sizeOfContext, HANDLE* port) {
    if (port == nullptr) {
        return kHrInvalidParameter;
    }
    *port = INVALID_HANDLE_VALUE;
    sim::ThreadScope scope(process, sim::InThread::Main);
    if (portName == nullptr || (options & ~FLT_PORT_FLAG_SYNC_HANDLE) != 0 ||
        (context == nullptr) != (sizeOfContext == 0)) {
        return kHrInvalidParameter;
    }
    void* body = nullptr;
    NTSTATUS status = sim::ob::LookupObject(std::u16string_view(portName), sim::ob::ObjectType::Port, &body);
    if (!NT_SUCCESS(status)) {
        return HResultFromNtStatus(status);
    }
    _FLT_PORT* server = static_cast<_FLT_PORT*>(body);
    _FLT_FILTER* filter = server->filter;

    ACCESS_MASK granted = 0;
    status = sim::security::AccessCheck(server->security.empty() ? nullptr : server->security.data(), process,
                                        FLT_PORT_CONNECT, sim::flt::PortGenericMapping(), &granted);
    if (!NT_SUCCESS(status)) {
        return HResultFromNtStatus(status);
    }

    if (!sim::flt::AcquireRundown(filter)) {
        return HResultFromNtStatus(STATUS_FLT_DELETING_OBJECT);
    }
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (server->closed) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (server->connectionCount >= server->maxConnections) {
            status = STATUS_CONNECTION_COUNT_LIMIT;
        } else {
            ++server->connectionCount;  // the slot is held while ConnectNotify runs
        }
    }
    if (!NT_SUCCESS(status)) {
        sim::flt::ReleaseRundown(filter);
        return HResultFromNtStatus(status);
    }

    auto connection = std::make_shared<Connection>();
    _FLT_PORT* clientPort = sim::flt::NewPort();
    clientPort->isServer = false;
    clientPort->filter = filter;
    clientPort->connection = connection;
    connection->serverPort = server;
    connection->clientPort = clientPort;
    connection->process = process;

    // The driver sees a kernel copy of the context, valid while ConnectNotify runs.
    std::vector<unsigned char> contextCopy(sizeOfContext);
    status = CopyFromProgram(contextCopy.data(), context, sizeOfContext);
    if (NT_SUCCESS(status)) {
        PVOID cookie = nullptr;
        RequireIrqlAtMost(PASSIVE_LEVEL, "ConnectNotify");
        OnKernelStack("port connect", StackEntry::SystemCall, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(server->connectNotify), "port connect");
            const CallbackEntry entry = EnterDriverCallback();
            status = server->connectNotify(clientPort, server->serverCookie,
                                           sizeOfContext != 0 ? contextCopy.data() : nullptr, sizeOfContext, &cookie);
            CheckCallbackReturn(entry, "port connect callback");
        });
        connection->cookie = cookie;
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(filter->lock);
            --server->connectionCount;
        }
        {
            std::lock_guard<std::mutex> guard(connection->lock);
            connection->kernelClosed = true;  // refused: the driver owns no client port
        }
        sim::flt::ReleaseRundown(filter);
        return HResultFromNtStatus(status);
    }
    {
        std::lock_guard<std::mutex> guard(connection->lock);
        connection->accepted = true;
        connection->connected = true;
    }
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        filter->connections.push_back(connection);
    }
    HANDLE handle = nullptr;
    status = sim::ob::CreateHandle(process, false, sim::ob::ObjectType::ClientPort, connection.get(), granted,
                                   &kPortHandleProcedures, &handle);
    sim::flt::ReleaseRundown(filter);
    if (!NT_SUCCESS(status)) {
        ClosePortHandlep(process, connection.get(), granted);
        return HResultFromNtStatus(status);
    }
    *port = handle;
    return S_OK;
}

HRESULT FilterGetMessage(_EPROCESS* process, HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer,
                         DWORD messageBufferSize) {
    return GetMessagep(process, port, messageBuffer, messageBufferSize, nullptr);
}

HRESULT FilterGetMessage(_EPROCESS* process, HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer, DWORD messageBufferSize,
                         std::chrono::milliseconds hostTimeout) {
    return GetMessagep(process, port, messageBuffer, messageBufferSize, &hostTimeout);
}

HRESULT FilterReplyMessage(_EPROCESS* process, HANDLE port, PFILTER_REPLY_HEADER replyBuffer, DWORD replyBufferSize) {
    sim::ThreadScope scope(process, sim::InThread::Main);
    std::shared_ptr<Connection> connection = LookupPortp(process, port);
    if (!connection) {
        return kHrInvalidHandle;
    }
    if (replyBuffer == nullptr || replyBufferSize < kHeaderSize) {
        return kHrInvalidParameter;
    }
    FILTER_REPLY_HEADER header{};
    NTSTATUS status = CopyFromProgram(&header, replyBuffer, sizeof(header));
    if (!NT_SUCCESS(status)) {
        return HResultFromNtStatus(status);
    }
    std::unique_lock<std::mutex> guard(connection->lock);
    if (!connection->connected) {
        return kHrInvalidHandle;
    }
    auto it = connection->awaitingReply.find(header.MessageId);
    if (it == connection->awaitingReply.end()) {
        return HResultFromNtStatus(STATUS_FLT_NO_WAITER_FOR_REPLY);
    }
    Message* message = it->second;
    connection->awaitingReply.erase(it);
    // Claimed: the sender cannot leave while its reply buffer is written,
    // and the copy runs with the lock let go.
    message->state = Message::State::Replying;
    // The header is the Filter Manager's; only the data behind it reaches the
    // driver, cut to the driver's buffer.
    const DWORD dataLength = replyBufferSize - kHeaderSize;
    const ULONG copied = std::min<ULONG>(dataLength, message->replyCapacity);
    void* target = message->replyBuffer;
    guard.unlock();
    status = CopyFromProgram(target, reinterpret_cast<unsigned char*>(replyBuffer) + kHeaderSize, copied);
    guard.lock();
    if (!NT_SUCCESS(status)) {
        // Still awaiting a reply: the client may answer again.
        message->state = Message::State::Delivered;
        connection->awaitingReply[message->id] = message;
        message->wake.notify_one();
        return HResultFromNtStatus(status);
    }
    message->replyCopied = copied;
    message->replyOverflow = dataLength > message->replyCapacity;
    // Counted before the sender wakes, so a sender that has its reply finds
    // the reply counted.
    sim::flt::CountStatp(&sim::flt::PortStats::replies);
    message->state = Message::State::Replied;
    message->wake.notify_one();
    guard.unlock();
    return S_OK;
}

HRESULT FilterSendMessage(_EPROCESS* process, HANDLE port, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                          DWORD outBufferSize, LPDWORD bytesReturned) {
    sim::ThreadScope scope(process, sim::InThread::Main);
    std::shared_ptr<Connection> connection = LookupPortp(process, port);
    if (!connection) {
        return kHrInvalidHandle;
    }
    if (bytesReturned == nullptr) {
        return kHrInvalidParameter;
    }
    *bytesReturned = 0;
    {
        std::lock_guard<std::mutex> guard(connection->lock);
        if (!connection->connected) {
            return kHrInvalidHandle;
        }
    }
    _FLT_PORT* server = connection->serverPort;
    if (server->messageNotify == nullptr) {
        return HResultFromNtStatus(STATUS_INVALID_DEVICE_REQUEST);
    }
    _FLT_FILTER* filter = server->filter;
    if (!sim::flt::AcquireRundown(filter)) {
        return kHrInvalidHandle;
    }
    ULONG returned = 0;
    RequireIrqlAtMost(PASSIVE_LEVEL, "MessageNotify");
    // The driver gets the application's own buffers, as user addresses.
    // Overlapping buffers share one view, as they share pages.
    const auto inStart = reinterpret_cast<uintptr_t>(inBuffer);
    const auto outStart = reinterpret_cast<uintptr_t>(outBuffer);
    const bool overlap = inBuffer != nullptr && outBuffer != nullptr && inBufferSize != 0 && outBufferSize != 0 &&
                         inStart < outStart + outBufferSize && outStart < inStart + inBufferSize;
    const uintptr_t unionStart = std::min(inStart, outStart);
    const uintptr_t unionEnd = std::max(inStart + inBufferSize, outStart + outBufferSize);
    UserView inView(overlap ? reinterpret_cast<void*>(unionStart) : inBuffer,
                    overlap ? unionEnd - unionStart : inBufferSize, overlap);
    UserView outView(overlap ? nullptr : outBuffer, overlap ? 0 : outBufferSize, true);
    void* userIn = overlap ? static_cast<uint8_t*>(inView.address()) + (inStart - unionStart) : inView.address();
    void* userOut = overlap ? static_cast<uint8_t*>(inView.address()) + (outStart - unionStart) : outView.address();
    NTSTATUS status = STATUS_SUCCESS;
    OnKernelStack("port message", StackEntry::SystemCall, [&] {
        const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(server->messageNotify), "port message");
        const CallbackEntry entry = EnterDriverCallback();
        status = server->messageNotify(connection->cookie, userIn, inBufferSize, userOut, outBufferSize, &returned);
        CheckCallbackReturn(entry, "port message callback");
    });
    sim::flt::ReleaseRundown(filter);
    sim::flt::CountStatp(&sim::flt::PortStats::userMessages);
    *bytesReturned = returned;
    return HResultFromNtStatus(status);
}

}  // namespace sim::user
