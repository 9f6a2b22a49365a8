#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cli {

// `text` as a JSON string, quoted, with quotes, backslashes and control characters escaped.
std::string JsonText(const std::string& text);

// `value` as a JSON number with two decimals.
std::string JsonNumber(double value);

// One JSON object on one line: each name with its value, already in JSON.
std::string JsonLine(const std::vector<std::pair<std::string, std::string>>& members);

}  // namespace cli
