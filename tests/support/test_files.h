#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace testing_support {

// A file of `size` bytes, pseudo-random from `seed`, so no two chunks are alike.
void WriteRandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint32_t seed);

// Byte-for-byte comparison of the first `length` bytes of two files (block devices too).
// The whole content of a file.
std::string ReadFile(const std::filesystem::path& path);

bool SamePrefix(const std::filesystem::path& a, const std::filesystem::path& b,
                std::uint64_t length);

}  // namespace testing_support
