#include "image/image_place.h"

#include <algorithm>
#include <filesystem>

#include "drive_probe.h"
#include "image/image_file.h"
#include "image/target_folder.h"
#include "scoped_drive.h"

namespace imaging {

namespace {

namespace fs = std::filesystem;

// `path` with its links and dots resolved as far as it exists; as given where that fails.
fs::path Resolved(const fs::path& path) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

// Whether `path` lies within the folder `root`.
bool Within(const fs::path& path, const fs::path& root) {
    const fs::path inner = Resolved(path);
    const fs::path outer = Resolved(root);
    return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first ==
           outer.end();
}

}  // namespace

ImagePlace WhereImageLies(const std::string& path, const drive::Drive& drive) {
    const fs::path image(path);
    const fs::path folder = image.parent_path().empty() ? "." : image.parent_path();
    drive::DriveHandle handle = drive::kInvalidDriveHandle;
    if (drive::OpenDrive(drive.node, handle) != 0) {
        const drive::ScopedDrive opened(handle);
        return FileIsOn(image, handle) || FileIsOn(folder, handle) ? ImagePlace::OnDrive
                                                                   : ImagePlace::Elsewhere;
    }
    if (!drive.volumesKnown) {
        return ImagePlace::Unknown;
    }
    const bool on =
        std::any_of(drive.volumes.begin(), drive.volumes.end(), [&](const auto& volume) {
            return !volume.mountPoint.empty() && Within(folder, volume.mountPoint);
        });
    return on ? ImagePlace::OnDrive : ImagePlace::Elsewhere;
}

std::optional<ImageOnDrive> FindImageOnDrives(const std::vector<std::string>& images,
                                              const std::vector<drive::Drive>& drives) {
    for (std::size_t drive = 0; drive < drives.size(); ++drive) {
        for (std::size_t image = 0; image < images.size(); ++image) {
            const ImagePlace place = WhereImageLies(images[image], drives[drive]);
            if (place != ImagePlace::Elsewhere) {
                return ImageOnDrive{image, drive, place};
            }
        }
    }
    return std::nullopt;
}

bool ImagesShareAFile(const std::string& a, const std::string& b) {
    const std::string first = Resolved(a).string();
    const std::string second = Resolved(b).string();
    if (first == second) {
        return true;
    }
    return std::any_of(kSideSuffixes.begin(), kSideSuffixes.end(), [&](const char* suffix) {
        return first + suffix == second || second + suffix == first;
    });
}

}  // namespace imaging
