#include "window/effects_guard.h"

#include <utility>

#include "window/window_model.h"

namespace korvath::window {

EffectsGuard::Showing::Showing(EffectsGuard& guard)
    : guard_(guard), outermost_(!std::exchange(guard.showing_, true)) {}

EffectsGuard::Showing::~Showing() {
    if (!outermost_) return;
    guard_.showing_ = false;
    if (std::exchange(guard_.wakeHeld_, false)) guard_.face_.wake();
}

bool EffectsGuard::mayPoll() {
    if (!showing_) return true;
    wakeHeld_ = true;
    return false;
}

}  // namespace korvath::window
