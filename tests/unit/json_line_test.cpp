#include <gtest/gtest.h>

#include <string>

#include "json_line.h"

namespace {

// A model, serial or reason with quotes, backslashes or control characters still makes one line
// of sound JSON: a lab's script reads it as it was.
TEST(JsonLine, EscapesWhatWouldBreakTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"SanDisk", "\"SanDisk\""},
        {"a \"quoted\" name", "\"a \\\"quoted\\\" name\""},
        {"C:\\images\\card.img", "\"C:\\\\images\\\\card.img\""},
        {std::string("line\nbreak\t\x01", 12), "\"line\\u000abreak\\u0009\\u0001\""},
        {"", "\"\""},
    };
    for (const auto& [text, json] : cases) {
        EXPECT_EQ(cli::JsonText(text), json) << text;
    }
    EXPECT_EQ(
        cli::JsonLine(
            {{"slot", "2"}, {"state", cli::JsonText("Done")}, {"mb", cli::JsonNumber(19.956)}}),
        "{\"slot\":2,\"state\":\"Done\",\"mb\":19.96}");
}

}  // namespace
