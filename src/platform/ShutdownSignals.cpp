#include "platform/ShutdownSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Read by the handler: plain values only.
volatile sig_atomic_t g_writeFd = -1;
volatile sig_atomic_t g_received = 0;
constexpr int Handled[] = {SIGTERM, SIGINT};

extern "C" void onShutdownSignal(int signalNumber) {
    if (g_received) {
        // Asked again while the orderly exit runs: as if nobody had caught it.
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
        return;
    }
    g_received = 1;
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent)
    : QObject(parent) {
    Q_ASSERT(g_writeFd == -1);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return; // the default handling stays: the signal still ends the process
    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::onReadable);
    g_received = 0;
    g_writeFd = m_fds[0];
    struct sigaction action {};
    action.sa_handler = onShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : Handled)
        ::sigaction(signalNumber, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals() {
    if (m_fds[0] < 0)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : Handled)
        ::sigaction(signalNumber, &action, nullptr);
    g_writeFd = -1;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void ShutdownSignals::onReadable() {
    unsigned char byte = 0;
    ssize_t got;
    do {
        got = ::read(m_fds[1], &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1)
        emit requested(int(byte));
}
