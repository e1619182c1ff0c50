#include "ui/eliding_line_edit.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace korvath::ui {

namespace {
// QLineEdit keeps this many pixels between its frame and its text on either side.
constexpr int kHorizontalMargin = 2;
}  // namespace

ElidingLineEdit::ElidingLineEdit(Qt::TextElideMode mode, QWidget* parent)
    : QLineEdit(parent), mode_(mode) {}

QRect ElidingLineEdit::textArea() const {
    QStyleOptionFrame option;
    initStyleOption(&option);
    QRect area = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    area = area.marginsRemoved(textMargins());
    return area.adjusted(kHorizontalMargin, 0, -kHorizontalMargin, 0);
}

QString ElidingLineEdit::shownText() const {
    return fontMetrics().elidedText(text(), mode_, textArea().width());
}

void ElidingLineEdit::paintEvent(QPaintEvent* event) {
    const QString shown = shownText();
    if (editing() || shown == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(textArea(), (alignment() | Qt::AlignVCenter).toInt(), shown);
}

}  // namespace korvath::ui
