// batch_copy DEVICE... -- ARGUMENT...: runs `kalvor ARGUMENT...` as the command line does, with
// each DEVICE presented to it as a removable USB disk, index 0, 1, ... in the order given,
// serial "BENCH-<index>", through a throwaway sysfs tree; "@nodes" in an argument becomes their
// nodes in that tree, comma-separated (--yes=@nodes). Exits with the command line's status.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "command_line.h"
#include "drive_probe.h"
#include "fake_sysfs.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<std::string> devices;
    int arg = 1;
    for (; arg < argc && std::string(argv[arg]) != "--"; ++arg) {
        devices.emplace_back(argv[arg]);
    }
    if (devices.empty() || devices.size() > 20 || arg == argc) {
        std::fprintf(stderr, "usage: batch_copy DEVICE... -- ARGUMENT...\n");
        return 2;
    }
    std::vector<std::string> arguments(argv + arg + 1, argv + argc);
    for (const std::string& device : devices) {
        struct stat status {};
        if (::stat(device.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
            std::fprintf(stderr, "batch_copy: %s is not a block device\n", device.c_str());
            return 2;
        }
    }
    std::string pattern = (fs::temp_directory_path() / "batch-copy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("batch_copy: a temporary folder");
        return 2;
    }
    const fs::path root = pattern;
    int status = cli::kExitUsage;
    {
        testing_support::FakeSysfs sysfs(root);
        for (std::size_t index = 0; index < devices.size(); ++index) {
            struct stat node {};
            ::stat(devices[index].c_str(), &node);
            sysfs.Add({.name = std::string("sd") + static_cast<char>('a' + index),
                       .node = devices[index],
                       .deviceNumber = std::to_string(major(node.st_rdev)) + ":" +
                                       std::to_string(minor(node.st_rdev)),
                       .bus = "usb",
                       .removableFlag = true,
                       .isVirtual = false,
                       .holders = {},
                       .attributes = {{"device/serial", "BENCH-" + std::to_string(index)}}});
        }
        std::string nodes;
        for (std::size_t index = 0; index < devices.size(); ++index) {
            nodes += (index == 0 ? "" : ",") + drive::DrivePath(static_cast<int>(index));
        }
        for (std::string& argument : arguments) {
            if (const std::size_t at = argument.find("@nodes"); at != std::string::npos) {
                argument.replace(at, 6, nodes);
            }
        }
        status = cli::RunCommandLine(cli::ParseCommandLine(arguments), stdin, stdout, stderr);
    }
    fs::remove_all(root);
    return status;
}
