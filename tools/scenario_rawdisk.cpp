// Raw disk steps: the records a scsi-write, ata-write or partition-table step
// sends, built the way a disk tool builds them.
#include "tools/scenario_rawdisk.h"

#include "sim/fs/fs.h"
#include "sim/user/device.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vsim {

namespace {

// Where each SCSI command keeps its LBA and block count; a WRITE SAME sends
// one block for all; UNMAP sends a descriptor list; FORMAT UNIT and SANITIZE
// send nothing.
enum class Shape { Cdb6, Cdb10, Cdb12, Cdb16, Unmap, NoData };
struct ScsiBuild {
    int opcode;
    Shape shape;
    bool same;
};
constexpr ScsiBuild kScsiBuilt[] = {
    {0x0A, Shape::Cdb6, false},  {0x2A, Shape::Cdb10, false}, {0x2E, Shape::Cdb10, false}, {0x41, Shape::Cdb10, true},
    {0xAA, Shape::Cdb12, false}, {0xAE, Shape::Cdb12, false}, {0x8A, Shape::Cdb16, false}, {0x8E, Shape::Cdb16, false},
    {0x93, Shape::Cdb16, true},  {0x42, Shape::Unmap, false}, {0x04, Shape::NoData, false}, {0x48, Shape::NoData, false},
};

const ScsiBuild* ScsiBuildOf(int opcode) {
    for (const ScsiBuild& b : kScsiBuilt) {
        if (b.opcode == opcode) return &b;
    }
    return nullptr;
}

struct AtaBuild {
    int command;
    bool ext48;
    bool countInFeatures;
};
constexpr AtaBuild kAtaBuilt[] = {
    {0x30, false, false}, {0x31, false, false}, {0x34, true, false}, {0x35, true, false}, {0x39, true, false},
    {0x3D, true, false},  {0x61, true, true},   {0xC5, false, false}, {0xCA, false, false}, {0xCB, false, false},
    {0xCE, true, false},  {0x06, true, false},  {0xB4, true, false},  {0xF4, false, false},
};

const AtaBuild* AtaBuildOf(int command) {
    for (const AtaBuild& b : kAtaBuilt) {
        if (b.command == command) return &b;
    }
    return nullptr;
}

const std::pair<const char*, USHORT> kAtaFlagNames[] = {
    {"drdy", ATA_FLAGS_DRDY_REQUIRED}, {"data-in", ATA_FLAGS_DATA_IN}, {"data-out", ATA_FLAGS_DATA_OUT},
    {"48bit", ATA_FLAGS_48BIT_COMMAND}, {"dma", ATA_FLAGS_USE_DMA},    {"no-multiple", ATA_FLAGS_NO_MULTIPLE},
};

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string Hex(int value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

std::string Arg(const std::map<std::string, std::string>& args, const char* key, const std::string& fallback) {
    auto it = args.find(key);
    return it == args.end() ? fallback : it->second;
}

void PutBigEndian(UCHAR* at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<UCHAR>(value);
        value >>= 8;
    }
}

// A record with, for the buffered form, the data after it at DataBufferOffset.
template <typename Record>
std::vector<uint8_t> Assemble(const Record& record, const std::vector<uint8_t>& data, bool buffered) {
    std::vector<uint8_t> bytes(sizeof(Record) + (buffered ? data.size() : 0));
    std::memcpy(bytes.data(), &record, sizeof(Record));
    if (buffered) {
        const ULONG_PTR offset = sizeof(Record);
        std::memcpy(bytes.data() + offsetof(Record, DataBuffer), &offset, sizeof(offset));
        std::copy(data.begin(), data.end(), bytes.begin() + sizeof(Record));
    }
    return bytes;
}

}  // namespace

bool ScsiOpcodeBuilt(int opcode) { return ScsiBuildOf(opcode) != nullptr; }

std::string ScsiOpcodesBuilt() {
    std::string list;
    for (const ScsiBuild& b : kScsiBuilt) list += (list.empty() ? "" : ", ") + Hex(b.opcode);
    return list;
}

uint64_t ScsiLbaLimit(int opcode) {
    const ScsiBuild* b = ScsiBuildOf(opcode);
    if (b == nullptr) return 0;
    return b->shape == Shape::Cdb6 ? (uint64_t{1} << 21) - 1 : sim::fs::kDiskSectors - 1;
}

uint32_t ScsiSectorLimit(int opcode) {
    const ScsiBuild* b = ScsiBuildOf(opcode);
    if (b == nullptr) return 0;
    return b->shape == Shape::Cdb6 ? 256 : b->shape == Shape::Unmap ? 0xFFFFFFFFu : static_cast<uint32_t>(kMaxStepSectors);
}

bool AtaCommandBuilt(int command) { return AtaBuildOf(command) != nullptr; }

