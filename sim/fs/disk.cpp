// The disk behind each volume: a sparse store of 512-byte sectors that raw
// requests read and change. The port driver's checks of a pass-through record
// come first (a malformed record fails the request); what the record asks of
// the disk comes after, and a command the disk refuses completes the request
// with the device's own error in the record (SCSI CHECK CONDITION, ATA ABRT),
// as real hardware answers, with nothing written.
#include "sim/fs/local.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace sim::fs {

namespace {

using Sector = std::array<uint8_t, kSectorSize>;

struct Disk {
    std::map<uint64_t, Sector> written;
    // Ranges [first, end) that read as zeros (trimmed or unmapped); a sector
    // written since is found in `written` first.
    std::vector<std::pair<uint64_t, uint64_t>> zeroed;
    bool erased = false;  // sanitized, formatted or security-erased: every other sector reads as zeros
};

std::mutex gDiskLock;
std::map<ULONG, Disk> gDisks;  // by volume number
std::atomic<bool> gWritesOutsideBootSector{false};

constexpr UCHAR kScsiGood = 0x00;
constexpr UCHAR kScsiCheckCondition = 0x02;
constexpr UCHAR kAtaStatusGood = 0x50;   // DRDY | DSC
constexpr UCHAR kAtaStatusError = 0x51;  // ... | ERR
constexpr UCHAR kAtaErrorAbort = 0x04;   // ABRT

void ReadSectorLocked(const Disk& disk, ULONG volumeNumber, uint64_t lba, uint8_t* out) {
    auto found = disk.written.find(lba);
    if (found != disk.written.end()) {
        std::memcpy(out, found->second.data(), kSectorSize);
        return;
    }
    bool zero = disk.erased;
    for (const auto& [first, end] : disk.zeroed) {
        zero = zero || (lba >= first && lba < end);
    }
    for (size_t i = 0; i < kSectorSize; ++i) {
        out[i] = zero ? 0 : InitialSectorByte(volumeNumber, lba, i);
    }
}

void WriteSectorsLocked(Disk& disk, uint64_t lba, const uint8_t* data, uint64_t count, bool repeatFirst) {
    for (uint64_t i = 0; i < count; ++i) {
        Sector& sector = disk.written[lba + i];
        std::memcpy(sector.data(), data + (repeatFirst ? 0 : i * kSectorSize), kSectorSize);
    }
}

void ZeroSectorsLocked(Disk& disk, uint64_t lba, uint64_t count) {
    if (count == 0) {
        return;
    }
    disk.written.erase(disk.written.lower_bound(lba), disk.written.lower_bound(lba + count));
    disk.zeroed.emplace_back(lba, lba + count);
}

void EraseLocked(Disk& disk) {
    disk.written.clear();
    disk.zeroed.clear();
    disk.erased = true;
}

bool InRange(uint64_t lba, uint64_t count) { return lba <= kDiskSectors && count <= kDiskSectors - lba; }

uint64_t BigEndian(const uint8_t* bytes, int length) {
    uint64_t value = 0;
    for (int i = 0; i < length; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The bytes a buffered request carries after its record, at DataBufferOffset:
// an offset or length that runs past the system buffer is refused.
NTSTATUS BufferedData(const uint8_t* systemBuffer, ULONG bufferLength, ULONG_PTR offset, ULONG length, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (offset > bufferLength || length > bufferLength - offset) {
        return STATUS_INVALID_PARAMETER;
    }
    bytes->assign(systemBuffer + offset, systemBuffer + offset + length);
    return STATUS_SUCCESS;
}

// The bytes a direct request's DataBuffer names in the caller's memory, read
// as the port driver's probe would: an address the caller cannot read fails.
NTSTATUS CopyFromCaller(const void* address, ULONG length, std::vector<uint8_t>* bytes) {
    bytes->assign(length, 0);
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (address == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    iovec local{bytes->data(), length};
    iovec remote{const_cast<void*>(address), length};
    if (::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

// SCSI commands the disk carries out, with where the CDB keeps the LBA and
// the block count. WRITE(6) is decoded apart (a 21-bit LBA, 0 blocks meaning
// 256).
enum class ScsiKind { Write, WriteSame, Unmap, WholeDisk, Unsupported };
struct ScsiCommand {
    UCHAR op;
    ScsiKind kind;
    UCHAR lbaAt, lbaBytes, countAt, countBytes;
};
constexpr ScsiCommand kScsiCommands[] = {
    {0x0A, ScsiKind::Write, 1, 3, 4, 1},      {0x2A, ScsiKind::Write, 2, 4, 7, 2},     {0x2E, ScsiKind::Write, 2, 4, 7, 2},
    {0xAA, ScsiKind::Write, 2, 4, 6, 4},      {0xAE, ScsiKind::Write, 2, 4, 6, 4},     {0x8A, ScsiKind::Write, 2, 8, 10, 4},
    {0x8E, ScsiKind::Write, 2, 8, 10, 4},     {0x41, ScsiKind::WriteSame, 2, 4, 7, 2}, {0x93, ScsiKind::WriteSame, 2, 8, 10, 4},
    {0x42, ScsiKind::Unmap, 0, 0, 7, 2},      {0x04, ScsiKind::WholeDisk, 0, 0, 0, 0}, {0x48, ScsiKind::WholeDisk, 0, 0, 0, 0},
    // The model's disk supports none of these: it answers ILLEGAL REQUEST.
    {0x3F, ScsiKind::Unsupported, 0, 0, 0, 0}, {0x89, ScsiKind::Unsupported, 0, 0, 0, 0},
    {0x9C, ScsiKind::Unsupported, 0, 0, 0, 0}, {0x7F, ScsiKind::Unsupported, 0, 0, 0, 0},
};

// The device's answer to a SCSI command: its status byte.
UCHAR ScsiCommandLocked(Disk& disk, const UCHAR* cdb, UCHAR dataIn, const std::vector<uint8_t>& data) {
    const ScsiCommand* command = nullptr;
    for (const ScsiCommand& c : kScsiCommands) {
        command = c.op == cdb[0] ? &c : command;
    }
    if (command == nullptr) {
        return kScsiGood;  // any other command: accepted, nothing on the disk changes
    }
    const bool dataOut = dataIn == SCSI_IOCTL_DATA_OUT || dataIn == SCSI_IOCTL_DATA_UNSPECIFIED;
    switch (command->kind) {
    case ScsiKind::Unsupported:
        return kScsiCheckCondition;
    case ScsiKind::WholeDisk:
        // SANITIZE's service actions OVERWRITE, BLOCK ERASE and CRYPTO ERASE
        // (1-3) destroy everything; EXIT FAILURE MODE and the rest change nothing.
        if (cdb[0] == 0x48 && ((cdb[1] & 0x1F) < 1 || (cdb[1] & 0x1F) > 3)) {
            return kScsiGood;
        }
        EraseLocked(disk);
        return kScsiGood;
    case ScsiKind::Unmap: {
        const uint64_t listLength = BigEndian(cdb + command->countAt, command->countBytes);
        if (!dataOut || listLength > data.size() || (listLength != 0 && listLength < 8)) {
            return kScsiCheckCondition;
        }
        const uint64_t descriptors = listLength < 8 ? 0 : BigEndian(data.data() + 2, 2) / 16;
        if (8 + descriptors * 16 > listLength) {
            return kScsiCheckCondition;
        }
        for (uint64_t i = 0; i < descriptors; ++i) {
            const uint8_t* d = data.data() + 8 + i * 16;
            if (!InRange(BigEndian(d, 8), BigEndian(d + 8, 4))) {
                return kScsiCheckCondition;
            }
        }
        for (uint64_t i = 0; i < descriptors; ++i) {
            const uint8_t* d = data.data() + 8 + i * 16;
            ZeroSectorsLocked(disk, BigEndian(d, 8), BigEndian(d + 8, 4));
        }
        return kScsiGood;
    }
    case ScsiKind::Write:
    case ScsiKind::WriteSame:
        break;
    }
    uint64_t lba = BigEndian(cdb + command->lbaAt, command->lbaBytes);
    uint64_t count = BigEndian(cdb + command->countAt, command->countBytes);
    if (cdb[0] == 0x0A) {
        lba &= 0x1FFFFF;
        count = count == 0 ? 256 : count;
    }
    const uint64_t expected = command->kind == ScsiKind::WriteSame ? kSectorSize : count * kSectorSize;
    // WRITE SAME over 0 blocks would mean "to the end of the medium"; the
    // model's disk refuses it, as a disk that sets WSNZ does.
    if (!dataOut || data.size() != expected || !InRange(lba, count) || (command->kind == ScsiKind::WriteSame && count == 0)) {
        return kScsiCheckCondition;
    }
    WriteSectorsLocked(disk, lba, data.data(), count, command->kind == ScsiKind::WriteSame);
    return kScsiGood;
}

// ATA commands that write sectors: 48-bit ones take the high bytes of the
// LBA and count from the previous task file (when the request says 48-bit);
// queued ones keep the count in the features register.
struct AtaWriteCommand {
    UCHAR command;
    bool ext48;
    bool countInFeatures;
};
constexpr AtaWriteCommand kAtaWrites[] = {
    {0x30, false, false}, {0x31, false, false}, {0x34, true, false},  {0x35, true, false},
    {0x36, true, true},   {0x39, true, false},  {0x3A, true, false},  {0x3B, true, false},
    {0x3D, true, false},  {0x3E, true, true},   {0x61, true, true},   {0xC5, false, false},
    {0xCA, false, false}, {0xCB, false, false}, {0xCC, false, true},  {0xCE, true, false},
};

// Carries out an ATA command; false: the device aborts it.
bool AtaCommandLocked(Disk& disk, USHORT flags, const UCHAR* previous, const UCHAR* current, const std::vector<uint8_t>& data) {
    const UCHAR command = current[6];
    const bool dataOut = (flags & ATA_FLAGS_DATA_OUT) != 0 && (flags & ATA_FLAGS_DATA_IN) == 0;
    const bool is48 = (flags & ATA_FLAGS_48BIT_COMMAND) != 0;
    const UCHAR* high = is48 ? previous : nullptr;
    auto lba48 = [&]() {
        uint64_t lba = current[2] | (uint64_t{current[3]} << 8) | (uint64_t{current[4]} << 16);
        if (high != nullptr) {
            lba |= (uint64_t{high[2]} << 24) | (uint64_t{high[3]} << 32) | (uint64_t{high[4]} << 40);
        }
        return lba;
    };
    if (command == 0x06) {  // DATA SET MANAGEMENT; feature bit 0 is TRIM
        if ((current[0] & 0x01) == 0) {
            return true;
        }
        if (!dataOut || data.size() % kSectorSize != 0) {
            return false;
        }
        for (size_t at = 0; at + 8 <= data.size(); at += 8) {
            uint64_t entry = 0;
            for (int i = 7; i >= 0; --i) {
                entry = (entry << 8) | data[at + i];
            }
            if (!InRange(entry & 0xFFFFFFFFFFFFull, entry >> 48)) {
                return false;
            }
        }
        for (size_t at = 0; at + 8 <= data.size(); at += 8) {
            uint64_t entry = 0;
            for (int i = 7; i >= 0; --i) {
                entry = (entry << 8) | data[at + i];
            }
            ZeroSectorsLocked(disk, entry & 0xFFFFFFFFFFFFull, entry >> 48);
        }
        return true;
    }
    if (command == 0xB4) {  // SANITIZE DEVICE: CRYPTO SCRAMBLE, BLOCK ERASE, OVERWRITE destroy
        const USHORT feature = static_cast<USHORT>(current[0] | ((high != nullptr ? high[0] : 0) << 8));
        if (feature == 0x11 || feature == 0x12 || feature == 0x14) {
            EraseLocked(disk);
        }
        return true;
    }
    if (command == 0xF4) {  // SECURITY ERASE UNIT
        EraseLocked(disk);
        return true;
    }
    const AtaWriteCommand* write = nullptr;
    for (const AtaWriteCommand& c : kAtaWrites) {
        write = c.command == command ? &c : write;
    }
    if (write == nullptr) {
        return true;  // any other command: accepted, nothing on the disk changes
    }
    uint64_t lba;
    uint64_t count;
    const int countAt = write->countInFeatures ? 0 : 1;
    if (write->ext48) {
        lba = lba48();
        count = current[countAt] | (uint64_t{high != nullptr ? high[countAt] : UCHAR{0}} << 8);
        count = count == 0 ? 65536 : count;
    } else {
        lba = current[2] | (uint64_t{current[3]} << 8) | (uint64_t{current[4]} << 16) | (uint64_t{current[5] & 0x0Fu} << 24);
        count = current[countAt] == 0 ? 256 : current[countAt];
    }
    if (!dataOut || data.size() != count * kSectorSize || !InRange(lba, count)) {
        return false;
    }
    WriteSectorsLocked(disk, lba, data.data(), count, false);
    return true;
}

// The sector 0 a partition-table request leaves: deleting the layout clears
// it; a new disk gets an empty table with its signature (the input's first
// field after the style); a new layout keeps the boot code and takes the
// layout record's first bytes as its table.
void PartitionRequestLocked(Disk& disk, ULONG volumeNumber, ULONG code, const uint8_t* input, ULONG inputLength) {
    Sector sector{};
    if (code == IOCTL_DISK_SET_DRIVE_LAYOUT_EX) {
        ReadSectorLocked(disk, volumeNumber, 0, sector.data());
        std::memset(sector.data() + 446, 0, 64);
        std::memcpy(sector.data() + 446, input, std::min<ULONG>(inputLength, 64));
    } else if (code == IOCTL_DISK_CREATE_DISK) {
        std::memcpy(sector.data() + 440, input + 4, 4);
    }
    if (code != IOCTL_DISK_DELETE_DRIVE_LAYOUT) {
        sector[510] = 0x55;
        sector[511] = 0xAA;
    }
    WriteSectorsLocked(disk, 0, sector.data(), 1, false);
}

void ResetDisks() {
    std::lock_guard<std::mutex> guard(gDiskLock);
    gDisks.clear();
    gWritesOutsideBootSector.store(false);
}

const bool gRegistered = [] {
    sim::RegisterResetHook("fs-disk", ResetDisks);
    return true;
}();

}  // namespace

uint8_t InitialSectorByte(ULONG volumeNumber, uint64_t lba, size_t offset) {
    return static_cast<uint8_t>(1 + (lba * 131 + offset * 7 + volumeNumber * 29) % 251);
}

void SetVolumeWritesOutsideBootSector(bool allowed) { gWritesOutsideBootSector.store(allowed); }
bool VolumeWritesOutsideBootSector() { return gWritesOutsideBootSector.load(); }

std::vector<uint8_t> ReadDiskSectors(char16_t driveLetter, uint64_t lba, uint32_t count) {
    ULONG number = 0;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (const auto& volume : gVolumes) {
            number = volume->driveLetter == driveLetter ? volume->number : number;
        }
    }
    if (number == 0 || !InRange(lba, count)) {
        return {};
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * kSectorSize);
    std::lock_guard<std::mutex> guard(gDiskLock);
    Disk& disk = gDisks[number];
    for (uint32_t i = 0; i < count; ++i) {
        ReadSectorLocked(disk, number, lba + i, bytes.data() + static_cast<size_t>(i) * kSectorSize);
    }
    return bytes;
}

NTSTATUS DiskTransfer(const Volume* volume, bool write, uint64_t offset, void* buffer, ULONG length) {
    const uint64_t lba = offset / kSectorSize;
    const uint64_t count = length / kSectorSize;
    if (!InRange(lba, count)) {
        return write ? STATUS_INVALID_PARAMETER : STATUS_END_OF_FILE;
    }
    std::lock_guard<std::mutex> guard(gDiskLock);
    Disk& disk = gDisks[volume->number];
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (write) {
        WriteSectorsLocked(disk, lba, bytes, count, false);
        return STATUS_SUCCESS;
    }
    for (uint64_t i = 0; i < count; ++i) {
        ReadSectorLocked(disk, volume->number, lba + i, bytes + i * kSectorSize);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DiskControl(const Volume* volume, ULONG code, uint8_t* systemBuffer, ULONG inputLength, ULONG outputLength) {
    const ULONG bufferLength = std::max(inputLength, outputLength);
    std::vector<uint8_t> data;
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        auto* record = reinterpret_cast<PSCSI_PASS_THROUGH_DIRECT>(systemBuffer);
        if (record->CdbLength > 16 || record->DataTransferLength > kMaxTransferLength) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status =
            code == IOCTL_SCSI_PASS_THROUGH
                ? BufferedData(systemBuffer, bufferLength, reinterpret_cast<PSCSI_PASS_THROUGH>(systemBuffer)->DataBufferOffset,
                               record->DataTransferLength, &data)
                : CopyFromCaller(record->DataBuffer, record->DataTransferLength, &data);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::lock_guard<std::mutex> guard(gDiskLock);
        record->ScsiStatus = ScsiCommandLocked(gDisks[volume->number], record->Cdb, record->DataIn, data);
        return STATUS_SUCCESS;
    }
    if (code == IOCTL_ATA_PASS_THROUGH || code == IOCTL_ATA_PASS_THROUGH_DIRECT) {
        auto* record = reinterpret_cast<PATA_PASS_THROUGH_DIRECT>(systemBuffer);
        if (record->DataTransferLength > kMaxTransferLength) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status =
            code == IOCTL_ATA_PASS_THROUGH
                ? BufferedData(systemBuffer, bufferLength, reinterpret_cast<PATA_PASS_THROUGH_EX>(systemBuffer)->DataBufferOffset,
                               record->DataTransferLength, &data)
                : CopyFromCaller(record->DataBuffer, record->DataTransferLength, &data);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::lock_guard<std::mutex> guard(gDiskLock);
        const bool done =
            AtaCommandLocked(gDisks[volume->number], record->AtaFlags, record->PreviousTaskFile, record->CurrentTaskFile, data);
        // The registers come back: [0] error, [6] status.
        record->CurrentTaskFile[0] = done ? 0 : kAtaErrorAbort;
        record->CurrentTaskFile[6] = done ? kAtaStatusGood : kAtaStatusError;
        return STATUS_SUCCESS;
    }
    // The partition-table requests: the layout record (its fixed part, before
    // the entries) or the new disk's record must be there.
    const ULONG needed = code == IOCTL_DISK_SET_DRIVE_LAYOUT_EX ? 48 : code == IOCTL_DISK_CREATE_DISK ? 24 : 0;
    if (inputLength < needed || (needed != 0 && systemBuffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(gDiskLock);
    PartitionRequestLocked(gDisks[volume->number], volume->number, code, systemBuffer, inputLength);
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
