#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "loop_device.h"
#include "test_system.h"

namespace testing_support {

// Cards sdw, sdx and sdy of 16 MiB, loop devices over files of pseudo-random bytes, each with its
// serial "SERIAL-<name>", beside whatever `sysfs` holds already; the list names them 0, 1 and 2
// (and a disk sdz, if there is one, 3).
class RemovableCards {
public:
    RemovableCards(const TempDir& dir, FakeSysfs& sysfs);
    const std::string& Loop(std::size_t card) const { return m_loops[card]->Path(); }

private:
    std::vector<std::unique_ptr<LoopDevice>> m_loops;
};

}  // namespace testing_support
