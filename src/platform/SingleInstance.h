#pragma once

#include <QObject>
#include <QString>
#include <chrono>

class QLocalServer;

// One running Orlavant per user session and profile, so that two sync engines never share a
// ledger. The first start takes an exclusive lock on a file (flock: the kernel lets go of it when
// the process ends, however it ends, so a killed instance never blocks the next start) and then
// answers on a local socket beside it. A later start finds the lock taken, asks the running one
// to show its window, and ends.
//
// The lock is taken before QApplication exists, so a second start costs almost nothing; the
// first one listens as soon as it has an event loop to answer from.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class HandOver {
        Delivered,     // the running instance took the request
        BecamePrimary, // the running instance ended meanwhile: this process holds the lock now
        NoAnswer,      // it holds the lock but did not answer in time
    };

    // `name` tells profiles apart (see nameFor()); `fallbackDirectory` holds the lock and socket
    // when the runtime directory cannot.
    SingleInstance(const QString& name, const QString& fallbackDirectory, QObject* parent = nullptr);
    ~SingleInstance() override;

    // "orlavant-" and a digest of where the settings and the ledger live: one instance per
    // profile, and a profile of its own (a test, the bundled local vault's) never hands over to
    // the everyday one.
    static QString nameFor(const QString& settingsPath, const QString& ledgerDirectory);

    // Where the lock and socket go: $XDG_RUNTIME_DIR when it is an absolute path to a directory
    // this user owns and may write in (made when missing), else `fallback`.
    static QString lockDirectory(const QByteArray& runtimeDirectory, const QString& fallback);

    QString lockPath() const { return m_directory + QLatin1Char('/') + m_name + QStringLiteral(".lock"); }
    QString socketPath() const { return m_directory + QLatin1Char('/') + m_name + QStringLiteral(".socket"); }
    // The address that reaches socketPath(): itself, or, when it is longer than a socket
    // address can be (a deep home folder), the same file through this process's handle on
    // its directory.
    QString socketAddress();

    // Takes the lock without waiting; true when this process is now the one instance (also when
    // no lock could be made at all: running twice is better than not running). Needs no Qt
    // application object.
    bool tryLock();
    bool isPrimary() const { return m_lockFd >= 0 || m_lockless; }

    // A later start: hands the running instance a request (to show its window, or only to say
    // it was started again) and waits for its answer. Meanwhile it keeps trying the lock, so a
    // first instance that ends (or dies) before answering never leaves this one stranded.
    HandOver handOver(bool showWindow, std::chrono::milliseconds timeout);

    // The one instance: answers later starts from now on (needs a Qt application object). False
    // when the socket could not be made; later starts then wait in vain and say so.
    bool listen();
    // Stops answering (the program is ending); later starts wait for the lock instead.
    void stopListening();

Q_SIGNALS:
    // A later start asked for the window.
    void showRequested();

private:
    void onConnection();

    QString m_name;
    QString m_directory;
    QString m_fallbackDirectory;
    int m_lockFd = -1;
    int m_directoryFd = -1; // open on m_directory when socketAddress() needed it
    bool m_lockless = false;
    QLocalServer* m_server = nullptr;
};
