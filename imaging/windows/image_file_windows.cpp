#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <optional>
#include <string>

#include "image_file.h"
#include "scoped_handle.h"

namespace imaging {
namespace {

struct HandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { ::CloseHandle(handle); }
};
using ScopedWinHandle = drive::ScopedHandle<HandleTraits>;

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

}  // namespace

int CreateImageFile(const std::string& path, drive::DriveHandle source, ImageHandle& image) {
    image = kInvalidImageHandle;
    if (path.empty() || IsDevicePath(path) || LivesOnSource(path, source)) {
        return 0;
    }
    // Opened without truncation: only once it is known to be a file on a disk is it emptied.
    ScopedWinHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, 0, nullptr));
    if (!file.IsValid() || ::GetFileType(file.Get()) != FILE_TYPE_DISK) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ::SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !::SetEndOfFile(file.Get())) {
        return 0;
    }
    image = file.Release();
    return 1;
}

bool WriteImage(ImageHandle image, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(image, next, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0) {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

bool PaceWriteback(ImageHandle /*image*/, std::uint64_t /*lengthBefore*/,
                   std::uint64_t /*lengthAfter*/) {
    return true;
}

int FinishImageFile(ImageHandle image) {
    const bool flushed = ::FlushFileBuffers(image) != 0;
    const bool closed = ::CloseHandle(image) != 0;
    return flushed && closed ? 1 : 0;
}

void CloseImageFile(ImageHandle image) {
    ::CloseHandle(image);
}

}  // namespace imaging
