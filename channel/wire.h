/*
 * The wire contract between the driver and its client: control codes of the
 * control device, port commands, verdicts and event operation codes, and the
 * layouts of the event messages. Plain C, fixed-width integers only, no kernel
 * include: the driver, the simulated kernel's users, the client library and any
 * other client compile this same file.
 */
#ifndef VETRONA_CHANNEL_WIRE_H
#define VETRONA_CHANNEL_WIRE_H

#include <stddef.h>
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
/* The largest file (bytes) the driver copies before a watched program changes
 * it, when the client answers VerdictBackup to an open for writing, a deletion
 * or a rename over a file; 0, the value at load, copies nothing. The set
 * carries a 64-bit value at byte 8; the get answers it at byte 4. */
#define CMD_SET_BACKUP_LIMIT 8u
#define CMD_GET_BACKUP_LIMIT 9u

#define PORT_COMMAND_CODE_OFFSET 0
#define PORT_COMMAND_VALUE_OFFSET 8
#define PORT_COMMAND_SET_SIZE 9 /* bytes a set command must carry */
#define PORT_ANSWER_OFFSET 4
#define PORT_ANSWER_SIZE 5 /* bytes a get command's output must have */
#define PORT_LIMIT_SET_SIZE 16   /* bytes the backup-limit set must carry */
#define PORT_LIMIT_ANSWER_SIZE 12 /* bytes the backup-limit get's output must have */

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
/* A hard link: a second name for the file, carried as a rename's destination.
 * Code 6 stays unused. */
#define FileOpLink 12

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

/*
 * Message layouts. Every message is one block of EventHeader.Size bytes: the
 * fixed part of its class, then its texts, then zero bytes up to the 104-byte
 * allowance. All integers are little-endian. The structures are packed: the
 * fixed parts end on odd boundaries (102, 54, 42 bytes) and the texts follow
 * them directly.
 */
#if defined(_MSC_VER) || defined(__GNUC__)
#pragma pack(push, 1)
#endif

typedef struct EventHeader {
    uint32_t Size;  /* whole message, bytes; never above EVENT_MAX_SIZE */
    uint32_t Class; /* EVENT_CLASS_* */
} EventHeader;

/* Parameter area of a FileEvent (bytes 80 to 95), by request kind. */
typedef struct FileEventCreateParams {
    uint32_t CreateOptions;  /* options in the low 24 bits, disposition in the high 8 */
    uint16_t FileAttributes;
    uint16_t ShareAccess;
    uint8_t Reserved[8];
} FileEventCreateParams;

typedef struct FileEventRenameParams {
    uint8_t ReplaceIfExists; /* first byte of the caller's rename information */
    uint8_t Reserved1[3];
    uint32_t DestNameLength;
    uint8_t DestNameTruncated;
    uint8_t Reserved2[3];
    uint32_t DestNameOffset; /* counted from byte 8 of the message: NameLength + 94 */
} FileEventRenameParams;

typedef struct FileEventWriteParams {
    uint32_t WriteLength;
    uint32_t Reserved;
    int64_t WriteOffset;
} FileEventWriteParams;

typedef union FileEventParams {
    FileEventCreateParams Create;
    FileEventRenameParams Rename;
    FileEventWriteParams Write;
    uint8_t Raw[16];
} FileEventParams;

/* Class 0. Name follows at FILE_EVENT_NAME_OFFSET, the rename destination
 * right after it. Component offsets count from the first byte of Name. */
typedef struct FileEvent {
    EventHeader Header;
    uint32_t VolumeOffset;
    uint32_t VolumeLength;
    uint32_t FinalComponentOffset;
    uint32_t FinalComponentLength;
    uint32_t ExtensionOffset;
    uint32_t ExtensionLength;
    uint32_t ParentDirOffset;
    uint32_t ParentDirLength;
    uint32_t FileObjectFlags;
    uint32_t Reserved1;
    uint64_t FileObject;
    uint32_t ProcessId;
    uint8_t MajorFunction;
    uint8_t Reserved2[3];
    int32_t Operation; /* FileOp* */
    uint32_t Reserved3;
    uint64_t FileId;
    FileEventParams Params;
    uint32_t NameLength;
    uint8_t NameTruncated;
    uint8_t Reserved4;
} FileEvent;

