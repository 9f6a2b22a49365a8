#include "test_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace testing_support {

void WriteRandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block(1 << 14);
    for (std::uint64_t left = size; left > 0;) {
        for (auto& word : block) {
            word = random();
        }
        const std::uint64_t bytes = std::min<std::uint64_t>(left, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
        left -= bytes;
    }
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SamePrefix(const std::filesystem::path& a, const std::filesystem::path& b,
                std::uint64_t length) {
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

}  // namespace testing_support
