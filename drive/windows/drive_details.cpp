#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "drive_details.h"
#include "drive_io.h"
#include "drive_length.h"

namespace drive {
namespace {

std::string BusName(STORAGE_BUS_TYPE bus) {
    switch (bus) {
        case BusTypeUsb:
            return "USB";
        case BusTypeSd:
            return "SD/MMC";
        case BusTypeMmc:
            return "SD/MMC";
        default:
            return {};
    }
}

// Vendor, product, revision, serial and bus as the disk's storage descriptor gives them; each
// text is a NUL-terminated string at an offset into the answer, 0 where the disk gives none.
void DescribeHardware(HANDLE handle, Drive& drive) {
    std::vector<char> answer(1024);
    DWORD returned = 0;
    if (!TheDriveIo().QueryDescriptor(handle, answer.data(), static_cast<DWORD>(answer.size()),
                                      returned) ||
        returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        return;
    }
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    std::memcpy(&descriptor, answer.data(), sizeof descriptor);
    const auto field = [&](DWORD offset) {
        if (offset == 0 || offset >= returned) {
            return std::string();
        }
        const char* text = answer.data() + offset;
        return Trimmed(std::string(text, strnlen(text, returned - offset)));
    };
    drive.vendor = field(descriptor.VendorIdOffset);
    drive.model = field(descriptor.ProductIdOffset);
    drive.revision = field(descriptor.ProductRevisionOffset);
    drive.serial = field(descriptor.SerialNumberOffset);
    drive.bus = BusName(descriptor.BusType);
}

}  // namespace

Drive DescribeOpenDrive(DriveHandle handle, const std::string& node) {
    Drive drive;
    drive.node = node;
    DescribeHardware(handle, drive);
    drive.length = DriveCapacity(handle);
    DriveGeometry geometry;
    if (QueryDriveGeometry(handle, geometry) != 0) {
        drive.logicalSectorSize = geometry.BytesPerSector;
        drive.removable = geometry.MediaType == kRemovableMedia;
    }
    drive.identity = QueryDriveIdentity(handle);
    drive.readOnly = !TheDriveIo().IsWritable(handle) && ::GetLastError() == ERROR_WRITE_PROTECT;
    drive.volumesKnown = TheDriveIo().QueryVolumes(handle, drive.volumes) != FALSE;
    return drive;
}

// Without rights a physical drive tells nothing of itself; the program asks for them at start.
std::optional<Drive> ListWithoutOpening(const std::string& /*node*/) {
    return std::nullopt;
}

}  // namespace drive
