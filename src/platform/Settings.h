#pragma once

#include <QByteArray>
#include <QMutex>
#include <QSettings>
#include <QString>
#include <memory>
#include <optional>

// The user settings store: strings, raw data and booleans under fixed keys, in one INI file
// that only the user can read (it holds the bearer token). Each typed reader answers nullopt
// when the key is absent or holds a value of another kind.
class Settings {
public:
    explicit Settings(QString filePath = defaultPath());

    // $XDG_CONFIG_HOME/orlavant/orlavant.conf
    static QString defaultPath();
    QString filePath() const { return m_path; }

    std::optional<QString> string(const QString& key) const;
    std::optional<QByteArray> data(const QString& key) const;
    // Only a stored boolean counts; any other text under the key gives nullopt.
    std::optional<bool> boolean(const QString& key) const;
    // A stored whole number, also when the file holds it as text ("4"); anything else gives nullopt.
    std::optional<int> integer(const QString& key) const;
    bool contains(const QString& key) const;

    void setString(const QString& key, const QString& value);
    void setData(const QString& key, const QByteArray& value);
    void setBool(const QString& key, bool value);
    void setInteger(const QString& key, int value);
    void remove(const QString& key);

    // Writes pending changes to disk now (they are also written on destruction).
    void sync();

private:
    void write(const QString& key, const QVariant& value);

    QString m_path;
    mutable QMutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
};
