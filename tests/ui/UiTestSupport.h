#pragma once

#include "app/CoreServices.h"
#include "support/FakeClock.h"
#include "support/FakeServer.h"
#include "support/RecordingNotificationSink.h"
#include "support/RequestGate.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "support/TestServices.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QTest>
#include <memory>

// Generous: the machine may be busy.
inline constexpr int Patience = 20000;

// Everything a screen needs, with the vault pointed at a scripted fake server and a settings
// file of its own.
struct UiFixture {
    explicit UiFixture(const std::optional<SupabaseSession>& session = std::nullopt) {
        const QString directory = makeTempDir(QStringLiteral("ui"));
        const QString settingsPath = directory + QStringLiteral("/orlavant.conf");
        {
            Settings settings(settingsPath);
            TestServices::pointAt(settings, server->baseUrl(), session);
        }
        services = std::make_unique<CoreServices>(
            CoreServices::Options{settingsPath, directory + QStringLiteral("/ledger"), &dialogs, &sink});
    }

    static SupabaseSession session(const QString& email = QStringLiteral("ada@family.test")) {
        return {QStringLiteral("token-1"), std::nullopt, QStringLiteral("user-1"), email};
    }
    SupabaseClient& client() { return services->client; }
    FolderSyncManager& folderSync() { return services->folderSync; }

    // The file list answering with these rows.
    static FakeServer::Reply filesReply(const QList<SupabaseFileRecord>& files, int delayMs = 0) {
        QJsonArray rows;
        for (const SupabaseFileRecord& file : files)
            rows.append(file.toJsonObject());
        FakeServer::Reply reply =
            FakeServer::Reply::json(200, QJsonDocument(rows).toJson(QJsonDocument::Compact));
        // The hosted service's own type; it also keeps the test server from compressing a
        // listing of megabytes with brotli, which takes it many seconds.
        reply.contentType = "application/json; charset=utf-8";
        reply.delayMs = delayMs;
        return reply;
    }
    void serveFiles(const QList<SupabaseFileRecord>& files, int delayMs = 0) {
        server->on("GET", "/rest/v1/files", filesReply(files, delayMs));
    }

    TestDialogs dialogs;
    RecordingNotificationSink sink;
    FakeClock clock;
    std::unique_ptr<CoreServices> services;
    // Declared last, so destroyed first: a reply held back by a test is released before the
    // engine's teardown waits for its pass.
    std::unique_ptr<FakeServer> server = std::make_unique<FakeServer>();
};

inline SupabaseFileRecord fileRecord(const QString& id, const QString& name, const QString& mimeType,
                                     const QString& deviceName, const QString& deviceType, qint64 size,
                                     const std::optional<QString>& folderPath = std::nullopt) {
    const QString hash(64, QLatin1Char('a')), path = "user-1/" + id + '/' + name;
    return {id, "user-1", hash, name, path, size, mimeType, deviceName, deviceType, folderPath, {}, {}};
}

template <typename T = QWidget> T* child(const QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

inline bool isShown(const QWidget* parent, const char* name) {
    const QWidget* widget = child(parent, name);
    return widget && widget->isVisible();
}

inline QString labelText(const QWidget* parent, const char* name) {
    const QLabel* label = child<QLabel>(parent, name);
    return label ? label->text() : QStringLiteral("(no label %1)").arg(QLatin1StringView(name));
}

// Presses a button as a click would, wherever the layout has put it; a disabled one ignores it.
inline void press(QAbstractButton* button) {
    QVERIFY(button);
    button->click();
}

// A reply held back until the test opens the gate. Opened at the latest when the gate goes, so
// a failing test never leaves the server waiting: declare it after the fixture.
class ReplyGate {
public:
    ReplyGate() { m_gate->close(); }
    ~ReplyGate() { open(); }
    void open() { m_gate->open(); }
    FakeServer::Handler hold(FakeServer::Reply reply) const {
        return [gate = m_gate, reply](const FakeServer::Request&) {
            gate->pass();
            return reply;
        };
    }

private:
    std::shared_ptr<RequestGate> m_gate = std::make_shared<RequestGate>();
};
