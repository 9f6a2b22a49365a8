#include "file_backed_drive.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <vector>

namespace win_testing {

FileBackedDrive::FileBackedDrive(std::string drivePath, std::string file)
    : m_drivePath(std::move(drivePath)), m_file(std::move(file)) {
    drive::SetDriveIo(this);
}

FileBackedDrive::~FileBackedDrive() {
    drive::SetDriveIo(nullptr);
}

HANDLE FileBackedDrive::Open(const char* path) {
    if (m_drivePath != path) {
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileA(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
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

void WriteRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937 random(seed);
    std::vector<std::uint32_t> block(1 << 14);
    for (std::uint64_t left = size; left > 0;) {
        for (auto& word : block) {
            word = random();
        }
        const std::uint64_t bytes = std::min<std::uint64_t>(left, block.size() * 4);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
        left -= bytes;
    }
}

std::uint64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool SamePrefix(const std::string& a, const std::string& b, std::uint64_t length) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> left(1 << 20);
    std::vector<char> right(1 << 20);
    while (length > 0) {
        const auto want =
            static_cast<std::streamsize>(std::min<std::uint64_t>(length, left.size()));
        if (!first.read(left.data(), want) || !second.read(right.data(), want) ||
            !std::equal(left.begin(), left.begin() + want, right.begin())) {
            return false;
        }
        length -= static_cast<std::uint64_t>(want);
    }
    return true;
}

}  // namespace win_testing
