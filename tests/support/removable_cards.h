#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "loop_device.h"
#include "test_system.h"

namespace testing_support {

// `count` cards of `size` bytes named up to sdy (sdw, sdx and sdy for three), loop devices over
// files of pseudo-random bytes, each with its serial "SERIAL-<name>", beside whatever `sysfs`
// holds already; the list names them 0, 1, 2, ... (and a disk sdz, if there is one, last).
class RemovableCards {
public:
    RemovableCards(const TempDir& dir, FakeSysfs& sysfs, int count = 3,
                   std::uint64_t size = 16 << 20);
    const std::string& Loop(std::size_t card) const { return m_loops[card]->Path(); }

private:
    std::vector<std::unique_ptr<LoopDevice>> m_loops;
};

}  // namespace testing_support
