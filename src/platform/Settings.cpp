#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <climits>

namespace {

// Create the file user-only before QSettings first writes it; QSettings replaces the file
// through QSaveFile, which keeps the permissions of the file it replaces.
void ensurePrivateFile(const QString& path) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    QFile file(path);
    if (!file.exists()) {
        if (file.open(QIODevice::WriteOnly))
            file.close();
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

Settings::Settings(QString filePath)
    : m_path(std::move(filePath)) {
    ensurePrivateFile(m_path);
    m_settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
}

QString Settings::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/orlavant/orlavant.conf");
}

std::optional<QString> Settings::string(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    const QVariant value = m_settings->value(key);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QByteArray> Settings::data(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    const QVariant value = m_settings->value(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    if (value.typeId() == QMetaType::QString)
        return value.toString().toUtf8();
    return std::nullopt;
}

std::optional<bool> Settings::boolean(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    const QVariant value = m_settings->value(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    // The INI format keeps booleans as the words true and false.
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

std::optional<int> Settings::integer(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    const QVariant value = m_settings->value(key);
    if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong)
        return int(std::clamp<qlonglong>(value.toLongLong(), INT_MIN, INT_MAX));
    if (value.typeId() == QMetaType::QString) {
        bool ok = false;
        const int number = value.toString().trimmed().toInt(&ok);
        if (ok)
            return number;
    }
    return std::nullopt;
}

bool Settings::contains(const QString& key) const {
    QMutexLocker lock(&m_mutex);
    return m_settings->contains(key);
}

void Settings::setString(const QString& key, const QString& value) {
    write(key, value);
}

void Settings::setData(const QString& key, const QByteArray& value) {
    write(key, value);
}

void Settings::setInteger(const QString& key, int value) {
    write(key, value);
}

void Settings::setBool(const QString& key, bool value) {
    write(key, value);
}

void Settings::remove(const QString& key) {
    QMutexLocker lock(&m_mutex);
    m_settings->remove(key);
    m_settings->sync();
}

void Settings::sync() {
    QMutexLocker lock(&m_mutex);
    m_settings->sync();
}

void Settings::write(const QString& key, const QVariant& value) {
    QMutexLocker lock(&m_mutex);
    m_settings->setValue(key, value);
    // Written at once: a crash must not lose a sign-in or a chosen folder.
    m_settings->sync();
}
