// User side of Filter Manager communication ports, framed as the filter
// library frames it: a FILTER_MESSAGE_HEADER before each message a client
// receives, a FILTER_REPLY_HEADER before each reply it sends, sizes that
// include those headers, and HRESULTs converted from the kernel's statuses.
// Each call runs as a thread of the given process. The port handle is closed
// with the object manager's CloseHandle (sim::user::CloseHandle or
// sim::ob::CloseHandle); closing it disconnects the client.
#pragma once

#include "sim/public/kernel.h"

#include <chrono>
#include <cstdint>

struct _EPROCESS;

namespace sim {
// Kernel time scale for the Filter Manager's timeouts (see sim/flt/flt.h):
// 0.001 makes a 30-second wait take 30 ms.
void SetKernelTimeScale(double scale);
namespace flt {
void SetKernelTimeScale(double scale);
}
}  // namespace sim

namespace sim::user {

typedef int32_t HRESULT;
typedef uint32_t DWORD, *LPDWORD;
typedef uint16_t WORD;

constexpr HRESULT S_OK = 0;
// HRESULT_FROM_WIN32 of the Win32 errors the port calls return.
constexpr HRESULT kHrFileNotFound = static_cast<HRESULT>(0x80070002);      // ERROR_FILE_NOT_FOUND
constexpr HRESULT kHrAccessDenied = static_cast<HRESULT>(0x80070005);      // ERROR_ACCESS_DENIED
constexpr HRESULT kHrInvalidHandle = static_cast<HRESULT>(0x80070006);     // ERROR_INVALID_HANDLE
constexpr HRESULT kHrInvalidParameter = static_cast<HRESULT>(0x80070057);  // ERROR_INVALID_PARAMETER
constexpr HRESULT kHrInsufficientBuffer = static_cast<HRESULT>(0x8007007A); // ERROR_INSUFFICIENT_BUFFER
constexpr HRESULT kHrWaitTimeout = static_cast<HRESULT>(0x80070102);       // WAIT_TIMEOUT
constexpr HRESULT kHrMoreData = static_cast<HRESULT>(0x800700EA);          // ERROR_MORE_DATA
constexpr HRESULT kHrConnectionCountLimit = static_cast<HRESULT>(0x800704D6); // ERROR_CONNECTION_COUNT_LIMIT
constexpr HRESULT kHrNoWaiterForReply = static_cast<HRESULT>(0x801F0020);  // ERROR_FLT_NO_WAITER_FOR_REPLY

// FLT_PORT_FLAG_SYNC_HANDLE: the only option FilterConnectCommunicationPort takes.
constexpr DWORD FLT_PORT_FLAG_SYNC_HANDLE = 0x00000001;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

typedef struct _FILTER_MESSAGE_HEADER {
    ULONG ReplyLength;  // size of the reply expected, FILTER_REPLY_HEADER included; 0 when none is
    ULONGLONG MessageId;
} FILTER_MESSAGE_HEADER, *PFILTER_MESSAGE_HEADER;

typedef struct _FILTER_REPLY_HEADER {
    NTSTATUS Status;
    ULONGLONG MessageId;
} FILTER_REPLY_HEADER, *PFILTER_REPLY_HEADER;

static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16, "FILTER_MESSAGE_HEADER is 16 bytes");
static_assert(offsetof(FILTER_MESSAGE_HEADER, MessageId) == 8, "FILTER_MESSAGE_HEADER.MessageId");
static_assert(sizeof(FILTER_REPLY_HEADER) == 16, "FILTER_REPLY_HEADER is 16 bytes");
static_assert(offsetof(FILTER_REPLY_HEADER, MessageId) == 8, "FILTER_REPLY_HEADER.MessageId");

// The user library's conversion of a kernel status: success codes give S_OK,
// Filter Manager statuses (0xC01Cxxxx) 0x801Fxxxx, everything else
// HRESULT_FROM_WIN32 of the Win32 error the status maps to.
HRESULT HResultFromNtStatus(NTSTATUS status);
// The Win32 error a status maps to (RtlNtStatusToDosError), for the statuses
// the simulated kernel produces; ERROR_MR_MID_NOT_FOUND (317) for others.
DWORD Win32ErrorFromNtStatus(NTSTATUS status);

// Connects `process` to the server port `portName` ("\VetronaFlt_Com").
// Context bytes (at most 65535, WORD) are handed to the driver's ConnectNotify.
// On failure *port is INVALID_HANDLE_VALUE: unknown name 0x80070002, access
// denied 0x80070005, port full 0x800704D6, the driver's refusal its status.
HRESULT FilterConnectCommunicationPort(_EPROCESS* process, PCWSTR portName, DWORD options, const void* context,
                                       WORD sizeOfContext, HANDLE* port);

// Waits for the next message. `messageBuffer` receives the header and the
// driver's bytes; `messageBufferSize` counts the header. A buffer too small
// for the message fails with 0x8007007A and the message stays for the next
// call. A disconnected port fails with 0x80070006.
HRESULT FilterGetMessage(_EPROCESS* process, HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer,
                         DWORD messageBufferSize);
// The same with a limit on the host's wait (tests): 0x80070102 when it passes.
HRESULT FilterGetMessage(_EPROCESS* process, HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer, DWORD messageBufferSize,
                         std::chrono::milliseconds hostTimeout);

// Replies to a message: the header (MessageId of the message) then the data;
// `replyBufferSize` counts the header. 0x801F0020 when nobody waits for that
// id (the sender timed out, or wanted no reply).
HRESULT FilterReplyMessage(_EPROCESS* process, HANDLE port, PFILTER_REPLY_HEADER replyBuffer, DWORD replyBufferSize);

// Sends a command to the driver: its MessageNotify runs in this thread with
// the buffers as they are. *bytesReturned receives what the driver reports
// having written; the driver's status comes back as an HRESULT.
HRESULT FilterSendMessage(_EPROCESS* process, HANDLE port, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                          DWORD outBufferSize, LPDWORD bytesReturned);

}  // namespace sim::user
