/*
 * The wire contract between the driver and its client: control codes of the
 * control device, port commands, verdicts and event operation codes, and the
 * layouts of the event messages. Plain C, fixed-width integers only, no kernel
 * include: the driver, the simulated kernel's users, the client library and any
 * other client compile this same file.
 */
#ifndef VETRONA_CHANNEL_WIRE_H
#define VETRONA_CHANNEL_WIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Names of the two roads to the driver. */
#define VETRONA_DEVICE_NAME_W "\\Device\\Vetrona"
#define VETRONA_LINK_NAME_W "\\DosDevices\\Vetrona"
#define VETRONA_PORT_NAME_W "\\VetronaFlt_Com"
#define VETRONA_VERSION_TEXT "0.9.1.0"

/* Control codes: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, read and write access. */
#define IOCTL_GET_VERSION 0x0022DC00u
#define IOCTL_CLEAR_PROCESSES 0x0022E000u
#define IOCTL_ADD_PROCESS 0x0022E004u
#define IOCTL_SET_BACKUP_DIR 0x0022E008u
#define IOCTL_CLEAR_FILE_IDS 0x0022E00Cu

/* Port commands: a PortCommand is read from the message's input buffer. */
#define CMD_SET_FILE_MON 0u
#define CMD_GET_FILE_MON 1u
#define CMD_SET_PROC_MON 2u
#define CMD_GET_PROC_MON 3u
#define CMD_SET_SWITCH2 4u
#define CMD_GET_SWITCH2 5u
#define CMD_SET_REG_MON 6u
#define CMD_GET_REG_MON 7u

#define PORT_COMMAND_CODE_OFFSET 0
#define PORT_COMMAND_VALUE_OFFSET 8
#define PORT_COMMAND_SET_SIZE 9 /* bytes a set command must carry */
#define PORT_ANSWER_OFFSET 4
#define PORT_ANSWER_SIZE 5 /* bytes a get command's output must have */

/* The client's reply to an event: a signed 32-bit verdict. */
typedef int32_t Verdict;
#define VerdictNone (-1)
#define VerdictDeny 1
#define VerdictBackup 3

/* File operation codes carried by a FileEvent. */
#define FileOpNone (-1)
#define FileOpExecute 0
#define FileOpDeleteAccess 1
#define FileOpWriteAccess 2
#define FileOpRename 3
#define FileOpDelete 4
#define FileOpWrite 5
#define FileOpCloseModified 7
#define FileOpScsiWrite 8
#define FileOpAtaWrite 9
#define FileOpCreated 10
#define FileOpOpen 11

/* Registry operation codes carried by a RegistryEvent. */
#define RegOpKeyCreated 0
#define RegOpKeyRenamed 1
#define RegOpKeyDeleted 2
#define RegOpValueCreated 3
#define RegOpValueModified 4
#define RegOpValueDeleted 5

/* Message classes. */
#define EVENT_CLASS_FILE 0u
#define EVENT_CLASS_REGISTRY 1u
#define EVENT_CLASS_PROCESS 3u

#define EVENT_MAX_SIZE 0xFFFFu
#define EVENT_SIZE_ALLOWANCE 104u
#define EVENT_TEXT_BUDGET (EVENT_MAX_SIZE - EVENT_SIZE_ALLOWANCE) /* 65431 */

/* Message layouts follow (added with the message builders). */

#ifdef __cplusplus
}
#endif

#endif /* VETRONA_CHANNEL_WIRE_H */
