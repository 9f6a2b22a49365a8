#include "image_file.h"

#include <atomic>
#include <filesystem>

namespace imaging {
namespace {

using drive::Failure;
using drive::FailureReason;

// Leaves room for the prefix and suffixes of a hidden name within a file system's 255.
constexpr std::size_t kHiddenNameStem = 200;

// A hidden name beside the target that no other run or program uses.
std::string HiddenName(const std::string& name, const std::string& suffix) {
    static std::atomic<unsigned> sequence{0};
    return kPartialPrefix + name.substr(0, kHiddenNameStem) + suffix + ".kalvor-" +
           std::to_string(CurrentProcessId()) + "-" + std::to_string(sequence.fetch_add(1));
}

}  // namespace

// Handles are closed before the names are removed: some platforms remove no open file.
ImageFile::~ImageFile() {
    m_image.Reset();
    m_target.Reset();
    if (!m_partialName.empty()) {
        m_folder.Remove(m_partialName);
    }
    for (const auto& [hidden, name] : m_sidePartials) {
        m_folder.Remove(hidden);
    }
}

Failure ImageFile::Open(const std::string& path, drive::DriveHandle source,
                        const std::vector<std::string>& sideSuffixes, std::uint64_t length) {
    const std::filesystem::path target(path);
    m_name = target.filename().string();
    if (m_name.empty() || m_name == "." || m_name == "..") {
        return {FailureReason::ImageRefused, 0, "not a file name"};
    }
    const std::filesystem::path folder = target.parent_path();
    if (Failure failure = m_folder.Open(folder.empty() ? "." : folder, source)) {
        return failure;
    }
    bool fits = m_folder.NameFits(m_name);
    for (const std::string& suffix : sideSuffixes) {
        fits = fits && m_folder.NameFits(m_name + suffix);
    }
    if (!fits) {
        return {FailureReason::ImageRefused, 0, "the name, or its checksum file's, is too long"};
    }
    if (length > m_folder.LargestFile()) {
        return {FailureReason::FileTooLarge, 0,
                "the file system holds no file of 4 GiB (FAT); a .zst or .gz image may fit"};
    }
    Failure created = m_folder.CreateNew(m_name, m_image);
    if (!created || !NameTaken(created)) {
        return created;
    }
    if (Failure failure = m_folder.HoldExisting(m_name, m_target)) {
        return failure;
    }
    m_partialName = HiddenName(m_name, "");
    if (Failure failure = m_folder.CreateReplacement(m_partialName, m_target, m_image)) {
        m_partialName.clear();
        return failure;
    }
    return {};
}

Failure ImageFile::Write(const void* data, std::size_t size) {
    if (Failure failure = WriteAll(m_image, data, size)) {
        return failure;
    }
    const std::uint64_t before = m_length;
    m_length += size;
    m_endsInHole = false;
    return PaceWriteback(m_image, before, m_length);
}

Failure ImageFile::Skip(std::uint64_t size) {
    if (!m_markedSparse) {
        MarkSparse(m_image);
        m_markedSparse = true;
    }
    if (Failure failure = SkipAhead(m_image, size)) {
        return failure;
    }
    m_length += size;
    m_endsInHole = true;
    return {};
}

Failure ImageFile::WriteSideFile(const SideFile& side) {
    const std::string hidden = HiddenName(m_name, side.suffix);
    ImageHandle file;
    if (Failure failure = m_folder.CreateNew(hidden, file)) {
        return {FailureReason::WriteError, failure.error, failure.message};
    }
    m_sidePartials.emplace_back(hidden, m_name + side.suffix);
    if (Failure failure = WriteAll(file, side.content.data(), side.content.size())) {
        return failure;
    }
    return FlushAndClose(file);
}

Failure ImageFile::Commit(const std::vector<SideFile>& sideFiles) {
    if (m_endsInHole) {
        if (Failure failure = SetLength(m_image, m_length)) {
            return failure;
        }
    }
    if (Failure failure = FlushAndClose(m_image)) {
        return failure;
    }
    for (const SideFile& side : sideFiles) {
        if (Failure failure = WriteSideFile(side)) {
            return failure;
        }
    }
    if (!m_partialName.empty()) {
        LetGoBeforeReplace(m_target);
        if (Failure failure = m_folder.Replace(m_partialName, m_name)) {
            return failure;
        }
        m_partialName.clear();
    }
    while (!m_sidePartials.empty()) {
        const auto& [hidden, name] = m_sidePartials.back();
        if (Failure failure = m_folder.Replace(hidden, name)) {
            return failure;
        }
        m_sidePartials.pop_back();
    }
    return m_folder.Sync();
}

}  // namespace imaging
