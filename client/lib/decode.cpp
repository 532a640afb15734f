// Checked decoding of event messages.
#include "client/lib/decode.h"

#include <cstring>

namespace vetrona::client {

namespace {

template <typename T>
T Load(std::span<const uint8_t> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// The text at [start + offset, + length) of a message of `size` bytes, or
// false when it does not lie within [start, size). 64-bit sums: no wrap-around.
bool TextAt(std::span<const uint8_t> message, uint64_t start, uint64_t offset, uint64_t length, bool truncated,
            TextView* out) {
    *out = TextView{};
    if (length == 0) {
        return true;  // absent text; its offset means nothing
    }
    const uint64_t begin = start + offset;
    if (begin < start || begin > message.size() || length > message.size() - begin) {
        return false;
    }
    out->bytes = message.subspan(static_cast<size_t>(begin), static_cast<size_t>(length));
    out->truncated = truncated;
    return true;
}

ComponentView Component(const TextView& name, uint32_t offset, uint32_t length) {
    ComponentView c;
    c.offset = offset;
    c.length = length;
    const uint64_t end = uint64_t{offset} + length;
    if (length != 0 && end <= name.bytes.size()) {
        c.present = true;
        c.text.bytes = name.bytes.subspan(offset, length);
    }
    return c;
}

DecodeError DecodeFile(std::span<const uint8_t> m, FileEventView* v) {
    if (m.size() < FILE_EVENT_NAME_OFFSET) {
        return DecodeError::TooShort;
    }
    const FileEvent e = Load<FileEvent>(m, 0);
    v->size = e.Header.Size;
    v->fileObjectFlags = e.FileObjectFlags;
    v->fileObject = e.FileObject;
    v->processId = e.ProcessId;
    v->majorFunction = e.MajorFunction;
    v->operation = e.Operation;
    v->fileId = e.FileId;
    v->params = e.Params;
    if (!TextAt(m, FILE_EVENT_NAME_OFFSET, 0, e.NameLength, e.NameTruncated != 0, &v->name)) {
        return DecodeError::TextOutOfRange;
    }
    v->volume = Component(v->name, e.VolumeOffset, e.VolumeLength);
    v->finalComponent = Component(v->name, e.FinalComponentOffset, e.FinalComponentLength);
    v->extension = Component(v->name, e.ExtensionOffset, e.ExtensionLength);
    v->parentDir = Component(v->name, e.ParentDirOffset, e.ParentDirLength);
    // Only a set-information request carries the rename layout; the
    // destination must lie after the name, within the message.
    if (e.MajorFunction == 0x06 /* IRP_MJ_SET_INFORMATION */ && e.Params.Rename.DestNameLength != 0) {
        const uint64_t offset = e.Params.Rename.DestNameOffset;
        if (FILE_EVENT_DEST_BASE + offset < FILE_EVENT_NAME_OFFSET + uint64_t{e.NameLength}) {
            return DecodeError::TextOutOfRange;
        }
        if (!TextAt(m, FILE_EVENT_DEST_BASE, offset, e.Params.Rename.DestNameLength,
                    e.Params.Rename.DestNameTruncated != 0, &v->destName)) {
            return DecodeError::TextOutOfRange;
        }
    }
    return DecodeError::None;
}

DecodeError DecodeRegistry(std::span<const uint8_t> m, RegistryEventView* v) {
    if (m.size() < REGISTRY_EVENT_TEXT_OFFSET) {
        return DecodeError::TooShort;
    }
    const RegistryEvent e = Load<RegistryEvent>(m, 0);
    v->size = e.Header.Size;
    v->processId = e.ProcessId;
    v->operation = e.Operation;
    v->dataType = e.DataType;
    if (!TextAt(m, REGISTRY_EVENT_TEXT_OFFSET, e.KeyPathOffset, e.KeyPathLength, e.KeyPathTruncated != 0, &v->keyPath) ||
        !TextAt(m, REGISTRY_EVENT_TEXT_OFFSET, e.NameOffset, e.NameLength, e.NameTruncated != 0, &v->name) ||
        !TextAt(m, REGISTRY_EVENT_TEXT_OFFSET, e.DataOffset, e.DataLength, e.DataTruncated != 0, &v->data)) {
        return DecodeError::TextOutOfRange;
    }
    return DecodeError::None;
}

DecodeError DecodeProcess(std::span<const uint8_t> m, ProcessEventView* v) {
    if (m.size() < PROCESS_EVENT_TEXT_OFFSET) {
        return DecodeError::TooShort;
    }
    const ProcessEvent e = Load<ProcessEvent>(m, 0);
    v->size = e.Header.Size;
    v->processId = e.ProcessId;
    v->parentProcessId = e.ParentProcessId;
    v->isCreate = e.IsCreate != 0;
    if (!TextAt(m, PROCESS_EVENT_TEXT_OFFSET, e.ImageNameOffset, e.ImageNameLength, e.ImageNameTruncated != 0,
                &v->imageName) ||
        !TextAt(m, PROCESS_EVENT_TEXT_OFFSET, e.CommandLineOffset, e.CommandLineLength, e.CommandLineTruncated != 0,
                &v->commandLine)) {
        return DecodeError::TextOutOfRange;
    }
    return DecodeError::None;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string TextView::Utf16() const {
    std::u16string s(bytes.size() / 2, u'\0');
    if (!s.empty()) {
        std::memcpy(s.data(), bytes.data(), s.size() * 2);
    }
    return s;
}

std::string TextView::Utf8() const {
    const std::u16string units = Utf16();
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

const char* DecodeErrorName(DecodeError error) {
    switch (error) {
        case DecodeError::None: return "none";
        case DecodeError::TooShort: return "message too short";
        case DecodeError::BadSize: return "size does not match the bytes received";
        case DecodeError::UnknownClass: return "unknown message class";
        case DecodeError::TextOutOfRange: return "text outside the message";
    }
    return "unknown";
}

DecodeResult DecodeEvent(std::span<const uint8_t> bytes) {
    DecodeResult result;
    if (bytes.size() < sizeof(EventHeader)) {
        result.error = DecodeError::TooShort;
        return result;
    }
    const EventHeader header = Load<EventHeader>(bytes, 0);
    if (header.Size > EVENT_MAX_SIZE || header.Size > bytes.size() || header.Size < sizeof(EventHeader)) {
        result.error = DecodeError::BadSize;
        return result;
    }
    const std::span<const uint8_t> message = bytes.first(header.Size);
    switch (header.Class) {
        case EVENT_CLASS_FILE: {
            FileEventView v;
            result.error = DecodeFile(message, &v);
            result.event = v;
            break;
        }
        case EVENT_CLASS_REGISTRY: {
            RegistryEventView v;
            result.error = DecodeRegistry(message, &v);
            result.event = v;
            break;
        }
        case EVENT_CLASS_PROCESS: {
            ProcessEventView v;
            result.error = DecodeProcess(message, &v);
            result.event = v;
            break;
        }
        default:
            result.error = DecodeError::UnknownClass;
    }
    return result;
}

const char* FileOpName(int32_t operation) {
    switch (operation) {
        case FileOpNone: return "FileOpNone";
        case FileOpExecute: return "FileOpExecute";
        case FileOpDeleteAccess: return "FileOpDeleteAccess";
        case FileOpWriteAccess: return "FileOpWriteAccess";
        case FileOpRename: return "FileOpRename";
        case FileOpDelete: return "FileOpDelete";
        case FileOpWrite: return "FileOpWrite";
        case FileOpCloseModified: return "FileOpCloseModified";
        case FileOpScsiWrite: return "FileOpScsiWrite";
        case FileOpAtaWrite: return "FileOpAtaWrite";
        case FileOpCreated: return "FileOpCreated";
        case FileOpOpen: return "FileOpOpen";
        case FileOpLink: return "FileOpLink";
    }
    return "FileOpUnknown";
}

const char* RegOpName(int32_t operation) {
    switch (operation) {
        case RegOpKeyCreated: return "RegOpKeyCreated";
        case RegOpKeyRenamed: return "RegOpKeyRenamed";
        case RegOpKeyDeleted: return "RegOpKeyDeleted";
        case RegOpValueCreated: return "RegOpValueCreated";
        case RegOpValueModified: return "RegOpValueModified";
        case RegOpValueDeleted: return "RegOpValueDeleted";
    }
    return "RegOpUnknown";
}

}  // namespace vetrona::client
