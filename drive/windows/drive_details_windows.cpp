#include "drive_details.h"
#include "drive_length.h"

namespace drive {

std::string DescribeDrive(DriveHandle handle, const std::string& path) {
    std::uint64_t length = 0;
    return QueryDriveLength(handle, length) ? path + "\nSize: " + std::to_string(length) + " bytes"
                                            : path;
}

// Without rights a physical drive tells nothing of itself; the program asks for them at start.
std::optional<DriveListing> ListWithoutOpening(const std::string& /*path*/) {
    return std::nullopt;
}

}  // namespace drive
