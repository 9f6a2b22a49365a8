#include "drive_probe.h"

#include "drive_length.h"

namespace drive {

int IsRemovableDrive(DriveHandle handle) {
    DriveGeometry geometry;
    return QueryDriveGeometry(handle, geometry) != 0 && geometry.MediaType == kRemovableMedia ? 1
                                                                                              : 0;
}

std::size_t DriveSectorSize(DriveHandle handle) {
    DriveGeometry geometry;
    return QueryDriveGeometry(handle, geometry) != 0 && geometry.BytesPerSector != 0
               ? geometry.BytesPerSector
               : 512;
}

std::uint64_t GeometryCapacity(const DriveGeometry& geometry) {
    return static_cast<std::uint64_t>(geometry.Cylinders) * geometry.TracksPerCylinder *
           geometry.SectorsPerTrack * geometry.BytesPerSector;
}

std::uint64_t DriveCapacity(DriveHandle handle) {
    std::uint64_t length = 0;
    if (QueryDriveLength(handle, length)) {
        return length;
    }
    DriveGeometry geometry;
    return QueryDriveGeometry(handle, geometry) != 0 ? GeometryCapacity(geometry) : 0;
}

}  // namespace drive
