#include "ui/prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace korvath::ui {

QString imageFileNameFilter() {
    // File names are case-sensitive here, so the pattern spells out every case of the extension.
    return QStringLiteral("%1 (*.[sS][hH][xX])").arg(QLatin1String(kImageFilterDescription));
}

void QtPrompts::message(QWidget* parent, MessageIcon icon, const QString& title,
                        const QString& text) {
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    switch (icon) {
        case MessageIcon::None:
            break;
        case MessageIcon::Information:
            boxIcon = QMessageBox::Information;
            break;
        case MessageIcon::Warning:
            boxIcon = QMessageBox::Warning;
            break;
    }
    QMessageBox box(boxIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

std::optional<QString> QtPrompts::chooseImageFile(QWidget* parent, const QString& startPath) {
    QFileDialog dialog(parent, QStringLiteral("Open"), startPath);
    // The image filter first, as the dialog always offered it; every file for an image that
    // was saved under another extension.
    dialog.setNameFilters({imageFileNameFilter(), QStringLiteral("All files (*)")});
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setDefaultSuffix(QStringLiteral("SHX"));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files.first();
}

void QtPrompts::beep() {
    QApplication::beep();
}

bool QtPrompts::askToStop(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    QPushButton* stop = box.addButton(QStringLiteral("&Stop"), QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton(QStringLiteral("&Keep downloading"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == stop;
}

}  // namespace korvath::ui
