#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// The real vault binary (ORLAVANT_VAULT_BINARY) on an ephemeral loopback port, over a data
// folder the test owns; its output goes to a log beside the data.
class VaultProcess {
public:
    static QString anonKey() { return QStringLiteral("e2e-anon-key"); }

    VaultProcess(const QString& dataDir, const QStringList& extraArgs = {})
        : m_logPath(dataDir + QStringLiteral(".log"))
        , m_args(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                             QStringLiteral("--data"), dataDir, QStringLiteral("--anon-key"), anonKey()} +
                 extraArgs) {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~VaultProcess() { stop(); }

    bool start() {
        QFile::remove(m_logPath);
        m_process.setStandardOutputFile(m_logPath);
        m_process.start(qEnvironmentVariable("ORLAVANT_VAULT_BINARY"), m_args);
        const auto up = [&] { return !baseUrl().isEmpty() || m_process.state() == QProcess::NotRunning; };
        return QTest::qWaitFor(up, 20000) && !baseUrl().isEmpty();
    }
    QString baseUrl() const {
        static const QRegularExpression listening(
            QStringLiteral("listening on (http://127\\.0\\.0\\.1:\\d+)"));
        QFile log(m_logPath);
        return log.open(QIODevice::ReadOnly) ? listening.match(QString::fromUtf8(log.readAll())).captured(1)
                                             : QString();
    }

    // As a crash or power cut would: no chance to finish anything.
    void kill() {
        m_process.kill();
        m_process.waitForFinished(20000);
    }
    void stop() {
        m_process.terminate();
        if (!m_process.waitForFinished(20000))
            kill();
    }

private:
    QString m_logPath;
    QStringList m_args;
    QProcess m_process;
};
