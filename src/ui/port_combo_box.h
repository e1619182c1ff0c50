// The port box: an editable drop-down that offers the ports found right now, with their
// descriptions, and takes whatever the user types (a number, a name, a path).
#pragma once

#include <functional>
#include <vector>

#include <QComboBox>

#include "ports/port_opener.h"

namespace korvath::ui {

class PortComboBox : public QComboBox {
    Q_OBJECT

  public:
    using ChoiceSource = std::function<std::vector<ports::PortChoice>()>;

    explicit PortComboBox(QWidget* parent = nullptr);

    /// Where the list comes from; asked again each time the list opens.
    void setChoiceSource(ChoiceSource source) { source_ = std::move(source); }

    /// Fills the list from the source; the typed text stays as it is.
    void refreshChoices();

    void showPopup() override;

  private:
    ChoiceSource source_;
};

}  // namespace korvath::ui
