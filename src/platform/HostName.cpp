#include "platform/HostName.h"

#include <QFile>
#include <QSysInfo>

namespace {

// /etc/machine-info is a shell-style assignment file; values may be quoted.
QString prettyHostName(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            continue;
        QString value = line.mid(int(qstrlen("PRETTY_HOSTNAME=")));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value.trimmed();
    }
    return {};
}

} // namespace

QString deviceDisplayName(const QString& machineInfoPath) {
    QString name = prettyHostName(machineInfoPath);
    if (name.isEmpty())
        name = QSysInfo::machineHostName();
    return name.isEmpty() ? QStringLiteral("Mac") : name;
}
