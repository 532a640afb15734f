// The client API over a back end's transport.
#include "client/lib/client.h"

#include <cstring>

namespace vetrona::client {

HResult Client::Connect() {
    HResult hr = transport_.OpenPort(kPortName);
    if (Succeeded(hr)) {
        hr = transport_.OpenDevice(kDevicePath);
    }
    if (!Succeeded(hr)) {
        transport_.Close();
    }
    return hr;
}

HResult Client::GetVersion(std::string* version) {
    version->clear();
    char text[8] = {};
    uint32_t returned = 0;
    HResult hr = transport_.DeviceControl(IOCTL_GET_VERSION, nullptr, 0, text, sizeof(text), &returned);
    if (Succeeded(hr)) {
        if (returned != sizeof(text) || text[sizeof(text) - 1] != '\0') {
            return kHrInvalidData;
        }
        version->assign(text);
    }
    return hr;
}

HResult Client::AddProcess(uint32_t processId) {
    uint32_t returned = 0;
    return transport_.DeviceControl(IOCTL_ADD_PROCESS, &processId, sizeof(processId), nullptr, 0, &returned);
}

HResult Client::ClearProcesses() {
    uint32_t returned = 0;
    return transport_.DeviceControl(IOCTL_CLEAR_PROCESSES, nullptr, 0, nullptr, 0, &returned);
}

HResult Client::WatchAfresh(const std::vector<uint32_t>& roots) {
    HResult hr = ClearProcesses();
    for (size_t i = 0; Succeeded(hr) && i < roots.size(); ++i) {
        hr = AddProcess(roots[i]);
    }
    return Succeeded(hr) ? SetMonitor(Monitor::Process, 1) : hr;
}

HResult Client::SetBackupDir(std::u16string_view folder) {
    if (folder.size() * 2 > 65532) {
        return kHrInvalidArgument;
    }
    uint32_t returned = 0;
    return transport_.DeviceControl(IOCTL_SET_BACKUP_DIR, folder.empty() ? nullptr : folder.data(),
                                    static_cast<uint32_t>(folder.size() * 2), nullptr, 0, &returned);
}

HResult Client::ClearFileIds() {
    uint32_t returned = 0;
    return transport_.DeviceControl(IOCTL_CLEAR_FILE_IDS, nullptr, 0, nullptr, 0, &returned);
}

HResult Client::SetMonitor(Monitor monitor, uint8_t value) {
    uint8_t command[PORT_COMMAND_SET_SIZE] = {};
    const uint32_t code = static_cast<uint32_t>(monitor) * 2;  // CMD_SET_*
    std::memcpy(command + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
    command[PORT_COMMAND_VALUE_OFFSET] = value;
    uint32_t returned = 0;
    return transport_.PortCommand(command, sizeof(command), nullptr, 0, &returned);
}

HResult Client::GetMonitor(Monitor monitor, uint8_t* value) {
    *value = 0;
    uint8_t command[PORT_COMMAND_SET_SIZE] = {};
    const uint32_t code = static_cast<uint32_t>(monitor) * 2 + 1;  // CMD_GET_*
    std::memcpy(command + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
    // The answer is one byte at offset 4; the output must reach past it.
    uint8_t answer[8] = {};
    uint32_t returned = 0;
    HResult hr = transport_.PortCommand(command, sizeof(command), answer, sizeof(answer), &returned);
    if (Succeeded(hr)) {
        *value = answer[PORT_ANSWER_OFFSET];
    }
    return hr;
}

HResult Client::SetBackupLimit(uint64_t bytes) {
    uint8_t command[PORT_LIMIT_SET_SIZE] = {};
    const uint32_t code = CMD_SET_BACKUP_LIMIT;
    std::memcpy(command + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
    std::memcpy(command + PORT_COMMAND_VALUE_OFFSET, &bytes, sizeof(bytes));
    uint32_t returned = 0;
    return transport_.PortCommand(command, sizeof(command), nullptr, 0, &returned);
}

HResult Client::GetBackupLimit(uint64_t* bytes) {
    *bytes = 0;
    uint8_t command[PORT_COMMAND_SET_SIZE] = {};
    const uint32_t code = CMD_GET_BACKUP_LIMIT;
    std::memcpy(command + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
    uint8_t answer[PORT_LIMIT_ANSWER_SIZE + 4] = {};
    uint32_t returned = 0;
    HResult hr = transport_.PortCommand(command, sizeof(command), answer, sizeof(answer), &returned);
    if (Succeeded(hr)) {
        std::memcpy(bytes, answer + PORT_ANSWER_OFFSET, sizeof(*bytes));
    }
    return hr;
}

HResult Client::Receive(Message* message, int timeoutMs, int lane) {
    *message = Message{};
    // One buffer per receiving thread: lanes receive at the same time.
    thread_local std::vector<uint8_t> receiveBuffer_;
    receiveBuffer_.resize(sizeof(MessageHeader) + EVENT_MAX_SIZE);
    HResult hr =
        transport_.ReceiveMessage(receiveBuffer_.data(), static_cast<uint32_t>(receiveBuffer_.size()), timeoutMs, lane);
    if (!Succeeded(hr)) {
        return hr;
    }
    MessageHeader header;
    std::memcpy(&header, receiveBuffer_.data(), sizeof(header));
    message->messageId = header.MessageId;
    message->replyLength = header.ReplyLength;
    // fltlib does not say how many bytes arrived: the message's own Size does,
    // checked against the buffer before it is trusted.
    uint32_t size = 0;
    std::memcpy(&size, receiveBuffer_.data() + sizeof(header), sizeof(size));
    if (size < sizeof(EventHeader) || size > EVENT_MAX_SIZE) {
        return kHrInvalidData;
    }
    const uint8_t* start = receiveBuffer_.data() + sizeof(header);
    message->bytes.assign(start, start + size);
    return hr;
}

HResult Client::Reply(const Message& message, Verdict verdict, int lane) {
    struct {
        ReplyHeader header;
        int32_t verdict;
    } reply{};
    reply.header.Status = 0;
    reply.header.MessageId = message.messageId;
    reply.verdict = verdict;
    // Header and data without tail padding: 20 bytes, not sizeof(reply).
    return transport_.ReplyMessage(&reply, sizeof(ReplyHeader) + sizeof(int32_t), lane);
}

}  // namespace vetrona::client
