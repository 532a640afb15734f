// The names a person knows beside the kernel's: the drive letter or folder a
// volume device is mounted at, HKLM and HKU for the registry's roots, and the
// wall-clock time an event arrived. Every function here is pure text work,
// shared by vetrona-client (Windows and Linux) and vetrona-sim.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vetrona::client {

// A volume device ("\Device\HarddiskVolume3") and the DOS paths it is mounted
// at, as the mount manager lists them: drive roots ("C:\") and mount folders
// ("D:\Mounts\Data\"), each ending in a backslash. UTF-8.
struct VolumeName {
    std::string device;
    std::vector<std::string> paths;
};
using VolumeNames = std::vector<VolumeName>;

// The path a person would type for a kernel file name: the longest volume
// device that prefixes `devicePath` at a component boundary (compared without
// regard to ASCII case) is replaced by the volume's first drive root, or by
// its first mount folder when it has no drive letter. A name on no known
// volume comes back unchanged.
std::string UserFilePath(std::string_view devicePath, const VolumeNames& volumes);

// Device prefixes with the drive they stand for ("\Device\HarddiskVolume1",
// "C:"), for policy patterns written either way; volumes with no drive letter
// are left out.
std::vector<std::pair<std::string, std::string>> DrivePrefixes(const VolumeNames& volumes);

// A kernel registry path in the form regedit shows: \REGISTRY\MACHINE\X is
// HKLM\X, \REGISTRY\USER\X is HKU\X (either root alone: HKLM, HKU). Any other
// text comes back unchanged.
std::string UserRegistryPath(std::string_view nativePath);

// Arrival times: ISO 8601 in UTC with milliseconds ("2025-03-03T14:02:07.125Z")
// for JSON, and the local time of day ("15:02:07.125") for readable lines.
std::string IsoTime(std::chrono::system_clock::time_point time);
std::string ClockTime(std::chrono::system_clock::time_point time);

// The final component of a path ("C:\Windows\explorer.exe" -> "explorer.exe").
std::string_view FinalComponent(std::string_view path);

}  // namespace vetrona::client
