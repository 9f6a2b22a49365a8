#include "removable_cards.h"

#include "test_files.h"

namespace testing_support {

RemovableCards::RemovableCards(const TempDir& dir, FakeSysfs& sysfs) {
    for (const char* name : {"sdw", "sdx", "sdy"}) {
        const std::filesystem::path backing = dir / (std::string(name) + ".bin");
        WriteRandomFile(backing, 16 << 20, static_cast<std::uint32_t>(backing.string().size()));
        m_loops.push_back(std::make_unique<LoopDevice>(backing));
        sysfs.Add({.name = name,
                   .node = m_loops.back()->Path(),
                   .deviceNumber = m_loops.back()->DeviceNumber(),
                   .removableFlag = true,
                   .attributes = {{"device/serial", std::string("SERIAL-") + name}}});
    }
}

}  // namespace testing_support
