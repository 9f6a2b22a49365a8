#include "kernel_name_order.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace drive {
namespace {

// A name splits into words and numbers. The disk families that count in letters (sdz, sdaa)
// turn their letters into a number, so sdaa comes after sdz as it does for the kernel.
using Token = std::variant<std::string, std::uint64_t>;

constexpr std::string_view kLetterCountedFamilies[] = {"sd", "hd", "vd", "xvd"};

bool IsLetters(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::islower(c) != 0; });
}

std::uint64_t LettersAsNumber(std::string_view letters) {
    std::uint64_t value = 0;
    for (const char c : letters) {
        value = value * 26 + static_cast<std::uint64_t>(c - 'a' + 1);
    }
    return value;
}

std::vector<Token> Tokenize(std::string_view name) {
    for (const std::string_view family : kLetterCountedFamilies) {
        if (name.size() > family.size() && name.substr(0, family.size()) == family &&
            IsLetters(name.substr(family.size()))) {
            return {std::string(family), LettersAsNumber(name.substr(family.size()))};
        }
    }
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < name.size()) {
        const bool digits = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        std::size_t j = i;
        while (j < name.size() &&
               (std::isdigit(static_cast<unsigned char>(name[j])) != 0) == digits) {
            ++j;
        }
        const std::string_view run = name.substr(i, j - i);
        std::uint64_t number = 0;
        if (digits &&
            std::from_chars(run.data(), run.data() + run.size(), number).ec == std::errc{}) {
            tokens.emplace_back(number);
        } else {
            tokens.emplace_back(std::string(run));
        }
        i = j;
    }
    return tokens;
}

}  // namespace

bool KernelNameLess(std::string_view a, std::string_view b) {
    return Tokenize(a) < Tokenize(b);
}

}  // namespace drive
