// The communication port: creation, the one client's connection and
// disconnection, and the commands that switch each monitoring class on or off.
#include "channel/port.h"

#include "channel/wire.h"
#include "driver/driver_data.h"

namespace {

// The switch byte a command code addresses; codes come in set/get pairs, one
// pair per switch, in the order of the switch bytes in DriverData.
UCHAR* PortSwitchp(ULONG Code) {
    switch (Code / 2) {
        case 0:
            return &DriverData.FileMonEnabled;
        case 1:
            return &DriverData.ProcMonEnabled;
        case 2:
            return &DriverData.Switch2;
        case 3:
            return &DriverData.RegMonEnabled;
        default:
            return nullptr;
    }
}

BOOLEAN PortIsSetCommandp(ULONG Code) {
    return (Code % 2) == 0 ? TRUE : FALSE;
}

// The backup-limit pair: a 64-bit value where the switches carry a byte.
NTSTATUS PortBackupLimitp(ULONG Code, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                          PULONG ReturnOutputBufferLength) {
    *ReturnOutputBufferLength = 0;
    if (Code == CMD_SET_BACKUP_LIMIT) {
        if (InputBufferLength < PORT_LIMIT_SET_SIZE) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG64 limit = 0;
        // Read before Lock is taken, so a fault never leaves Lock held.
        const NTSTATUS status =
            PlatformCopyFromClient(&limit, static_cast<PUCHAR>(InputBuffer) + PORT_COMMAND_VALUE_OFFSET, sizeof(limit));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        DriverDataLock();
        DriverData.BackupLimit = limit;
        DriverDataUnlock();
        return STATUS_SUCCESS;
    }
    if (OutputBuffer == nullptr || OutputBufferLength < PORT_LIMIT_ANSWER_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    DriverDataLock();
    const ULONG64 limit = DriverData.BackupLimit;
    DriverDataUnlock();
    return PlatformCopyToClient(static_cast<PUCHAR>(OutputBuffer) + PORT_ANSWER_OFFSET, &limit, sizeof(limit));
}

}  // namespace

NTSTATUS PortCreate(PCUNICODE_STRING PortName, PFLT_FILTER Filter, PFLT_PORT* ServerPort, PFLT_CONNECT_NOTIFY ConnectNotify,
                    PFLT_DISCONNECT_NOTIFY DisconnectNotify, PFLT_MESSAGE_NOTIFY MessageNotify, LONG MaxConnections) {
    if (ServerPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ServerPort = nullptr;
    if (PortName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    // The default descriptor admits the system and administrators only.
    PSECURITY_DESCRIPTOR securityDescriptor = nullptr;
    NTSTATUS status = FltBuildDefaultSecurityDescriptor(&securityDescriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        return STATUS_MEMORY_NOT_ALLOCATED;
    }

    // The attributes only describe the name; the Filter Manager does not keep
    // them, so a local copy of the name's header is enough.
    UNICODE_STRING name = *PortName;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, securityDescriptor);

    status = FltCreateCommunicationPort(Filter, ServerPort, &attributes, nullptr, ConnectNotify, DisconnectNotify, MessageNotify,
                                        MaxConnections);
    FltFreeSecurityDescriptor(securityDescriptor);
    return status;
}

NTSTATUS FLTAPI PortConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
                            PVOID* ConnectionCookie) {
    UNREFERENCED_PARAMETER(ServerPortCookie);

    // The slot is the Filter Manager's; we only remember what it holds, so the
    // cookie handed to PortDisconnect later is the one recorded here.
    const ULONG_PTR cookie = ConnectionCookie != nullptr ? reinterpret_cast<ULONG_PTR>(*ConnectionCookie) : 0;
    const PEPROCESS process = IoGetCurrentProcess();
    const HANDLE processId = PsGetProcessId(process);

    // Under Lock against another connect or disconnect. The gates read without
    // it: the identity is published before the port, so a gate that sees the
    // port sees this client's identity with it.
    DriverDataLock();
    if (DriverClientPort() != nullptr) {
        // One client at a time: the Filter Manager's connection limit refuses a
        // second one already; this is the second guard. The new connection
        // stays unrecorded.
        DriverDataUnlock();
        return STATUS_SUCCESS;
    }
    DriverData.ConnectionContext = ConnectionContext;
    DriverData.ConnectionContextSize = SizeOfContext;
    DriverData.ConnectionCookie = cookie;
    DriverSetClientProcess(process, processId);
    DriverSetClientPort(ClientPort);
    DriverDataUnlock();
    return STATUS_SUCCESS;
}

VOID FLTAPI PortDisconnect(PVOID ConnectionCookie) {
    DriverDataLock();
    const BOOLEAN ours = (DriverClientPort() != nullptr &&
                          DriverData.ConnectionCookie == reinterpret_cast<ULONG_PTR>(ConnectionCookie))
                             ? TRUE
                             : FALSE;
    DriverDataUnlock();
    if (!ours) {
        return;
    }

    // FltCloseClientPort runs at passive level, so not under Lock. It closes
    // through the field itself and clears it, which is how a send that is
    // handed the field's address learns that the client is gone. The client's
    // identity stays recorded until the port is closed, so its own requests
    // are never reported in between.
    FltCloseClientPort(DriverData.Filter, &DriverData.ClientPort);

    DriverDataLock();
    // A client that connected in the meantime has recorded itself afresh;
    // its identity is not ours to clear.
    if (DriverClientPort() == nullptr) {
        DriverData.ConnectionContext = nullptr;
        DriverData.ConnectionContextSize = 0;
        DriverData.ConnectionCookie = 0;
        DriverSetClientProcess(nullptr, nullptr);
    }
    DriverDataUnlock();
}

// The client's buffers are its own user memory: each is touched once, through
// the guarded copy, and nothing is decided on client memory in place.
NTSTATUS FLTAPI PortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                            ULONG OutputBufferLength, PULONG ReturnOutputBufferLength) {
    UNREFERENCED_PARAMETER(PortCookie);

    if (InputBuffer == nullptr || InputBufferLength < sizeof(ULONG)) {
        // Too short to carry a command: nothing is read and nothing is written.
        return STATUS_SUCCESS;
    }

    ULONG code = 0;
    NTSTATUS status = PlatformCopyFromClient(&code, static_cast<PUCHAR>(InputBuffer) + PORT_COMMAND_CODE_OFFSET, sizeof(code));
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (code == CMD_SET_BACKUP_LIMIT || code == CMD_GET_BACKUP_LIMIT) {
        return PortBackupLimitp(code, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
    }
    UCHAR* const switchByte = PortSwitchp(code);
    if (switchByte == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }

    if (PortIsSetCommandp(code)) {
        // A set must carry its value byte; a shorter input is refused like a
        // get without room for its answer, instead of reading past the input.
        if (InputBufferLength < PORT_COMMAND_SET_SIZE) {
            *ReturnOutputBufferLength = 0;
            return STATUS_INVALID_PARAMETER;
        }
        UCHAR value = 0;
        // Read before Lock is taken, so a fault never leaves Lock held.
        status = PlatformCopyFromClient(&value, static_cast<PUCHAR>(InputBuffer) + PORT_COMMAND_VALUE_OFFSET, sizeof(value));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // Under Lock against other writers; the gates read the byte without
        // it, so the store is atomic and the next operation sees it.
        DriverDataLock();
        DriverSetSwitch(switchByte, value);  // the raw byte: any non-zero value counts as on
        DriverDataUnlock();
        *ReturnOutputBufferLength = 0;
        return STATUS_SUCCESS;
    }

    // A get needs room for its answer at byte 4.
    if (OutputBuffer == nullptr || OutputBufferLength < PORT_ANSWER_SIZE) {
        *ReturnOutputBufferLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // One atomic read: a get racing a set sees one value or the other.
    const UCHAR value = DriverSwitch(switchByte);
    status = PlatformCopyToClient(static_cast<PUCHAR>(OutputBuffer) + PORT_ANSWER_OFFSET, &value, sizeof(value));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Nothing but the answer byte is written, and the returned length stays 0
    // as clients of this port expect.
    *ReturnOutputBufferLength = 0;
    return STATUS_SUCCESS;
}
