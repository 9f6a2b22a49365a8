#pragma once

#include <functional>

namespace imaging {

// Runs `body` on a new thread at the calling thread's priority while `here` runs on this one,
// and returns once both have ended. False, without running either, when no thread could be
// started.
bool RunBesideAtThisPriority(const std::function<void()>& body, const std::function<void()>& here);

}  // namespace imaging