/* Class 1. Texts follow at REGISTRY_EVENT_TEXT_OFFSET: key path, name, data;
 * the *Offset fields count from the start of that text area. */
typedef struct RegistryEvent {
    EventHeader Header;
    uint32_t ProcessId;
    int32_t Operation; /* RegOp* */
    uint32_t NameLength;
    uint8_t NameTruncated;
    uint8_t Reserved1[3];
    uint32_t NameOffset;
    uint32_t DataType;
    uint32_t DataLength;
    uint8_t DataTruncated;
    uint8_t Reserved2[3];
    uint32_t DataOffset;
    uint32_t KeyPathLength;
    uint32_t KeyPathOffset; /* always 0 */
    uint8_t KeyPathTruncated;
    uint8_t Reserved3;
} RegistryEvent;

/* Class 3. Texts follow at PROCESS_EVENT_TEXT_OFFSET: image name, then the
 * command line (starts only). */
typedef struct ProcessEvent {
    EventHeader Header;
    uint32_t ProcessId;
    uint32_t ParentProcessId;
    uint8_t IsCreate;
    uint8_t Reserved1[3];
    uint32_t ImageNameLength;
    uint32_t ImageNameOffset; /* always 0 */
    uint8_t ImageNameTruncated;
    uint8_t Reserved2[3];
    uint32_t CommandLineLength;
    uint32_t CommandLineOffset; /* equals ImageNameLength */
    uint8_t CommandLineTruncated;
    uint8_t Reserved3;
} ProcessEvent;

#if defined(_MSC_VER) || defined(__GNUC__)
#pragma pack(pop)
#endif

#define FILE_EVENT_NAME_OFFSET 102u
#define FILE_EVENT_DEST_BASE 8u /* DestNameOffset counts from this byte */
#define REGISTRY_EVENT_TEXT_OFFSET 54u
#define PROCESS_EVENT_TEXT_OFFSET 42u

#ifdef __cplusplus
#define VETRONA_WIRE_ASSERT(e, m) static_assert(e, m)
#else
#define VETRONA_WIRE_ASSERT(e, m) _Static_assert(e, m)
#endif
#define VETRONA_WIRE_AT(type, field, off) VETRONA_WIRE_ASSERT(offsetof(type, field) == (off), #type "." #field)

VETRONA_WIRE_ASSERT(sizeof(EventHeader) == 8, "EventHeader is 8 bytes");
VETRONA_WIRE_AT(EventHeader, Size, 0);
VETRONA_WIRE_AT(EventHeader, Class, 4);

VETRONA_WIRE_ASSERT(sizeof(FileEventParams) == 16, "parameter area is 16 bytes");
VETRONA_WIRE_AT(FileEventCreateParams, CreateOptions, 0);
VETRONA_WIRE_AT(FileEventCreateParams, FileAttributes, 4);
VETRONA_WIRE_AT(FileEventCreateParams, ShareAccess, 6);
VETRONA_WIRE_AT(FileEventRenameParams, ReplaceIfExists, 0);
VETRONA_WIRE_AT(FileEventRenameParams, DestNameLength, 4);
VETRONA_WIRE_AT(FileEventRenameParams, DestNameTruncated, 8);
VETRONA_WIRE_AT(FileEventRenameParams, DestNameOffset, 12);
VETRONA_WIRE_AT(FileEventWriteParams, WriteLength, 0);
VETRONA_WIRE_AT(FileEventWriteParams, WriteOffset, 8);

