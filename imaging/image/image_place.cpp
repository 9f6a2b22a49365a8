#include "image/image_place.h"

#include <filesystem>

#include "drive_probe.h"
#include "image/target_folder.h"
#include "scoped_drive.h"

namespace imaging {

bool ImageLiesOnDrive(const std::string& path, const std::string& node) {
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(node, handle) == 0) {
        return false;
    }
    const drive::ScopedDrive opened(handle);
    const std::filesystem::path image(path);
    const std::filesystem::path folder = image.parent_path().empty() ? "." : image.parent_path();
    return FileIsOn(image, handle) || FileIsOn(folder, handle);
}

}  // namespace imaging
