// The program's port opener: real serial ports and the built-in simulated controller, as the
// shared port factory lists and opens them.
#pragma once

#include "ui/port_opener.h"

namespace korvath::ui {

class FactoryPortOpener final : public PortOpener {
  public:
    [[nodiscard]] std::vector<PortChoice> listChoices() override;
    [[nodiscard]] OpenedPort open(std::string_view text, link::Clock& clock) override;
};

}  // namespace korvath::ui
