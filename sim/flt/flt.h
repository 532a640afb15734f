// Filter Manager of the simulated kernel: the filter object (what PFLT_FILTER
// points at) and the communication port objects (what PFLT_PORT points at).
// The I/O side of the Filter Manager (instances, volumes, callback dispatch,
// contexts, names) lives in other sources and hangs its state on the filter
// object through the fields below. Host code only.
//
// Lifetime: filter and port objects stay allocated until the kernel is reset,
// even after they are unregistered or closed, so a stale pointer handed back
// to a routine is recognised (and stops the run) instead of being read as
// freed memory.
#pragma once

#include "sim/ke/core.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _EPROCESS;
struct _ETHREAD;
struct _FLT_INSTANCE;

namespace sim::flt {

// Registration record sizes as the versions define them (x64).
constexpr USHORT kRegistrationSizeV0200 = 0x58;  // 0x0200, 0x0201
constexpr USHORT kRegistrationSizeV0202 = 0x68;  // adds transaction + NormalizeNameComponentEx
constexpr USHORT kRegistrationSizeV0203 = 0x70;  // adds SectionNotificationCallback

// Pool tag of the descriptors FltBuildDefaultSecurityDescriptor hands out
// ("FMsd" in memory), so one the driver forgets to free shows in the leak report.
constexpr ULONG kSecurityDescriptorTag = 'dsMF';

enum class FilterState {
    Registered,    // FltRegisterFilter returned it
    Unregistering, // FltUnregisterFilter is tearing it down
    Unregistered,  // gone; the object is kept only to recognise stale pointers
};

struct Connection;

}  // namespace sim::flt

namespace sim::security {
struct GenericMapping;
}

// The filter object.
struct _FLT_FILTER {
    static constexpr ULONG kMagic = 0x746c6946;  // "Filt"
    ULONG magic = kMagic;

    PDRIVER_OBJECT driver = nullptr;
    // Copy of the registration record, trimmed to what its Version defines
    // (fields the record's Size does not cover are zero).
    FLT_REGISTRATION registration{};
    USHORT version = 0;
    // The operation table up to (not including) IRP_MJ_OPERATION_END and the
    // context registrations up to (not including) FLT_CONTEXT_END, copied.
    std::vector<FLT_OPERATION_REGISTRATION> operations;
    std::vector<FLT_CONTEXT_REGISTRATION> contextRegistrations;

    std::atomic<bool> started{false};
    std::atomic<sim::flt::FilterState> state{sim::flt::FilterState::Registered};

    // Guards the containers below and the rundown count.
    std::mutex lock;
    std::condition_variable rundownIdle;
    // Callbacks of this filter in flight (operation callbacks, port
    // notifications). FltUnregisterFilter waits for it to drop to zero.
    int rundown = 0;

    // Per-volume instances; owned and filled by the I/O side.
    std::vector<_FLT_INSTANCE*> instances;
    // Server ports created on this filter and not yet closed.
    std::vector<struct _FLT_PORT*> serverPorts;
    // Live connections (a client connected and not yet disconnected).
    std::vector<std::shared_ptr<sim::flt::Connection>> connections;
};

namespace sim::flt {

// One message a kernel sender has posted on a connection. It lives on the
// sender's stack; the sender sleeps on `wake` (with the connection's lock)
// and only whoever moves its message on wakes it.
struct Message {
    ULONGLONG id = 0;
    const void* data = nullptr;  // the sender's buffer; the sender blocks until it is delivered
    ULONG length = 0;
    bool wantsReply = false;
    void* replyBuffer = nullptr;  // the sender's reply buffer (kernel memory)
    ULONG replyCapacity = 0;
    // Delivering and Replying: a getter's or replier's copy is running outside
    // the connection's lock; the message is in no list meanwhile, and the
    // sender may not leave until the copy is over.
    enum class State { Queued, Delivering, Delivered, Replying, Replied, Abandoned } state = State::Queued;
    ULONG replyCopied = 0;
    bool replyOverflow = false;
    std::condition_variable wake;
};

// A user-mode FilterGetMessage waiting on a connection. It lives on the
// getter's stack and the getter sleeps on `wake`.
struct PendingGet {
    void* buffer = nullptr;  // FILTER_MESSAGE_HEADER + room for the message
    ULONG size = 0;
    bool claimed = false;  // a sender took it off the list and is copying into its buffer
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    std::condition_variable wake;
};

// One client connection: the kernel client port the driver holds and the
// user handle the application holds both refer to it.
struct Connection {
    struct _FLT_PORT* serverPort = nullptr;
    struct _FLT_PORT* clientPort = nullptr;  // the driver's PFLT_PORT for this connection
    _EPROCESS* process = nullptr;            // the connecting process
    PVOID cookie = nullptr;                  // what ConnectNotify stored as the connection cookie

    std::mutex lock;
    bool accepted = false;           // ConnectNotify accepted it
    bool connected = false;          // accepted and not torn down yet
    bool disconnectNotified = false; // DisconnectNotify has run (exactly once)
    bool kernelClosed = false;       // FltCloseClientPort ran
    bool userClosed = false;         // the application's last handle is closed
    std::deque<Message*> queue;      // messages waiting for a FilterGetMessage
    std::deque<PendingGet*> getters; // FilterGetMessage calls waiting for a message
    std::map<ULONGLONG, Message*> awaitingReply;
};

}  // namespace sim::flt

