#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"

namespace testing_support {

// What one run of the command line printed and returned.
struct Printed {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    return text;
}

// The command line run as a script runs it: no terminal to type a confirmation on.
inline Printed RunLine(const std::vector<std::string>& arguments) {
    using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
    const File in(std::tmpfile(), std::fclose);
    const File out(std::tmpfile(), std::fclose);
    const File err(std::tmpfile(), std::fclose);
    Printed run;
    run.status =
        cli::RunCommandLine(cli::ParseCommandLine(arguments), in.get(), out.get(), err.get());
    run.out = Contents(out.get());
    run.err = Contents(err.get());
    return run;
}

}  // namespace testing_support