std::string AtaCommandsBuilt() {
    std::string list;
    for (const AtaBuild& b : kAtaBuilt) list += (list.empty() ? "" : ", ") + Hex(b.command);
    return list;
}

bool AtaCommandIs48Bit(int command) {
    const AtaBuild* b = AtaBuildOf(command);
    return b != nullptr && b->ext48;
}

std::optional<USHORT> AtaFlagsOf(const std::vector<std::string>& names, std::string* problem) {
    USHORT flags = 0;
    for (const std::string& name : names) {
        const auto* found = std::find_if(std::begin(kAtaFlagNames), std::end(kAtaFlagNames),
                                         [&](const auto& entry) { return name == entry.first; });
        if (found != std::end(kAtaFlagNames)) {
            flags |= found->second;
            continue;
        }
        size_t best = SIZE_MAX;
        std::vector<std::string> nearest;
        std::string all;
        for (const auto& [valid, value] : kAtaFlagNames) {
            all += (all.empty() ? "" : ", ") + std::string(valid);
            const size_t d = Distance(name, valid);
            if (d < best) {
                best = d;
                nearest.clear();
            }
            if (d == best) nearest.push_back(valid);
        }
        *problem = "unknown flag '" + name + "'";
        if (best <= 3) {
            std::string list;
            for (const std::string& n : nearest) list += (list.empty() ? "" : " or ") + n;
            *problem += "; did you mean " + list + "?";
        }
        *problem += " (the flags are " + all + ")";
        return std::nullopt;
    }
    return flags;
}

bool PartitionRequestKnown(const std::string& request) {
    return request == "set-layout" || request == "create-disk" || request == "delete-layout";
}

