#include "support/TestMain.h"

#include <QDir>
#include <QTemporaryDir>
#include <QUuid>
#include <cstdlib>

namespace {
QTemporaryDir* g_home = nullptr;
}

QString isolateHomeForTests() {
    if (g_home)
        return g_home->path();
    g_home = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orlavant-test-XXXXXX"));
    const QString root = g_home->path();
    const struct {
        const char* variable;
        const char* folder;
    } dirs[] = {
        {"HOME", "home"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CACHE_HOME", "home/.cache"},
        {"XDG_STATE_HOME", "home/.local/state"},
        {"XDG_RUNTIME_DIR", "runtime"},
        {"XDG_DOWNLOAD_DIR", "home/Downloads"},
    };
    for (const auto& dir : dirs) {
        const QString path = root + QLatin1Char('/') + QLatin1String(dir.folder);
        QDir().mkpath(path);
        qputenv(dir.variable, path.toLocal8Bit());
    }
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Drop the temporary home when the process exits normally.
    std::atexit([] {
        delete g_home;
        g_home = nullptr;
    });
    return root;
}

QString makeTempDir(const QString& name) {
    const QString path = isolateHomeForTests() + QStringLiteral("/tmp/") + name + QLatin1Char('-') +
                         QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    QDir().mkpath(path);
    return path;
}
