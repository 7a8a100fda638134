#include "platform/Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString EntryName = QStringLiteral("orlavant.desktop");

// The value of `key` in the entry's main group; empty when absent.
QString entryValue(const QByteArray& text, const QByteArray& key) {
    bool inMainGroup = false;
    for (const QByteArray& rawLine : text.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0 && line.left(equals).trimmed() == key)
            return QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return {};
}

} // namespace

Autostart::Autostart(QString directory, QString executable)
    : m_directory(std::move(directory))
    , m_executable(executable.isEmpty() ? QCoreApplication::applicationFilePath() : std::move(executable)) {}

QString Autostart::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

QString Autostart::entryPath() const {
    return m_directory + QLatin1Char('/') + EntryName;
}

bool Autostart::isEnabled() const {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(64 * 1024);
    return entryValue(text, "Hidden").compare(QLatin1String("true"), Qt::CaseInsensitive) != 0 &&
           entryValue(text, "X-GNOME-Autostart-enabled")
                   .compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

QString Autostart::execValue(const QString& program) {
    // Inside the quotes the format wants ", `, $ and \ escaped with a backslash; the value as a
    // whole is a string whose own backslashes are doubled; "%" would start a field code.
    QString quoted;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    quoted.replace(u'%', QStringLiteral("%%"));
    return u'"' + quoted + QStringLiteral("\" ") + QLatin1String(BackgroundOption);
}

QByteArray Autostart::entryText(const QString& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Orlavant\n"
           "GenericName=Family Cloud Vault\n"
           "Comment=Keeps your folder in the family cloud vault\n"
           "Exec=" +
           execValue(program).toUtf8() +
           "\n"
           "Icon=orlavant\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool Autostart::setEnabled(bool enabled, QString* error) {
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!enabled) {
        QFile file(entryPath());
        if (file.exists() && !file.remove())
            return fail(QStringLiteral("Could not remove %1: %2").arg(entryPath(), file.errorString()));
        return true;
    }
    // A line break cannot be written in an Exec line that every desktop reads back the same way.
    if (m_executable.contains(u'\n') || m_executable.contains(u'\r'))
        return fail(QStringLiteral("The program's path (%1) cannot be started at login.").arg(m_executable));
    if (!QFileInfo(m_directory).isDir() && !QDir().mkpath(m_directory))
        return fail(QStringLiteral("Could not create the folder %1.").arg(m_directory));
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText(m_executable)) < 0 || !file.commit())
        return fail(QStringLiteral("Could not write %1: %2").arg(entryPath(), file.errorString()));
    return true;
}
