#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_probe.h"

namespace drive {

// A file system on a drive: on one of its partitions, or on the whole drive.
struct Volume {
    std::string node;        // "/dev/sdb1"; on Windows the volume's GUID path
    std::string fileSystem;  // "vfat", "ext4", "NTFS"; empty where unknown
    std::string label;
    std::string mountPoint;  // empty: not mounted
    bool operator==(const Volume&) const = default;
};

// What a drive is, taken once: a value to show, compare and record, not a handle to operate on.
// Fields the platform does not tell stay empty or zero.
struct Drive {
    std::string node;  // "/dev/sdb", "\\.\PhysicalDrive2"
    std::string vendor;
    std::string model;
    std::string serial;
    std::string revision;
    std::uint64_t length = 0;  // bytes
    std::uint32_t logicalSectorSize = 0;
    std::uint32_t physicalSectorSize = 0;
    bool removable = false;
    std::string bus;   // "USB", "SD/MMC", "Memory Stick"
    std::string port;  // where it is plugged in, e.g. "usb 1-3.2"
    DriveIdentity identity;
    bool readOnly = false;  // the medium's lock switch is on
    std::vector<Volume> volumes;
    bool volumesKnown = false;  // the platform told which volumes the drive holds
    bool operator==(const Drive&) const = default;
};

// The lines that tell the user which drive this is: device node, vendor and model with serial
// and revision, bus and port, exact size in bytes and GB, sector sizes, the lock switch, and each
// volume with its file system, label and mount point ("Not mounted" when the platform told the
// volumes and none is mounted).
std::string FormatDriveDetails(const Drive& drive);

// `text` without the spaces and tabs around it: drives pad their names to fixed widths.
std::string Trimmed(const std::string& text);

// "31.9 GB": decimal gigabytes with one decimal, as cards are sold; "67.1 MB" under 0.1 GB.
std::string DecimalGigabytes(std::uint64_t bytes);

}  // namespace drive
