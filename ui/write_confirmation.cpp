#include "write_confirmation.h"

#include "outcome/numbers.h"

namespace ui {

std::string ConfirmationText(const std::vector<drive::Drive>& cards, const std::string& imagePath,
                             const imaging::ImageFacts& image) {
    std::string text;
    for (const drive::Drive& card : cards) {
        text += drive::FormatDriveDetails(card) + "\n\n";
    }
    text += (cards.size() == 1
                 ? "ALL DATA on it"
                 : "ALL DATA on each of these " + std::to_string(cards.size()) + " cards") +
            " will be replaced by " + imagePath + " (" + imaging::DescribeImage(image) + ").";
    if (image.unreadableBytes != 0) {
        text += "\n" + imaging::GroupedNumber(image.unreadableBytes) +
                " bytes of this image were unreadable on the original card and are zeros.";
    }
    return text;
}

bool WriteMayBeAccepted(std::int64_t openedAt, std::int64_t now) {
    return now - openedAt > kConfirmGuardSeconds;
}

}  // namespace ui