// A communication port: a server port (FltCreateCommunicationPort) or the
// kernel end of one connection (the ClientPort of ConnectNotify).
struct _FLT_PORT {
    static constexpr ULONG kMagic = 0x74726f50;  // "Port"
    ULONG magic = kMagic;
    bool isServer = false;
    _FLT_FILTER* filter = nullptr;

    // Server port.
    std::u16string name;                 // as inserted in the object namespace
    std::vector<unsigned char> security; // copy of the descriptor it was created with (empty: none)
    PVOID serverCookie = nullptr;
    PFLT_CONNECT_NOTIFY connectNotify = nullptr;
    PFLT_DISCONNECT_NOTIFY disconnectNotify = nullptr;
    PFLT_MESSAGE_NOTIFY messageNotify = nullptr;
    LONG maxConnections = 0;
    LONG connectionCount = 0;  // guarded by the filter's lock
    bool closed = false;       // FltCloseCommunicationPort ran (guarded by the filter's lock)

    // Client port.
    std::shared_ptr<sim::flt::Connection> connection;
};

namespace sim::flt {

// Kernel time scale: every Filter Manager timeout is multiplied by it before
// it is waited for on the host (1.0 = real time; 0.001 makes 30 s take 30 ms).
void SetKernelTimeScale(double scale);
double KernelTimeScale();

// Filters that are registered (not yet unregistered), oldest first.
std::vector<_FLT_FILTER*> RegisteredFilters();
// The registered filter of a driver object, or null.
_FLT_FILTER* FindFilter(PDRIVER_OBJECT driver);
// A pointer the driver handed in: the live filter, or a stop of the run
// naming `routine` (unknown pointer, or a filter already unregistered).
_FLT_FILTER* CheckFilter(PFLT_FILTER filter, const char* routine);

// Rundown protection for the filter's callbacks. Acquire fails (false) once
// FltUnregisterFilter has begun; each successful Acquire needs one Release.
bool AcquireRundown(_FLT_FILTER* filter);
void ReleaseRundown(_FLT_FILTER* filter);

// Hooks of the I/O side of the Filter Manager. `start` runs inside
// FltStartFiltering (attach instances; an error fails FltStartFiltering),
// `teardown` inside FltUnregisterFilter after the clients are disconnected and
// before the wait for callbacks in flight (detach instances, drain).
void RegisterFilterHooks(std::function<NTSTATUS(_FLT_FILTER*)> start, std::function<void(_FLT_FILTER*)> teardown);

// Port traffic since boot.
struct PortStats {
    uint64_t messagesSent = 0;   // FltSendMessage calls that delivered their message
    uint64_t replies = 0;        // replies handed to a waiting sender
    uint64_t timeouts = 0;       // FltSendMessage calls that ended in STATUS_TIMEOUT
    uint64_t disconnects = 0;    // connections torn down
    uint64_t userMessages = 0;   // FilterSendMessage calls that reached MessageNotify
};
PortStats Stats();

// One FltSendMessage call as the driver made it: the address of the client
// port variable it passed and its timeout (absent: wait forever).
struct SendCall {
    PFLT_PORT* clientPortVariable = nullptr;
    bool hasTimeout = false;
    LONGLONG timeout = 0;  // 100 ns units, negative for a relative wait
};
// The latest calls (at most 1024), oldest first; cleared by a reset.
std::vector<SendCall> SendCalls();
// How many FltSendMessage calls returned each status since the last reset.
std::map<NTSTATUS, uint64_t> SendResults();

// Number of live connections on the server port named `name` (0 when none).
LONG ConnectionCount(std::u16string_view name);

// ---------------------------------------------------------------------------
// Internal to the Filter Manager sources.

// Tears one connection down: waiting senders and getters are released, the
// connection no longer counts against the port's limit. With `notify` the
// port's DisconnectNotify runs too (at most once per connection).
void DisconnectConnection(const std::shared_ptr<Connection>& connection, bool notify);
// A new port object, kept until reset.
_FLT_PORT* NewPort();
// A port pointer handed in by the driver: a known port of the wanted kind, or a stop.
_FLT_PORT* CheckPort(PFLT_PORT port, bool server, const char* routine);
// A message does not fit a getter's buffer of `size` bytes.
bool TooLargeFor(const Message& message, ULONG size);
// Copies a message the caller has claimed (state Delivering, in no list)
// into a getter's buffer. Called with `guard` (the connection's lock) held;
// the copy runs with it released. On success the message is Delivered (and
// awaits its reply when it wants one); on a fault it is Queued again, and the
// caller puts it back. Its sender is woken either way.
NTSTATUS DeliverClaimed(std::unique_lock<std::mutex>& guard, Connection& connection, Message* message, void* buffer,
                        ULONG size);
// Wakes every sender and getter waiting on the connection (its lock held),
// after it went down.
void WakeAllLocked(Connection& connection);
// A simulated thread was marked terminating: a FltSendMessage it is blocked
// in returns STATUS_THREAD_IS_TERMINATING.
void WakeBlockedSender(_ETHREAD* thread);
// Access rights of the port object type.
const security::GenericMapping& PortGenericMapping();
void CountStatp(uint64_t PortStats::*field);
void ResetPorts();

}  // namespace sim::flt

namespace sim {
// The same setting under the kernel-wide name.
void SetKernelTimeScale(double scale);
}  // namespace sim
