#include "audit_log.h"

#include <fcntl.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/platform.h"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace korvath::cli {

namespace {

QString qText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

#ifdef _WIN32
int openForAppend(const std::filesystem::path& path) {
    return _wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}
long writeOnce(int fd, const std::string& bytes) {
    return _write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
}
int flushToDisk(int fd) {
    return _commit(fd);
}
void closeFile(int fd) {
    _close(fd);
}
#else
int openForAppend(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}
long writeOnce(int fd, const std::string& bytes) {
    return static_cast<long>(::write(fd, bytes.data(), bytes.size()));
}
int flushToDisk(int fd) {
    return ::fsync(fd);
}
void closeFile(int fd) {
    ::close(fd);
}
#endif

}  // namespace

std::string isoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis % 1000));
    return text;
}

std::string auditLine(const UnitRecord& record) {
    QJsonArray errors;
    for (const std::string& error : record.errors) errors.append(qText(error));
    QJsonObject object{
        {"started", qText(isoUtc(record.started))},
        {"finished", qText(isoUtc(record.finished))},
        {"host", qText(record.host)},
        {"port", qText(record.port)},
        {"image", qText(platform::utf8Text(record.image))},
        {"image_sha256", qText(record.imageSha256)},
        {"records", record.records},
        {"model", record.model ? QJsonValue(*record.model) : QJsonValue(QJsonValue::Null)},
        {"result", qText(record.result)},
        {"exit", record.exit},
        {"seconds", std::round(record.seconds * 1000) / 1000},
        {"errors", errors},
        {"version", qText(record.version)},
    };
    if (record.unit) object.insert("unit", *record.unit);
    std::string line = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    line += '\n';
    return line;
}

std::unique_ptr<AuditLog> AuditLog::open(const std::filesystem::path& path, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = "is a folder";
        return nullptr;
    }
    const int fd = openForAppend(path);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<AuditLog>(new AuditLog(fd));
}

AuditLog::~AuditLog() {
    closeFile(fd_);
}

std::string AuditLog::append(const UnitRecord& record) {
    const std::string line = auditLine(record);
    const std::lock_guard lock(mutex_);
    const long written = writeOnce(fd_, line);
    if (written < 0) return std::strerror(errno);
    if (static_cast<std::size_t>(written) != line.size()) return "short write";
    if (flushToDisk(fd_) != 0) return std::strerror(errno);
    return {};
}

}  // namespace korvath::cli
