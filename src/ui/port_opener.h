// How the window finds and opens a port from the text in its port box. The window only shows
// the choices and hands the text on; what a text means is the opener's business.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/port.h"

namespace korvath::ui {

/// One entry of the port drop-down: `text` is what goes into the box and opens the port.
struct PortChoice {
    std::string text;
    std::string description;
};

/// A port that opened, or why none did.
struct OpenedPort {
    std::unique_ptr<link::Port> port;
    std::string error;
};

class PortOpener {
  public:
    virtual ~PortOpener() = default;

    /// The ports offered right now, in display order. Called on the window's thread.
    [[nodiscard]] virtual std::vector<PortChoice> listChoices() = 0;

    /// Opens what `text` names on `clock`. Called on the download thread, which then owns the
    /// port for good: it is used, closed and destroyed there.
    [[nodiscard]] virtual OpenedPort open(std::string_view text, link::Clock& clock) = 0;
};

}  // namespace korvath::ui