NTSTATUS SendRawStep(_EPROCESS* process, HANDLE volume, const std::string& kind, const std::map<std::string, std::string>& args,
                     const std::map<std::string, std::vector<std::string>>& lists, std::string* detail) {
    const uint64_t lba = std::stoull(Arg(args, "lba", "0"), nullptr, 0);
    const uint32_t sectors = static_cast<uint32_t>(std::stoul(Arg(args, "sectors", "1"), nullptr, 0));
    const bool buffered = Arg(args, "buffered", "false") == "true";
    ULONG returned = 0;
    if (kind == "partition-table") {
        const std::string request = Arg(args, "request", "set-layout");
        ULONG code = IOCTL_DISK_DELETE_DRIVE_LAYOUT;
        std::vector<uint8_t> input;
        if (request == "set-layout") {
            // One MBR partition over the whole disk: style 0, one entry.
            code = IOCTL_DISK_SET_DRIVE_LAYOUT_EX;
            input.assign(48 + 144, 0);
            input[4] = 1;
            input[48 + 8 + 1] = 0x08;  // the entry's StartingOffset (1 MiB)
        } else if (request == "create-disk") {
            code = IOCTL_DISK_CREATE_DISK;
            input.assign(24, 0);
            input[4] = 0x56;  // the new disk's signature
        }
        std::vector<uint8_t> output(input.size());
        const NTSTATUS status = sim::user::DeviceIoControl(process, volume, code, input.empty() ? nullptr : input.data(),
                                                           static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                                           static_cast<ULONG>(output.size()), &returned);
        *detail = request;
        return status;
    }
    if (kind == "scsi-write") {
        const int opcode = static_cast<int>(std::stoul(Arg(args, "opcode", "0x2A"), nullptr, 0));
        const ScsiBuild* build = ScsiBuildOf(opcode);
        SCSI_PASS_THROUGH_DIRECT record{};
        record.Length = sizeof(record);
        record.DataIn = SCSI_IOCTL_DATA_OUT;
        record.TimeOutValue = 2;
        record.Cdb[0] = static_cast<UCHAR>(opcode);
        std::vector<uint8_t> data(build->same ? sim::fs::kSectorSize : static_cast<size_t>(sectors) * sim::fs::kSectorSize, 0);
        switch (build->shape) {
        case Shape::Cdb6:
            record.CdbLength = 6;
            record.Cdb[1] = static_cast<UCHAR>((lba >> 16) & 0x1F);
            record.Cdb[2] = static_cast<UCHAR>(lba >> 8);
            record.Cdb[3] = static_cast<UCHAR>(lba);
            record.Cdb[4] = static_cast<UCHAR>(sectors);  // 256 is written as 0
            break;
        case Shape::Cdb10:
            record.CdbLength = 10;
            PutBigEndian(record.Cdb + 2, lba, 4);
            PutBigEndian(record.Cdb + 7, sectors, 2);
            break;
        case Shape::Cdb12:
            record.CdbLength = 12;
            PutBigEndian(record.Cdb + 2, lba, 4);
            PutBigEndian(record.Cdb + 6, sectors, 4);
            break;
        case Shape::Cdb16:
            record.CdbLength = 16;
            PutBigEndian(record.Cdb + 2, lba, 8);
            PutBigEndian(record.Cdb + 10, sectors, 4);
            break;
        case Shape::Unmap:
            // The parameter list: its header, one descriptor (LBA, count).
            record.CdbLength = 10;
            data.assign(24, 0);
            PutBigEndian(data.data(), 22, 2);
            PutBigEndian(data.data() + 2, 16, 2);
            PutBigEndian(data.data() + 8, lba, 8);
            PutBigEndian(data.data() + 16, sectors, 4);
            PutBigEndian(record.Cdb + 7, data.size(), 2);
            break;
        case Shape::NoData:
            record.CdbLength = opcode == 0x04 ? 6 : 10;
            record.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
            record.Cdb[1] = opcode == 0x48 ? 0x02 : 0;  // SANITIZE: BLOCK ERASE
            data.clear();
            break;
        }
        record.DataTransferLength = static_cast<ULONG>(data.size());
        record.DataBuffer = buffered ? nullptr : data.data();
        std::vector<uint8_t> input = Assemble(record, data, buffered);
        std::vector<uint8_t> output(input.size());
        const NTSTATUS status =
            sim::user::DeviceIoControl(process, volume, buffered ? IOCTL_SCSI_PASS_THROUGH : IOCTL_SCSI_PASS_THROUGH_DIRECT, input.data(),
                                       static_cast<ULONG>(input.size()), output.data(), static_cast<ULONG>(output.size()), &returned);
        if (NT_SUCCESS(status)) {
            *detail = "SCSI status " + Hex(reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(output.data())->ScsiStatus);
        }
        return status;
    }
    const int command = static_cast<int>(std::stoul(Arg(args, "command", "0xCA"), nullptr, 0));
    const AtaBuild* build = AtaBuildOf(command);
    std::string problem;
    auto flagNames = lists.find("flags");
    const USHORT flags =
        flagNames == lists.end() ? static_cast<USHORT>(ATA_FLAGS_DATA_OUT) : AtaFlagsOf(flagNames->second, &problem).value_or(0);
    ATA_PASS_THROUGH_DIRECT record{};
    record.Length = sizeof(record);
    record.AtaFlags = flags;
    record.TimeOutValue = 2;
    std::vector<uint8_t> data(static_cast<size_t>(sectors) * sim::fs::kSectorSize, 0);
    UCHAR* current = record.CurrentTaskFile;
    UCHAR* previous = record.PreviousTaskFile;
    current[6] = static_cast<UCHAR>(command);
    if (command == 0x06) {
        // TRIM: one block of range entries, the first naming the sectors.
        data.assign(sim::fs::kSectorSize, 0);
        const uint64_t entry = (lba & 0xFFFFFFFFFFFFull) | (uint64_t{sectors} << 48);
        for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(entry >> (8 * i));
        current[0] = 0x01;
        current[1] = 1;
    } else if (command == 0xB4) {
        data.clear();
        current[0] = 0x12;  // BLOCK ERASE EXT
    } else if (command == 0xF4) {
        data.assign(sim::fs::kSectorSize, 0);  // the password block
    } else {
        const int countAt = build->countInFeatures ? 0 : 1;
        current[countAt] = static_cast<UCHAR>(sectors);
        previous[countAt] = static_cast<UCHAR>(sectors >> 8);
        current[2] = static_cast<UCHAR>(lba);
        current[3] = static_cast<UCHAR>(lba >> 8);
        current[4] = static_cast<UCHAR>(lba >> 16);
        if (build->ext48) {
            previous[2] = static_cast<UCHAR>(lba >> 24);
            previous[3] = static_cast<UCHAR>(lba >> 32);
            previous[4] = static_cast<UCHAR>(lba >> 40);
            current[5] = 0x40;
        } else {
            current[5] = static_cast<UCHAR>(0x40 | ((lba >> 24) & 0x0F));
        }
    }
    record.DataTransferLength = static_cast<ULONG>(data.size());
    record.DataBuffer = buffered ? nullptr : data.data();
    std::vector<uint8_t> input = Assemble(record, data, buffered);
    std::vector<uint8_t> output(input.size());
    const NTSTATUS status =
        sim::user::DeviceIoControl(process, volume, buffered ? IOCTL_ATA_PASS_THROUGH : IOCTL_ATA_PASS_THROUGH_DIRECT, input.data(),
                                   static_cast<ULONG>(input.size()), output.data(), static_cast<ULONG>(output.size()), &returned);
    if (NT_SUCCESS(status)) {
        const auto* answer = reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(output.data());
        *detail = "ATA status " + Hex(answer->CurrentTaskFile[6]) + ", error " + Hex(answer->CurrentTaskFile[0]);
    }
    return status;
}

std::vector<uint8_t> DiskSectors(char drive, uint64_t lba, uint32_t sectors) {
    return sim::fs::ReadDiskSectors(static_cast<char16_t>(std::toupper(static_cast<unsigned char>(drive))), lba, sectors);
}

}  // namespace vsim
