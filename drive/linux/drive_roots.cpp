#include "drive_roots.h"

#include <utility>

namespace drive {
namespace {

struct Roots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path dev = "/dev";
};

Roots& TheRoots() {
    static Roots roots;
    return roots;
}

}  // namespace

const std::filesystem::path& SysRoot() {
    return TheRoots().sys;
}
const std::filesystem::path& DevRoot() {
    return TheRoots().dev;
}

void SetDriveRoots(std::filesystem::path sysRoot, std::filesystem::path devRoot) {
    TheRoots().sys = std::move(sysRoot);
    TheRoots().dev = std::move(devRoot);
}

}  // namespace drive
