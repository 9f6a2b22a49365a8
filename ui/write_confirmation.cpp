#include "write_confirmation.h"

#include "outcome/numbers.h"

namespace ui {

// One card: its description, then what will happen to it. Several: what will happen first, since
// their descriptions may run past the box's first screen, then each card's.
std::string ConfirmationText(const std::vector<drive::Drive>& cards, const std::string& imagePath,
                             const imaging::ImageFacts& image) {
    std::string what =
        (cards.size() == 1
             ? "ALL DATA on it"
             : "ALL DATA on each of these " + std::to_string(cards.size()) + " cards") +
        " will be replaced by " + imagePath + " (" + imaging::DescribeImage(image) + ").";
    if (image.unreadableBytes != 0) {
        what += "\n" + imaging::GroupedNumber(image.unreadableBytes) +
                " bytes of this image were unreadable on the original card and are zeros.";
    }
    std::string described;
    for (const drive::Drive& card : cards) {
        described += (described.empty() ? "" : "\n\n") + drive::FormatDriveDetails(card);
    }
    return cards.size() == 1 ? described + "\n\n" + what : what + "\n\n" + described;
}

bool WriteMayBeAccepted(std::int64_t openedAt, std::int64_t now) {
    return now - openedAt > kConfirmGuardSeconds;
}

}  // namespace ui
