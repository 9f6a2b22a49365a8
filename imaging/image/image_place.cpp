#include "image/image_place.h"

#include <filesystem>

#include "drive_probe.h"
#include "image/image_file.h"
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

bool ImagesShareAFile(const std::string& a, const std::string& b) {
    std::error_code error;
    const std::string first = std::filesystem::weakly_canonical(a, error).string();
    const std::string second = std::filesystem::weakly_canonical(b, error).string();
    if (first == second) {
        return true;
    }
    for (const char* suffix : kSideSuffixes) {
        if (first + suffix == second || second + suffix == first) {
            return true;
        }
    }
    return false;
}

}  // namespace imaging
