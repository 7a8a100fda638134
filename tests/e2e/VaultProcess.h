#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>

// The real orlavant-vault binary (its path comes from ORLAVANT_VAULT_BINARY) on an ephemeral
// loopback port, over a data folder the test owns. Output goes to a log file beside the data.
class VaultProcess {
public:
    static QString anonKey() { return QStringLiteral("e2e-anon-key"); }

    VaultProcess(QString dataDir, QStringList extraArgs = {})
        : m_dataDir(std::move(dataDir))
        , m_extraArgs(std::move(extraArgs)) {}
    ~VaultProcess() { stop(); }

    // Starts the server and waits until it prints the address it serves.
    bool start() {
        const QString binary = qEnvironmentVariable("ORLAVANT_VAULT_BINARY");
        if (binary.isEmpty())
            return false;
        m_logPath = m_dataDir + QStringLiteral(".log%1").arg(++m_starts);
        m_process.setStandardOutputFile(m_logPath);
        m_process.setStandardErrorFile(m_logPath + QStringLiteral(".err"));
        m_process.start(binary, QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                            QStringLiteral("--data"), m_dataDir, QStringLiteral("--anon-key"),
                                            anonKey()} +
                                    m_extraArgs);
        if (!m_process.waitForStarted(10000))
            return false;
        static const QRegularExpression listening(
            QStringLiteral("listening on (http://127\\.0\\.0\\.1:\\d+)"));
        const bool up = QTest::qWaitFor(
            [&] {
                QFile log(m_logPath);
                if (!log.open(QIODevice::ReadOnly))
                    return false;
                const auto match = listening.match(QString::fromUtf8(log.readAll()));
                if (match.hasMatch())
                    m_baseUrl = match.captured(1);
                return match.hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            10000);
        return up && !m_baseUrl.isEmpty();
    }

    // As a crash or power cut would: no chance to finish anything.
    void kill() {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            kill();
    }
    bool exitedCleanly() const {
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    QString baseUrl() const { return m_baseUrl; }
    QString log() const {
        QFile file(m_logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QString m_dataDir;
    QStringList m_extraArgs;
    QProcess m_process;
    QString m_logPath;
    QString m_baseUrl;
    int m_starts = 0;
};
