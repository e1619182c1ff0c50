#include "ui/port_combo_box.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTreeView>

#include "ui/eliding_line_edit.h"

namespace korvath::ui {

namespace {
constexpr int kTextColumn = 0;
constexpr int kDescriptionColumn = 1;
}  // namespace

PortComboBox::PortComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    // A device path is wider than the box: its end ("ttyUSB0", "pts/12") tells ports apart.
    setLineEdit(new ElidingLineEdit(Qt::ElideLeft, this));
    // What the user types is opened as typed: no completion into a listed name, no insertion.
    setCompleter(nullptr);
    setInsertPolicy(QComboBox::NoInsert);

    auto* model = new QStandardItemModel(0, 2, this);
    setModel(model);
    setModelColumn(kTextColumn);

    // Two columns so that the description shows next to the name without becoming its text.
    auto* view = new QTreeView(this);
    view->setHeaderHidden(true);
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setAllColumnsShowFocus(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    setView(view);
}

void PortComboBox::refreshChoices() {
    const QString typed = currentText();
    auto* model = static_cast<QStandardItemModel*>(this->model());
    model->removeRows(0, model->rowCount());
    if (source_) {
        for (const ports::PortChoice& choice : source_()) {
            auto* text = new QStandardItem(QString::fromStdString(choice.text));
            auto* description = new QStandardItem(QString::fromStdString(choice.description));
            text->setToolTip(description->text());
            description->setToolTip(description->text());
            model->appendRow({text, description});
        }
    }
    setCurrentIndex(-1);
    setEditText(typed);
}

void PortComboBox::showPopup() {
    refreshChoices();
    auto* tree = static_cast<QTreeView*>(view());
    // The box shows its text in bold; the list reads better in the normal weight.
    QFont listFont = font();
    listFont.setBold(false);
    tree->setFont(listFont);
    tree->resizeColumnToContents(kTextColumn);
    tree->resizeColumnToContents(kDescriptionColumn);
    // The box itself is narrow; the list is as wide as its two columns need.
    const int width = tree->columnWidth(kTextColumn) + tree->columnWidth(kDescriptionColumn) +
                      2 * tree->frameWidth() + 4;
    tree->setMinimumWidth(width);
    QComboBox::showPopup();
}

}  // namespace korvath::ui
