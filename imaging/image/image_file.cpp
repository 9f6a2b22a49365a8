#include "image/image_file.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>

#include "read/digest.h"

namespace imaging {

using error::Failure;
using error::FailureReason;

namespace {

// Leaves room for the prefix and suffixes of a hidden name within a file system's 255.
constexpr std::size_t kHiddenNameStem = 200;

// A run that finds every fresh name taken this many times over gives up.
constexpr int kHiddenNameAttempts = 1000;

constexpr const char* kHiddenMark = ".kalvor-";

constexpr std::size_t kReadBackBuffer = 1 << 20;

// Hidden names beside the target start with this, whatever side file they stand for.
std::string HiddenStem(const std::string& name) {
    return kPartialPrefix + name.substr(0, kHiddenNameStem);
}

// A hidden name beside the target that no other run or program uses: the process and a
// sequence number make it fresh, unless a run killed long ago of a process with the same number
// left one, which the caller then steps over.
std::string HiddenName(const std::string& name, const std::string& suffix) {
    static std::atomic<unsigned> sequence{0};
    return HiddenStem(name) + suffix + kHiddenMark + std::to_string(CurrentProcessId()) + "-" +
           std::to_string(sequence.fetch_add(1));
}

// Creates a file under a fresh hidden name; `create` makes it, and fails NameTaken on a name
// that exists.
template <typename Create>
Failure CreateHidden(const std::string& name, const std::string& suffix, std::string& hidden,
                     Create create) {
    Failure failure;
    for (int attempt = 0; attempt < kHiddenNameAttempts; ++attempt) {
        hidden = HiddenName(name, suffix);
        failure = create(hidden);
        if (!failure || !NameTaken(failure)) {
            break;
        }
    }
    if (failure) {
        hidden.clear();
    }
    return failure;
}

// The process that wrote a hidden file of the target whose hidden names start with `stem`;
// 0 where `entry` is not one.
unsigned long WriterOf(const std::string& entry, const std::string& stem) {
    const std::size_t mark = entry.rfind(kHiddenMark);
    if (entry.rfind(stem, 0) != 0 || mark == std::string::npos || mark < stem.size()) {
        return 0;
    }
    // ".card.img2.kalvor-..." starts with the stem of "card.img" too, but is another image's.
    const std::string suffix = entry.substr(stem.size(), mark - stem.size());
    if (!suffix.empty() &&
        std::find(kSideSuffixes.begin(), kSideSuffixes.end(), suffix) == kSideSuffixes.end()) {
        return 0;
    }
    const std::string numbers = entry.substr(mark + std::char_traits<char>::length(kHiddenMark));
    const std::size_t dash = numbers.find('-');
    if (dash == std::string::npos || dash + 1 == numbers.size() ||
        numbers.find_first_not_of("0123456789", dash + 1) != std::string::npos) {
        return 0;
    }
    // Anyone who may write to the folder can name a file so: a number that is not a process's
    // makes it "not ours", never an exception.
    unsigned long writer = 0;
    const char* const end = numbers.data() + dash;
    const auto [stop, error] = std::from_chars(numbers.data(), end, writer);
    return error == std::errc{} && stop == end ? writer : 0;
}

}  // namespace

void ImageFile::RemoveLeftovers() const {
    const std::string stem = HiddenStem(m_name);
    for (const std::string& entry : m_folder.Names()) {
        const unsigned long writer = WriterOf(entry, stem);
        if (writer != 0 && writer != CurrentProcessId() && !ProcessIsRunning(writer)) {
            m_folder.RemoveIfUnused(entry);
        }
    }
}

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

Failure ImageFile::Prepare(const std::string& path, drive::DriveHandle source,
                           const std::vector<std::string>& sideSuffixes, std::uint64_t length) {
    const std::filesystem::path target(path);
    m_name = target.filename().string();
    if (m_name.empty() || m_name == "." || m_name == "..") {
        return {FailureReason::ImageRefused, 0, "not a file name"};
    }
    const std::filesystem::path folderPath =
        target.parent_path().empty() ? "." : target.parent_path();
    if (Failure failure = m_folder.Open(folderPath, source)) {
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
    return {};
}

Failure ImageFile::CreateReplacement() {
    RemoveLeftovers();
    return CreateHidden(m_name, "", m_partialName, [this](const std::string& hidden) {
        return m_folder.CreateReplacement(hidden, m_target, m_image);
    });
}

Failure ImageFile::Open(const std::string& path, drive::DriveHandle source,
                        const std::vector<std::string>& sideSuffixes, std::uint64_t length) {
    if (Failure failure = Prepare(path, source, sideSuffixes, length)) {
        return failure;
    }
    Failure created = m_folder.CreateNew(m_name, m_image);
    if (!created) {
        RemoveLeftovers();
    }
    if (!created || !NameTaken(created)) {
        return created;
    }
    if (Failure failure = m_folder.HoldExisting(m_name, m_target)) {
        return failure;
    }
    return CreateReplacement();
}

// The map is read only once the target is held, so no other run changes it meanwhile.
Failure ImageFile::OpenToRescue(const std::string& path, drive::DriveHandle source,
                                std::uint64_t length, std::uint64_t longestMap,
                                std::string& earlierMap) {
    earlierMap.clear();
    if (Failure failure =
            Prepare(path, source, {kSideSuffixes.begin(), kSideSuffixes.end()}, length)) {
        return failure;
    }
    Failure created = m_folder.CreateNew(m_name, m_image);
    m_created = !created;
    if (created && !NameTaken(created)) {
        return created;
    }
    if (created) {
        if (Failure failure = m_folder.HoldExisting(m_name, m_target)) {
            return failure;
        }
        if (Failure failure = m_folder.ReadSideFile(m_name + kMapSuffix, longestMap, earlierMap)) {
            return failure;
        }
        if (earlierMap.empty()) {
            if (Failure failure = CreateReplacement()) {
                return failure;
            }
            m_created = true;
        } else {
            if (Failure failure = m_folder.MayWriteInPlace(m_name, m_target)) {
                return failure;
            }
            m_image = std::move(m_target);
            RemoveLeftovers();
        }
    } else {
        RemoveLeftovers();
    }
    return {};
}

// A continued image is never cut shorter than it is.
Failure ImageFile::Reserve(std::uint64_t length) {
    if (m_created) {
        MarkSparse(m_image);
    }
    std::uint64_t existing = 0;
    if (!m_created) {
        if (Failure failure = LengthOf(m_image, existing)) {
            return failure;
        }
    }
    m_length = std::max(length, existing);
    return SetLength(m_image, m_length);
}

Failure ImageFile::ReadAt(std::uint64_t offset, std::byte* data, std::size_t size,
                          std::size_t& got) {
    got = 0;
    if (Failure failure = PositionAt(m_image, offset)) {
        return failure;
    }
    for (std::size_t part = 1; got < size && part > 0; got += part) {
        if (Failure failure = ReadSome(m_image, data + got, size - got, part)) {
            return failure;
        }
    }
    return {};
}

Failure ImageFile::WriteAt(std::uint64_t offset, const std::byte* data, std::size_t size) {
    if (Failure failure = PositionAt(m_image, offset)) {
        return failure;
    }
    return WriteAll(m_image, data, size);
}

Failure ImageFile::FillAt(std::uint64_t offset, const std::byte* data, std::size_t size) {
    if (!m_created) {
        return WriteAt(offset, data, size);
    }
    for (std::size_t at = 0; at < size;) {
        const auto blockAt = [&](std::size_t from) { return std::min(kHoleBlock, size - from); };
        std::size_t end = at;
        const bool zero = IsZero(data + at, blockAt(at));
        while (end < size && IsZero(data + end, blockAt(end)) == zero) {
            end += blockAt(end);
        }
        if (Failure failure = zero ? Failure{} : WriteAt(offset + at, data + at, end - at)) {
            return failure;
        }
        at = end;
    }
    return {};
}

Failure ImageFile::SaveSideFile(const SideFile& side) {
    if (Failure failure = Flush(m_image)) {
        return failure;
    }
    return PlaceSideFile(side);
}

Failure ImageFile::PlaceSideFile(const SideFile& side) {
    if (Failure failure = WriteSideFile(side)) {
        return failure;
    }
    const auto [hidden, name] = m_sidePartials.back();
    if (Failure failure = m_folder.Replace(hidden, name)) {
        return failure;
    }
    m_sidePartials.pop_back();
    return {};
}

void ImageFile::RemoveSideFile(const std::string& suffix) const {
    m_folder.Remove(m_name + suffix);
}

Failure ImageFile::ReadBackSha256(std::string& hex) {
    if (Failure failure = PositionAt(m_image, 0)) {
        return failure;
    }
    std::vector<std::byte> buffer(kReadBackBuffer);
    Digest digest;
    std::size_t got = 0;
    do {
        if (Failure failure = ReadSome(m_image, buffer.data(), buffer.size(), got)) {
            return failure;
        }
        digest.Update(buffer.data(), got);
    } while (got > 0);
    return digest.Finish(hex);
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

// Holes need the file marked sparse first where the file system asks for that (NTFS).
bool ImageFile::OpenDirectWrites(ImageHandle& direct) {
    MarkSparse(m_image);
    return OpenForDirectWrites(m_image, direct);
}

Failure ImageFile::WriteSideFile(const SideFile& side) {
    std::string hidden;
    ImageHandle file;
    if (Failure failure = CreateHidden(m_name, side.suffix, hidden, [&](const std::string& name) {
            return m_folder.CreateNew(name, file);
        })) {
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
    std::vector<std::string> written;
    while (!m_sidePartials.empty()) {
        const auto& [hidden, name] = m_sidePartials.back();
        if (Failure failure = m_folder.Replace(hidden, name)) {
            return failure;
        }
        written.push_back(name);
        m_sidePartials.pop_back();
    }
    // A map left by an earlier rescue would tell of bad sectors this image does not have, an
    // old .md5 of bytes it does not hold.
    for (const char* suffix : kSideSuffixes) {
        if (std::find(written.begin(), written.end(), m_name + suffix) == written.end()) {
            m_folder.Remove(m_name + suffix);
        }
    }
    return m_folder.Sync();
}

Failure ImageFile::UpdateSideFile(const SideFile& side) {
    if (Failure failure = PlaceSideFile(side)) {
        return failure;
    }
    return m_folder.Sync();
}

}  // namespace imaging
