#include "image_file.h"

namespace imaging {

// sha256sum marks a line whose name holds a backslash or a newline with a leading backslash
// and escapes both, so every name reads back as it is.
std::string ChecksumLine(const std::string& hexDigest, const std::string& name) {
    std::string escaped;
    bool marked = false;
    for (const char c : name) {
        if (c == '\\' || c == '\n') {
            escaped += c == '\\' ? "\\\\" : "\\n";
            marked = true;
        } else {
            escaped += c;
        }
    }
    return (marked ? "\\" : "") + hexDigest + "  " + escaped + "\n";
}

}  // namespace imaging