VETRONA_WIRE_ASSERT(sizeof(FileEvent) == FILE_EVENT_NAME_OFFSET, "FileEvent fixed part is 102 bytes");
VETRONA_WIRE_AT(FileEvent, Header, 0);
VETRONA_WIRE_AT(FileEvent, VolumeOffset, 8);
VETRONA_WIRE_AT(FileEvent, VolumeLength, 12);
VETRONA_WIRE_AT(FileEvent, FinalComponentOffset, 16);
VETRONA_WIRE_AT(FileEvent, FinalComponentLength, 20);
VETRONA_WIRE_AT(FileEvent, ExtensionOffset, 24);
VETRONA_WIRE_AT(FileEvent, ExtensionLength, 28);
VETRONA_WIRE_AT(FileEvent, ParentDirOffset, 32);
VETRONA_WIRE_AT(FileEvent, ParentDirLength, 36);
VETRONA_WIRE_AT(FileEvent, FileObjectFlags, 40);
VETRONA_WIRE_AT(FileEvent, FileObject, 48);
VETRONA_WIRE_AT(FileEvent, ProcessId, 56);
VETRONA_WIRE_AT(FileEvent, MajorFunction, 60);
VETRONA_WIRE_AT(FileEvent, Operation, 64);
VETRONA_WIRE_AT(FileEvent, FileId, 72);
VETRONA_WIRE_AT(FileEvent, Params, 80);
VETRONA_WIRE_AT(FileEvent, NameLength, 96);
VETRONA_WIRE_AT(FileEvent, NameTruncated, 100);

VETRONA_WIRE_ASSERT(sizeof(RegistryEvent) == REGISTRY_EVENT_TEXT_OFFSET, "RegistryEvent fixed part is 54 bytes");
VETRONA_WIRE_AT(RegistryEvent, ProcessId, 8);
VETRONA_WIRE_AT(RegistryEvent, Operation, 12);
VETRONA_WIRE_AT(RegistryEvent, NameLength, 16);
VETRONA_WIRE_AT(RegistryEvent, NameTruncated, 20);
VETRONA_WIRE_AT(RegistryEvent, NameOffset, 24);
VETRONA_WIRE_AT(RegistryEvent, DataType, 28);
VETRONA_WIRE_AT(RegistryEvent, DataLength, 32);
VETRONA_WIRE_AT(RegistryEvent, DataTruncated, 36);
VETRONA_WIRE_AT(RegistryEvent, DataOffset, 40);
VETRONA_WIRE_AT(RegistryEvent, KeyPathLength, 44);
VETRONA_WIRE_AT(RegistryEvent, KeyPathOffset, 48);
VETRONA_WIRE_AT(RegistryEvent, KeyPathTruncated, 52);

VETRONA_WIRE_ASSERT(sizeof(ProcessEvent) == PROCESS_EVENT_TEXT_OFFSET, "ProcessEvent fixed part is 42 bytes");
VETRONA_WIRE_AT(ProcessEvent, ProcessId, 8);
VETRONA_WIRE_AT(ProcessEvent, ParentProcessId, 12);
VETRONA_WIRE_AT(ProcessEvent, IsCreate, 16);
VETRONA_WIRE_AT(ProcessEvent, ImageNameLength, 20);
VETRONA_WIRE_AT(ProcessEvent, ImageNameOffset, 24);
VETRONA_WIRE_AT(ProcessEvent, ImageNameTruncated, 28);
VETRONA_WIRE_AT(ProcessEvent, CommandLineLength, 32);
VETRONA_WIRE_AT(ProcessEvent, CommandLineOffset, 36);
VETRONA_WIRE_AT(ProcessEvent, CommandLineTruncated, 40);

VETRONA_WIRE_ASSERT(EVENT_TEXT_BUDGET == 65431u, "text budget of one message");

#ifdef __cplusplus
}
#endif

#endif /* VETRONA_CHANNEL_WIRE_H */
