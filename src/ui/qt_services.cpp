#include "ui/qt_services.h"

#include <algorithm>

#include <QCryptographicHash>
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

image::Sha256Digest qtSha256(std::string_view bytes) {
    const QByteArray hash =
        QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256);
    image::Sha256Digest digest{};
    std::copy_n(hash.constData(), std::min<std::size_t>(digest.size(), hash.size()),
                reinterpret_cast<char*>(digest.data()));
    return digest;
}

}  // namespace korvath::ui
