// Raw disk steps of a scenario (scsi-write, ata-write, partition-table) and
// the `disk:` expectation: which commands and flags a scenario may name, the
// requests built from them, and the disk's sectors read back.
#pragma once

#include "sim/public/kernel.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct _EPROCESS;

namespace vsim {

// SCSI operation codes a scsi-write step builds (0x2A when none is given).
bool ScsiOpcodeBuilt(int opcode);
std::string ScsiOpcodesBuilt();
// The most sectors one step may name: the model's adapter moves at most this
// much in one request.
inline constexpr int64_t kMaxStepSectors = 2048;
// Largest LBA and sector count a command's layout can carry.
uint64_t ScsiLbaLimit(int opcode);
uint32_t ScsiSectorLimit(int opcode);

// ATA commands an ata-write step builds (0xCA when none is given), and
// whether each is a 48-bit command.
bool AtaCommandBuilt(int command);
std::string AtaCommandsBuilt();
bool AtaCommandIs48Bit(int command);
// The ATA_FLAGS_ value of the flag names; an unknown name gives nullopt and
// says in *problem which valid names are nearest.
std::optional<USHORT> AtaFlagsOf(const std::vector<std::string>& names, std::string* problem);

// partition-table steps: set-layout, create-disk, delete-layout.
bool PartitionRequestKnown(const std::string& request);

// Carries out a raw step through an open volume handle: builds the record
// the step's settings describe and sends it. *detail says what the disk
// answered (its status byte or registers).
NTSTATUS SendRawStep(_EPROCESS* process, HANDLE volume, const std::string& kind, const std::map<std::string, std::string>& args,
                     const std::map<std::string, std::vector<std::string>>& lists, std::string* detail);

// Sectors of the disk behind a drive as they read now (empty: no such disk
// or range).
std::vector<uint8_t> DiskSectors(char drive, uint64_t lba, uint32_t sectors);

}  // namespace vsim
