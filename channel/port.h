// The communication port: connection, disconnection and the switch commands.
#pragma once

#include "platform/kernel.h"

NTSTATUS PortCreate(PCUNICODE_STRING PortName, PFLT_FILTER Filter, PFLT_PORT* ServerPort, PFLT_CONNECT_NOTIFY ConnectNotify,
                    PFLT_DISCONNECT_NOTIFY DisconnectNotify, PFLT_MESSAGE_NOTIFY MessageNotify, LONG MaxConnections);
NTSTATUS FLTAPI PortConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
                            PVOID* ConnectionCookie);
VOID FLTAPI PortDisconnect(PVOID ConnectionCookie);
NTSTATUS FLTAPI PortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                            ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
