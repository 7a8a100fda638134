#include "platform/SingleInstance.h"

#include "platform/Log.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray ShowRequest = "show\n";
const QByteArray StartedRequest = "started\n";
const QByteArray Answer = "ok\n";
constexpr qsizetype MaxRequestBytes = 64;
constexpr int ConnectionIdleMs = 5000;

// Writes all of `bytes`, or false.
bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// Reads one answer line within the deadline; empty when none came (closed, or too slow).
QByteArray readAnswer(int fd, const QDeadlineTimer& deadline) {
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() < MaxRequestBytes) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(std::max<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char buffer[MaxRequestBytes];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        answer.append(buffer, got);
    }
    return answer;
}

} // namespace

SingleInstance::SingleInstance(const QString& name, const QString& fallbackDirectory, QObject* parent)
    : QObject(parent)
    , m_name(name)
    , m_directory(lockDirectory(qgetenv("XDG_RUNTIME_DIR"), fallbackDirectory))
    , m_fallbackDirectory(fallbackDirectory) {}

// The socket goes before the lock: once the lock is free a new instance may make its own socket
// at the same path, and ours must not take it away. The lock file itself stays: removing it
// while another start has it open would let two processes lock two different files.
SingleInstance::~SingleInstance() {
    delete m_server;
    if (m_directoryFd >= 0)
        ::close(m_directoryFd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString SingleInstance::nameFor(const QString& settingsPath, const QString& ledgerDirectory) {
    const QByteArray where =
        QDir::cleanPath(settingsPath).toUtf8() + '\n' + QDir::cleanPath(ledgerDirectory).toUtf8();
    return QStringLiteral("orlavant-") +
           QString::fromLatin1(QCryptographicHash::hash(where, QCryptographicHash::Sha256).toHex().left(16));
}

QString SingleInstance::lockDirectory(const QByteArray& runtimeDirectory, const QString& fallback) {
    // The runtime directory is the user's own and lives as long as the session; one that is not
    // (a relative path, someone else's, not a directory) would let another user squat the socket.
    if (runtimeDirectory.isEmpty() || !runtimeDirectory.startsWith('/'))
        return fallback;
    // One that is missing is made, as the desktop (and Qt, for its own use) would: every start
    // in this session must choose the same place, also after the first one made it.
    struct stat info {};
    if (::stat(runtimeDirectory.constData(), &info) != 0 && errno == ENOENT &&
        QDir().mkpath(QFile::decodeName(runtimeDirectory)))
        ::chmod(runtimeDirectory.constData(), 0700);
    if (::stat(runtimeDirectory.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || ::access(runtimeDirectory.constData(), W_OK | X_OK) != 0)
        return fallback;
    return QDir::cleanPath(QFile::decodeName(runtimeDirectory));
}

QString SingleInstance::socketAddress() {
    const QString path = socketPath();
    // Qt's listen() with access options needs a few bytes more than the path (a path of 107
    // bytes, one short of the address's room, is refused), so leave a margin.
    constexpr size_t QtListenMargin = 8;
    if (size_t(QFile::encodeName(path).size()) + QtListenMargin < sizeof(sockaddr_un::sun_path))
        return path;
    if (m_directoryFd < 0)
        m_directoryFd = ::open(QFile::encodeName(m_directory).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return QStringLiteral("/proc/self/fd/%1/").arg(m_directoryFd) + m_name + QStringLiteral(".socket");
}

bool SingleInstance::tryLock() {
    if (isPrimary())
        return true;
    for (;;) {
        QDir().mkpath(m_directory);
        const QByteArray path = QFile::encodeName(lockPath());
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            int locked;
            do {
                locked = ::flock(fd, LOCK_EX | LOCK_NB);
            } while (locked != 0 && errno == EINTR);
            if (locked == 0) {
                m_lockFd = fd;
                const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
                if (::ftruncate(fd, 0) == 0)
                    writeAll(fd, pid); // for whoever wonders which process holds it
                return true;
            }
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                return false;
        }
        // This directory cannot hold a lock after all: the fallback, once.
        if (m_directory != m_fallbackDirectory) {
            m_directory = m_fallbackDirectory;
            if (m_directoryFd >= 0)
                ::close(m_directoryFd);
            m_directoryFd = -1;
            continue;
        }
        logLine(QStringLiteral("[Orlavant] Could not take the lock ") + lockPath() +
                QStringLiteral("; starting without checking for another running Orlavant."));
        m_lockless = true;
        return true;
    }
}

SingleInstance::HandOver SingleInstance::handOver(bool showWindow, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    const QByteArray path = QFile::encodeName(socketAddress());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool addressFits = size_t(path.size()) < sizeof address.sun_path;
    if (addressFits)
        std::copy(path.cbegin(), path.cend(), address.sun_path);
    for (;;) {
        if (addressFits) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                writeAll(fd, showWindow ? ShowRequest : StartedRequest) &&
                readAnswer(fd, deadline) == Answer) {
                ::close(fd);
                return HandOver::Delivered;
            }
            if (fd >= 0)
                ::close(fd);
        }
        // Not listening yet (it is starting, at this same moment perhaps), or gone.
        if (tryLock())
            return HandOver::BecamePrimary;
        if (deadline.hasExpired())
            return HandOver::NoAnswer;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool SingleInstance::listen() {
    if (m_lockless)
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by an instance that was killed: ours now, since we hold the lock.
    const QString address = socketAddress();
    QLocalServer::removeServer(address);
    if (!m_server->listen(address)) {
        logLine(QStringLiteral("[Orlavant] Cannot answer later starts on ") + socketPath() +
                QStringLiteral(": ") + m_server->errorString());
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    return true;
}

void SingleInstance::stopListening() {
    delete m_server;
    m_server = nullptr;
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A caller that connects and says nothing is not kept forever.
        QTimer::singleShot(ConnectionIdleMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > MaxRequestBytes)
                    socket->abort();
                return;
            }
            const QByteArray request = socket->readLine(MaxRequestBytes + 1);
            // Answered once the request is carried out, so the caller ends after the window is up.
            if (request == ShowRequest)
                emit showRequested();
            socket->write(Answer);
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}
