// A line box that shows a text wider than itself elided, "…" standing for what is left out,
// while it is not being edited; with the focus an editable box shows and edits the whole text.
// Where the text is cut decides what stays readable: the end of a port path ("…ttyUSB0"), both
// ends of a file name (model and version at its start, the extension at its end), the start
// of a status text.
#pragma once

#include <QLineEdit>

namespace korvath::ui {

class ElidingLineEdit : public QLineEdit {
    Q_OBJECT

  public:
    explicit ElidingLineEdit(Qt::TextElideMode mode, QWidget* parent = nullptr);

    /// What the box shows while it is not being edited: the text, or as much of it as fits.
    [[nodiscard]] QString shownText() const;
    /// True when the text does not fit and shows elided.
    [[nodiscard]] bool elided() const { return shownText() != text(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    [[nodiscard]] QRect textArea() const;
    [[nodiscard]] bool editing() const { return hasFocus() && !isReadOnly(); }

    Qt::TextElideMode mode_;
};

}  // namespace korvath::ui
