#pragma once

#include <cstdint>
#include <ctime>

namespace ui {

// Wall-clock time in whole seconds since the epoch, as the copy job stamps its start.
class Clock {
public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;
    virtual std::int64_t Now() const = 0;
};

class SystemClock : public Clock {
public:
    std::int64_t Now() const override { return std::time(nullptr); }
};

}  // namespace ui
