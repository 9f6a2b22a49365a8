#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <optional>
#include <string>

#include "image_digest.h"
#include "image_file.h"

namespace imaging {
namespace {

// Leaves room for the prefix and suffix of a partial file's name within MAX_PATH's components.
constexpr std::size_t kPartialNameStem = 200;
constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

Failure Fail(FailureReason reason) {
    return {reason, static_cast<int>(::GetLastError())};
}

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

// True only when the platform says the path's volume lies on the source disk; where it cannot
// tell, nothing is refused.
bool LivesOnSource(const std::string& path, HANDLE source) {
    const auto sourceDisk = DiskNumberOf(source);
    char volume[MAX_PATH] = {};
    if (!sourceDisk || !::GetVolumePathNameA(path.c_str(), volume, sizeof volume)) {
        return false;
    }
    std::string volumeDevice = std::string("\\\\.\\") + volume;
    if (!volumeDevice.empty() && volumeDevice.back() == '\\') {
        volumeDevice.pop_back();
    }
    const ScopedWinHandle handle(::CreateFileA(volumeDevice.c_str(), 0,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    const auto imageDisk = handle.IsValid() ? DiskNumberOf(handle.Get()) : std::nullopt;
    return imageDisk && *imageDisk == *sourceDisk;
}

std::size_t NameStart(const std::string& path) {
    const std::size_t separator = path.find_last_of("\\/:");
    return separator == std::string::npos ? 0 : separator + 1;
}

// A name beside the target that no other run or program uses.
std::string PartialPath(const std::string& path, const char* kind) {
    static std::atomic<unsigned> sequence{0};
    const std::size_t start = NameStart(path);
    return path.substr(0, start) + "~" + path.substr(start, kPartialNameStem) + kind + ".kalvor-" +
           std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(sequence.fetch_add(1));
}

// Unshared: while this handle is open, no other run can open the file at all.
HANDLE OpenUnshared(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsRegularFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WriteAll(HANDLE file, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(file, next, static_cast<DWORD>(size), &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

Failure OpenFailure() {
    return ::GetLastError() == ERROR_SHARING_VIOLATION ? Fail(FailureReason::ImageInUse)
                                                       : Fail(FailureReason::ImageRefused);
}

Failure WriteSideFile(ImageFileState& state, const SideFile& side) {
    const std::string partial = PartialPath(state.path, side.suffix.c_str());
    ScopedWinHandle file(OpenUnshared(partial, CREATE_NEW));
    if (!file.IsValid()) {
        return Fail(FailureReason::WriteError);
    }
    state.sidePartials.emplace_back(partial, state.path + side.suffix);
    if (!WriteAll(file.Get(), side.content.data(), side.content.size())) {
        return Fail(FailureReason::WriteError);
    }
    if (!::FlushFileBuffers(file.Get()) || !::CloseHandle(file.Release())) {
        return Fail(FailureReason::FlushFailed);
    }
    return {};
}

}  // namespace

// The partial files are deleted only after every handle on them is closed.
ImageFile::~ImageFile() {
    m_state.image.Reset();
    m_state.target.Reset();
    if (!m_state.partialPath.empty()) {
        ::DeleteFileA(m_state.partialPath.c_str());
    }
    for (const auto& [partial, path] : m_state.sidePartials) {
        ::DeleteFileA(partial.c_str());
    }
}

// Nothing is created before the checks: a new target is made with CREATE_NEW, and an existing
// one is opened as it is and never emptied.
Failure ImageFile::Open(const std::string& path, drive::DriveHandle source) {
    m_state.path = path;
    m_state.name = path.substr(NameStart(path));
    if (m_state.name.empty() || IsDevicePath(path) || LivesOnSource(path, source)) {
        return {FailureReason::ImageRefused, 0};
    }
    m_state.image.Reset(OpenUnshared(path, CREATE_NEW));
    if (m_state.image.IsValid()) {
        // A reserved name such as COM1 opens a device, not a new file.
        return IsRegularFile(m_state.image.Get()) ? Failure{}
                                                  : Failure{FailureReason::ImageRefused, 0};
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        return OpenFailure();
    }
    m_state.target.Reset(OpenUnshared(path, OPEN_EXISTING));
    if (!m_state.target.IsValid()) {
        return OpenFailure();
    }
    if (!IsRegularFile(m_state.target.Get())) {
        return {FailureReason::ImageRefused, 0};
    }
    m_state.partialPath = PartialPath(path, "");
    m_state.image.Reset(OpenUnshared(m_state.partialPath, CREATE_NEW));
    if (!m_state.image.IsValid()) {
        const Failure failure = Fail(FailureReason::ImageRefused);
        m_state.partialPath.clear();
        return failure;
    }
    return {};
}

bool ImageFile::Write(const void* data, std::size_t size) {
    return WriteAll(m_state.image.Get(), data, size);
}

bool ImageFile::PaceWriteback(std::uint64_t /*lengthBefore*/, std::uint64_t /*lengthAfter*/,
                              ImageDigest& /*digest*/) {
    return true;
}

// The old target is let go only for the moment of the replacement, which the platform refuses
// while any handle on it is open.
Failure ImageFile::Commit(const std::vector<SideFile>& sideFiles) {
    if (!::FlushFileBuffers(m_state.image.Get()) || !::CloseHandle(m_state.image.Release())) {
        return Fail(FailureReason::FlushFailed);
    }
    for (const SideFile& side : sideFiles) {
        if (const Failure failure = WriteSideFile(m_state, side)) {
            return failure;
        }
    }
    if (!m_state.partialPath.empty()) {
        m_state.target.Reset();
        if (!::MoveFileExA(m_state.partialPath.c_str(), m_state.path.c_str(), kReplace)) {
            return Fail(FailureReason::WriteError);
        }
        m_state.partialPath.clear();
    }
    while (!m_state.sidePartials.empty()) {
        const auto& [partial, path] = m_state.sidePartials.back();
        if (!::MoveFileExA(partial.c_str(), path.c_str(), kReplace)) {
            return Fail(FailureReason::WriteError);
        }
        m_state.sidePartials.pop_back();
    }
    return {};
}

ImageHandle ImageFile::Handle() const {
    return m_state.image.Get();
}

}  // namespace imaging
