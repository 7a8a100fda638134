#include "support/TestMain.h"

#include <QDir>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QUuid>
#include <cstdlib>
#include <functional>

namespace {

QTemporaryDir* g_home = nullptr;

// The variables every isolated process gets, and where under its root they point.
const struct {
    const char* variable;
    const char* folder;
} IsolatedDirs[] = {
    {"HOME", "home"},
    {"XDG_CONFIG_HOME", "home/.config"},
    {"XDG_DATA_HOME", "home/.local/share"},
    {"XDG_CACHE_HOME", "home/.cache"},
    {"XDG_STATE_HOME", "home/.local/state"},
    {"XDG_RUNTIME_DIR", "runtime"},
    {"XDG_DOWNLOAD_DIR", "home/Downloads"},
};

// Makes the folders under `root` and hands each variable's value to `set`.
void makeIsolatedDirs(const QString& root, const std::function<void(const char*, const QString&)>& set) {
    for (const auto& dir : IsolatedDirs) {
        const QString path = root + QLatin1Char('/') + QLatin1String(dir.folder);
        QDir().mkpath(path);
        set(dir.variable, path);
    }
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

QString isolateHomeForTests() {
    if (g_home)
        return g_home->path();
    g_home = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orlavant-test-XXXXXX"));
    const QString root = g_home->path();
    makeIsolatedDirs(
        root, [](const char* variable, const QString& path) { qputenv(variable, path.toLocal8Bit()); });
    // Drop the temporary home when the process exits normally.
    std::atexit([] {
        delete g_home;
        g_home = nullptr;
    });
    return root;
}

QString isolateHome(QProcessEnvironment& environment, const QString& root) {
    makeIsolatedDirs(root, [&environment](const char* variable, const QString& path) {
        environment.insert(QString::fromLatin1(variable), path);
    });
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    return root;
}

QString makeTempDir(const QString& name) {
    const QString path = isolateHomeForTests() + QStringLiteral("/tmp/") + name + QLatin1Char('-') +
                         QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    QDir().mkpath(path);
    return path;
}
