#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <system_error>

#include "image/target_folder.h"

namespace imaging {

using error::Failure;
using error::FailureReason;
using error::SystemFailure;

namespace {

constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
constexpr std::size_t kMaxName = 255;

// Paths into the device namespace name drives, volumes, pipes and consoles, never a file.
bool IsDevicePath(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0 ||
           path.rfind("//./", 0) == 0 || path.rfind("//?/", 0) == 0;
}

std::optional<DWORD> DiskNumberOf(HANDLE device) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!::DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                           sizeof number, &returned, nullptr)) {
        return std::nullopt;
    }
    return number.DeviceNumber;
}

// True only when the platform says the folder's volume lies on the source disk; where it cannot
// tell, nothing is refused.
bool LivesOnSource(const std::string& folder, HANDLE source) {
    const auto sourceDisk = DiskNumberOf(source);
    char volume[MAX_PATH] = {};
    if (!sourceDisk ||
        !::GetVolumePathNameA(folder.empty() ? "." : folder.c_str(), volume, sizeof volume)) {
        return false;
    }
    std::string volumeDevice = std::string("\\\\.\\") + volume;
    if (volumeDevice.back() == '\\') {
        volumeDevice.pop_back();
    }
    const ImageHandle handle(::CreateFileA(volumeDevice.c_str(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    const auto imageDisk = handle.IsValid() ? DiskNumberOf(handle.Get()) : std::nullopt;
    return imageDisk && *imageDisk == *sourceDisk;
}

// Unshared: while this handle is open, no other run can open the file at all.
HANDLE OpenUnshared(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A reserved name such as COM1 opens a device, not a file.
bool IsRegularFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A symbolic link or a junction; other reparse points, such as a synced folder's files, are
// files of their own. The tag is in the search record's first reserved field.
bool IsLink(const std::string& path) {
    WIN32_FIND_DATAA entry{};
    const HANDLE search = ::FindFirstFileA(path.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (entry.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
            entry.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

Failure OpenFailure() {
    return SystemFailure(::GetLastError() == ERROR_SHARING_VIOLATION ? FailureReason::ImageInUse
                                                                     : FailureReason::ImageRefused);
}

Failure OpenRegular(ImageHandle& file, HANDLE opened) {
    file.Reset(opened);
    if (!file.IsValid()) {
        return OpenFailure();
    }
    return IsRegularFile(file.Get()) ? Failure{}
                                     : Failure{FailureReason::ImageRefused, 0, "not a file"};
}

}  // namespace

const char* const kPartialPrefix = "~";

bool NameTaken(const Failure& failure) {
    return failure.reason == FailureReason::ImageRefused &&
           (failure.error == ERROR_FILE_EXISTS || failure.error == ERROR_ALREADY_EXISTS);
}

unsigned long CurrentProcessId() {
    return ::GetCurrentProcessId();
}

// A process we may not look at is running all the same.
bool ProcessIsRunning(unsigned long id) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr) {
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    }
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

std::vector<std::string> TargetFolder::Names() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    const HANDLE search = ::FindFirstFileA((m_state.path + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.emplace_back(entry.cFileName);
    } while (::FindNextFileA(search, &entry));
    ::FindClose(search);
    return names;
}

// Every run holds the files it writes unshared: one that opens unshared is held by no run.
void TargetFolder::RemoveIfUnused(const std::string& name) const {
    ImageHandle file;
    if (!OpenRegular(file, OpenUnshared(m_state.path + name, OPEN_EXISTING))) {
        file.Reset();
        ::DeleteFileA((m_state.path + name).c_str());
    }
}

Failure TargetFolder::Open(const std::filesystem::path& path, drive::DriveHandle source) {
    m_state.path = path.string();
    if (IsDevicePath(m_state.path)) {
        return {FailureReason::ImageRefused, 0, "a device, not a file"};
    }
    if (LivesOnSource(m_state.path, source)) {
        return {FailureReason::ImageRefused, 0, "the folder is on the drive being read"};
    }
    if (!m_state.path.empty() && m_state.path.back() != '\\' && m_state.path.back() != '/' &&
        m_state.path.back() != ':') {
        m_state.path += '\\';
    }
    return {};
}

bool TargetFolder::NameFits(const std::string& name) const {
    return name.size() <= kMaxName && m_state.path.size() + name.size() < MAX_PATH;
}

Failure TargetFolder::CreateNew(const std::string& name, ImageHandle& file) const {
    return OpenRegular(file, OpenUnshared(m_state.path + name, CREATE_NEW));
}

Failure TargetFolder::HoldExisting(const std::string& name, ImageHandle& held) const {
    return OpenRegular(held, OpenUnshared(m_state.path + name, OPEN_EXISTING));
}

// Windows' links are reparse points; who owns a file matters less where folders are not shared
// by sticky bits, and the folder's own permissions decide who may plant a file there.
Failure TargetFolder::MayWriteInPlace(const std::string& name, const ImageHandle& /*held*/) const {
    return IsLink(m_state.path + name)
               ? Failure{FailureReason::ImageRefused, 0,
                         name + " is a link: an image is continued only in a file of its own"}
               : Failure{};
}

Failure TargetFolder::CreateReplacement(const std::string& name, const ImageHandle& /*held*/,
                                        ImageHandle& file) const {
    return OpenRegular(file, OpenUnshared(m_state.path + name, CREATE_NEW));
}

Failure TargetFolder::Replace(const std::string& from, const std::string& to) const {
    if (::MoveFileExA((m_state.path + from).c_str(), (m_state.path + to).c_str(), kReplace)) {
        return {};
    }
    const int error = static_cast<int>(::GetLastError());
    return {FailureReason::WriteError, error,
            "renaming " + to + ": " + std::system_category().message(error)};
}

void TargetFolder::Remove(const std::string& name) const {
    ::DeleteFileA((m_state.path + name).c_str());
}

// MoveFileEx's write-through has already brought each new name to the disk.
Failure TargetFolder::Sync() const {
    return {};
}

// FAT and FAT32 hold no file of 4 GiB; exFAT and NTFS do.
std::uint64_t TargetFolder::LargestFile() const {
    char root[MAX_PATH] = {};
    char system[MAX_PATH] = {};
    if (::GetVolumePathNameA(m_state.path.empty() ? "." : m_state.path.c_str(), root,
                             sizeof root) &&
        ::GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, system,
                                sizeof system) &&
        (std::string(system) == "FAT" || std::string(system) == "FAT32")) {
        return (std::uint64_t{1} << 32) - 1;
    }
    return std::numeric_limits<std::uint64_t>::max();
}

Failure PositionAt(const ImageHandle& file, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN)
               ? Failure{}
               : SystemFailure(FailureReason::WriteError);
}

Failure ReadSome(const ImageHandle& file, void* data, std::size_t size, std::size_t& got) {
    DWORD read = 0;
    const bool ok = ::ReadFile(file.Get(), data, static_cast<DWORD>(size), &read, nullptr);
    got = ok ? read : 0;
    return ok ? Failure{} : SystemFailure(FailureReason::ChecksumFailed);
}

ByteRanges DataExtents(const ImageHandle& file, std::uint64_t length) {
    ByteRanges extents;
    FILE_ALLOCATED_RANGE_BUFFER asked{};
    asked.FileOffset.QuadPart = 0;
    asked.Length.QuadPart = static_cast<LONGLONG>(length);
    for (;;) {
        FILE_ALLOCATED_RANGE_BUFFER found[64];
        DWORD returned = 0;
        const bool whole = ::DeviceIoControl(file.Get(), FSCTL_QUERY_ALLOCATED_RANGES, &asked,
                                             sizeof asked, found, sizeof found, &returned, nullptr);
        if (!whole && ::GetLastError() != ERROR_MORE_DATA) {
            return {{0, length}};
        }
        const std::size_t count = returned / sizeof found[0];
        for (std::size_t at = 0; at < count; ++at) {
            const auto from = static_cast<std::uint64_t>(found[at].FileOffset.QuadPart);
            const auto size = static_cast<std::uint64_t>(found[at].Length.QuadPart);
            extents.push_back({from, std::min(from + size, length) - from});
        }
        if (whole || count == 0) {
            return extents;
        }
        // More than fit: ask again from the end of the last one found.
        const std::uint64_t next = extents.back().End();
        asked.FileOffset.QuadPart = static_cast<LONGLONG>(next);
        asked.Length.QuadPart = static_cast<LONGLONG>(length - next);
    }
}

Failure Flush(const ImageHandle& file) {
    return ::FlushFileBuffers(file.Get()) ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

Failure SetLength(const ImageHandle& file, std::uint64_t length) {
    if (Failure failure = PositionAt(file, length)) {
        return failure;
    }
    return ::SetEndOfFile(file.Get()) ? Failure{} : SystemFailure(FailureReason::WriteError);
}

// NTFS keeps holes only in a file marked sparse; FAT refuses the mark and writes the zeros.
void MarkSparse(const ImageHandle& file) {
    DWORD returned = 0;
    (void)::DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                            nullptr);
}

Failure WriteAll(const ImageHandle& file, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(file.Get(), next, static_cast<DWORD>(size), &written, nullptr)) {
            return SystemFailure(::GetLastError() == ERROR_FILE_TOO_LARGE
                                     ? FailureReason::FileTooLarge
                                     : FailureReason::WriteError);
        }
        if (written == 0) {
            return {FailureReason::WriteError, ERROR_DISK_FULL, {}};
        }
        next += written;
        size -= written;
    }
    return {};
}

// The platform's own lazy writer keeps the cache moving.
Failure PaceWriteback(const ImageHandle& /*file*/, std::uint64_t /*lengthBefore*/,
                      std::uint64_t /*lengthAfter*/) {
    return {};
}

Failure FlushAndClose(ImageHandle& file) {
    if (Failure failure = Flush(file)) {
        return failure;
    }
    return ::CloseHandle(file.Release()) ? Failure{} : SystemFailure(FailureReason::FlushFailed);
}

// Windows refuses to replace a file while any handle on it is open, so the old target is let go
// for the moment of the move. A second run could take the old file then; both images would be
// whole, and the one moved last wins.
// A file is told to be on a drive by its folder's volume, when the folder is opened; a link
// elsewhere is refused where the image is read (its reparse tag).
bool FileIsOn(const std::filesystem::path& /*path*/, drive::DriveHandle /*drive*/) {
    return false;
}

// Uncached writes would need a handle of their own opened with FILE_FLAG_NO_BUFFERING; the
// image's one handle is held unshared, so its writes go through the cache.
bool OpenForDirectWrites(const ImageHandle& /*file*/, ImageHandle& /*direct*/) {
    return false;
}

bool OpenForDirectReads(const ImageHandle& /*file*/, ImageHandle& /*direct*/) {
    return false;
}

void LetGoBeforeReplace(ImageHandle& held) {
    held.Reset();
}

Failure OpenToRead(const std::filesystem::path& path, ImageHandle& file) {
    const std::string name = path.filename().string();
    file.Reset(::CreateFileA(path.string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        return {FailureReason::ChecksumFailed, static_cast<int>(::GetLastError()),
                name + ": cannot be opened"};
    }
    return IsRegularFile(file.Get())
               ? Failure{}
               : Failure{FailureReason::ChecksumFailed, 0, name + ": not a regular file"};
}

Failure ReadSideFile(const std::filesystem::path& path, std::uint64_t limit, std::string& content) {
    content.clear();
    const std::string name = path.filename().string();
    if (IsLink(path.string())) {
        return {FailureReason::ImageRefused, 0, name + ": a link, not a file"};
    }
    ImageHandle file(::CreateFileA(path.string().c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
    if (!file.IsValid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? Failure{}
                   : Failure{FailureReason::ImageRefused, static_cast<int>(error),
                             name + ": cannot be opened"};
    }
    std::uint64_t size = 0;
    if (!IsRegularFile(file.Get()) || LengthOf(file, size)) {
        return {FailureReason::ImageRefused, 0, name + ": not a regular file"};
    }
    if (size > limit) {
        return {FailureReason::ImageRefused, 0,
                name + ": " + std::to_string(size) + " bytes, more than such a file holds (" +
                    std::to_string(limit) + ")"};
    }
    content.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < content.size()) {
        std::size_t got = 0;
        if (ReadSome(file, content.data() + done, content.size() - done, got)) {
            content.clear();
            return {FailureReason::ImageRefused, static_cast<int>(::GetLastError()),
                    name + ": cannot be read"};
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    content.resize(done);
    return {};
}

Failure TargetFolder::ReadSideFile(const std::string& name, std::uint64_t limit,
                                   std::string& content) const {
    return imaging::ReadSideFile(m_state.path + name, limit, content);
}

Failure LengthOf(const ImageHandle& file, std::uint64_t& length) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        return SystemFailure(FailureReason::WriteError);
    }
    length = static_cast<std::uint64_t>(size.QuadPart);
    return {};
}

}  // namespace imaging
