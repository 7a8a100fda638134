#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM (what a desktop logout or `kill` sends) and SIGINT (Ctrl+C) as a Qt signal on the
// thread that made this object, so the program ends the way Quit ends it. The handler itself
// only writes one byte to a socket pair, the one thing that is safe there; a notifier reads it.
// A second signal while the first is being handled ends the process at once, for whoever found
// the orderly exit too slow. One object at a time; the default handling comes back with its end.
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

Q_SIGNALS:
    void requested(int signalNumber);

private:
    void onReadable();

    int m_fds[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};
