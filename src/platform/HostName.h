#pragma once

#include <QString>

// The computer's user-visible name, used as the device name in every vault call: the pretty
// host name from /etc/machine-info when set, else the host name, else "Mac".
// `machineInfoPath` exists for tests.
QString deviceDisplayName(const QString& machineInfoPath = QStringLiteral("/etc/machine-info"));

// The device type this client reports to the vault.
inline QString deviceType() {
    return QStringLiteral("mac");
}
