#include "json_line.h"

#include <cstdio>

namespace cli {

std::string JsonText(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string JsonNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string JsonLine(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string line = "{";
    for (const auto& [name, value] : members) {
        line += (line.size() > 1 ? "," : "") + JsonText(name) + ":" + value;
    }
    return line + "}";
}

}  // namespace cli
