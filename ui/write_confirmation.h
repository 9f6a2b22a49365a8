#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive.h"
#include "restore/image_facts.h"

namespace ui {

inline constexpr const char* kConfirmTitle = "Write to card";

// The confirmation box's Write accepts only once the box has been open this long, so a second
// Enter meant for the main window never writes a card.
inline constexpr std::int64_t kConfirmGuardSeconds = 2;

// What the box says: each card's own description and what will happen to them.
std::string ConfirmationText(const std::vector<drive::Drive>& cards, const std::string& imagePath,
                             const imaging::ImageFacts& image);

// True once a box opened at `openedAt` has been open kConfirmGuardSeconds by `now`; with whole
// seconds, a full second more, so never less than the guard.
bool WriteMayBeAccepted(std::int64_t openedAt, std::int64_t now);

}  // namespace ui
