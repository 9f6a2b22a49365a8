#include "file_backed_drive.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace win_testing {

FileBackedDrive::FileBackedDrive(std::string drivePath, std::string file, std::uint64_t badStart,
                                 std::uint64_t badEnd)
    : m_drives{{std::move(drivePath), std::move(file)}}, m_badStart(badStart), m_badEnd(badEnd) {
    drive::SetDriveIo(this);
}

FileBackedDrive::FileBackedDrive(std::vector<std::pair<std::string, std::string>> drives)
    : m_drives(std::move(drives)), m_badStart(0), m_badEnd(0) {
    drive::SetDriveIo(this);
}

FileBackedDrive::~FileBackedDrive() {
    drive::SetDriveIo(nullptr);
}

HANDLE FileBackedDrive::Open(const char* path) {
    for (std::size_t at = 0; at < m_drives.size(); ++at) {
        if (m_drives[at].first == path) {
            HANDLE file = ::CreateFileA(m_drives[at].second.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr);
            const std::lock_guard lock(m_openedMutex);
            m_opened[file] = at;
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

HANDLE FileBackedDrive::OpenToWrite(const char* path) {
    for (const auto& [drivePath, file] : m_drives) {
        if (drivePath == path) {
            return ::CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_WRITE_THROUGH, nullptr);
        }
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

HANDLE FileBackedDrive::LockAndDismount(const char* device) {
    if (std::find(busy.begin(), busy.end(), device) != busy.end()) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    locked.emplace_back(device);
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

BOOL FileBackedDrive::QueryGeometry(HANDLE drive, DISK_GEOMETRY& geometry) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(drive, &size)) {
        return FALSE;
    }
    geometry.BytesPerSector = 512;
    geometry.SectorsPerTrack = 63;
    geometry.TracksPerCylinder = 255;
    geometry.Cylinders.QuadPart = size.QuadPart / (512 * 63 * 255);
    geometry.MediaType = RemovableMedia;
    return TRUE;
}

BOOL FileBackedDrive::QueryLength(HANDLE drive, GET_LENGTH_INFORMATION& length) {
    return ::GetFileSizeEx(drive, &length.Length);
}

BOOL FileBackedDrive::QueryDescriptor(HANDLE drive, void* answer, DWORD size, DWORD& returned) {
    std::size_t number = 1;
    {
        const std::lock_guard lock(m_openedMutex);
        const auto opened = m_opened.find(drive);
        number += opened != m_opened.end() ? opened->second : 0;
    }
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    const std::string texts = std::string("Dresmont") + '\0' + "Test Card" + '\0' + "1.0" + '\0' +
                              "FB000" + std::to_string(number) + '\0';
    const DWORD first = sizeof descriptor;
    descriptor.VendorIdOffset = first;
    descriptor.ProductIdOffset = first + 9;
    descriptor.ProductRevisionOffset = first + 19;
    descriptor.SerialNumberOffset = first + 23;
    descriptor.BusType = BusTypeUsb;
    returned = first + static_cast<DWORD>(texts.size());
    if (size < returned) {
        return FALSE;
    }
    std::memcpy(answer, &descriptor, sizeof descriptor);
    std::memcpy(static_cast<char*>(answer) + first, texts.data(), texts.size());
    return TRUE;
}

BOOL FileBackedDrive::IsWritable(HANDLE /*drive*/) {
    return TRUE;
}

BOOL FileBackedDrive::QueryVolumes(HANDLE /*drive*/, std::vector<drive::Volume>& volumes) {
    volumes.push_back({"\\\\?\\Volume{5eed}\\", "FAT32", "CARD", "E:\\"});
    return TRUE;
}

BOOL FileBackedDrive::Read(HANDLE drive, void* buffer, DWORD size, std::uint64_t offset,
                           DWORD& got) {
    if (offset < m_badEnd && offset + size > m_badStart) {
        ::SetLastError(ERROR_CRC);
        return FALSE;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ::ReadFile(drive, buffer, size, &got, &at);
}

TempFolder::TempFolder() {
    char base[MAX_PATH] = {};
    ::GetTempPathA(sizeof base, base);
    for (unsigned attempt = ::GetTickCount();; ++attempt) {
        m_path = std::string(base) + "dresmont-" + std::to_string(attempt);
        if (::CreateDirectoryA(m_path.c_str(), nullptr)) {
            break;
        }
    }
}

TempFolder::~TempFolder() {
    WIN32_FIND_DATAA entry{};
    HANDLE search = ::FindFirstFileA((m_path + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                ::RemoveDirectoryA((m_path + "\\" + name).c_str());
            } else {
                ::DeleteFileA((m_path + "\\" + name).c_str());
            }
        } while (::FindNextFileA(search, &entry));
        ::FindClose(search);
    }
    ::RemoveDirectoryA(m_path.c_str());
}

std::uint64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace win_testing
