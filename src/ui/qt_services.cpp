#include "ui/qt_services.h"

#include <QFile>
#include <QSettings>

namespace korvath::ui {

namespace {

const QString kPortText = QStringLiteral("port/text");
const QString kImageFolder = QStringLiteral("image/folder");
const QString kLastImage = QStringLiteral("image/last");

QSettings settings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("korvath"),
                     QStringLiteral("korvath"));
}

std::filesystem::path toPath(const QVariant& value) {
    return std::filesystem::path(QFile::encodeName(value.toString()).toStdString());
}

QString fromPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

}  // namespace

window::Remembered QtSettingsStore::load() {
    const QSettings store = settings();
    window::Remembered remembered;
    remembered.portText = store.value(kPortText).toString().toStdString();
    remembered.imageFolder = toPath(store.value(kImageFolder));
    remembered.lastImage = toPath(store.value(kLastImage));
    return remembered;
}

void QtSettingsStore::save(const window::Remembered& remembered) {
    QSettings store = settings();
    store.setValue(kPortText, QString::fromStdString(remembered.portText));
    store.setValue(kImageFolder, fromPath(remembered.imageFolder));
    store.setValue(kLastImage, fromPath(remembered.lastImage));
}

}  // namespace korvath::ui
