#include "removable_cards.h"

#include "test_files.h"

namespace testing_support {

RemovableCards::RemovableCards(const TempDir& dir, FakeSysfs& sysfs, int count,
                               std::uint64_t size) {
    for (char letter = static_cast<char>('z' - count); letter < 'z'; ++letter) {
        const std::string name = std::string("sd") + letter;
        const std::filesystem::path backing = dir / (name + ".bin");
        WriteRandomFile(backing, size, static_cast<std::uint32_t>(backing.string().size()));
        m_loops.push_back(std::make_unique<LoopDevice>(backing));
        sysfs.Add({.name = name,
                   .node = m_loops.back()->Path(),
                   .deviceNumber = m_loops.back()->DeviceNumber(),
                   .removableFlag = true,
                   .attributes = {{"device/serial", "SERIAL-" + name}}});
    }
}

}  // namespace testing_support
