#pragma once

#include "app/CoreServices.h"
#include "platform/Settings.h"
#include "support/FakeClock.h"
#include "support/FakeServer.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "vault/SupabaseRecords.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFuture>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QWidget>
#include <memory>
#include <optional>

// Everything a screen needs, with the vault pointed at a scripted fake server and a settings
// file of its own. Members are destroyed in reverse order: the server stops first, so a reply
// held back by a test never keeps the engine's pass (and so the teardown) waiting.
struct UiFixture {
    explicit UiFixture(const std::optional<SupabaseSession>& session = std::nullopt) {
        directory = makeTempDir(QStringLiteral("ui"));
        const QString settingsPath = directory + QStringLiteral("/orlavant.conf");
        {
            Settings settings(settingsPath);
            settings.setString(QStringLiteral("orlavant_supabase_url"), server->baseUrl());
            settings.setString(QStringLiteral("orlavant_supabase_key"), QStringLiteral("test-anon-key"));
            settings.setString(QStringLiteral("orlavant_backend_base_url"), server->baseUrl());
            if (session)
                settings.setData(QStringLiteral("orlavant_supabase_session"), session->toJson());
        }
        CoreServices::Options options;
        options.settingsPath = settingsPath;
        options.ledgerDirectory = directory + QStringLiteral("/ledger");
        options.dialogs = &dialogs;
        options.notificationSink = &sink;
        services = std::make_unique<CoreServices>(options);
    }
    ~UiFixture() {
        // Release any held-back reply before the engine waits for its pass.
        server.reset();
        services.reset();
    }

    static SupabaseSession session(const QString& email = QStringLiteral("ada@family.test")) {
        SupabaseSession session;
        session.accessToken = QStringLiteral("token-1");
        session.userId = QStringLiteral("user-1");
        session.email = email;
        return session;
    }

    SupabaseClient& client() { return services->client; }
    FolderSyncManager& folderSync() { return services->folderSync; }

    // Answers the file list with these rows.
    void serveFiles(const QList<SupabaseFileRecord>& files, int delayMs = 0) {
        QJsonArray rows;
        for (const SupabaseFileRecord& file : files)
            rows.append(file.toJsonObject());
        FakeServer::Reply reply =
            FakeServer::Reply::json(200, QJsonDocument(rows).toJson(QJsonDocument::Compact));
        reply.delayMs = delayMs;
        server->on("GET", "/rest/v1/files", reply);
    }

    QString directory;
    TestDialogs dialogs;
    RecordingNotificationSink sink;
    FakeClock clock;
    std::unique_ptr<FakeServer> server = std::make_unique<FakeServer>();
    std::unique_ptr<CoreServices> services;
};

inline SupabaseFileRecord fileRecord(const QString& id, const QString& name, const QString& mimeType,
                                     const QString& deviceName, const QString& deviceType, qint64 size,
                                     const std::optional<QString>& folderPath = std::nullopt) {
    SupabaseFileRecord file;
    file.id = id;
    file.userId = QStringLiteral("user-1");
    file.fileHash = QString(64, QLatin1Char('a'));
    file.originalFilename = name;
    file.filePath = QStringLiteral("user-1/") + id + QLatin1Char('/') + name;
    file.fileSize = size;
    file.mimeType = mimeType;
    file.deviceName = deviceName;
    file.deviceType = deviceType;
    file.folderPath = folderPath;
    return file;
}

// Runs the event loop until the future is done: the screens' continuations run there.
template <typename T> void waitForFuture(const QFuture<T>& future) {
    while (!future.isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
}

template <typename T = QWidget> T* child(const QWidget* parent, const QString& name) {
    return parent->findChild<T*>(name);
}

inline QString labelText(const QWidget* parent, const QString& name) {
    const QLabel* label = child<QLabel>(parent, name);
    return label ? label->text() : QStringLiteral("(no label %1)").arg(name);
}

// Presses a button as a click would (without depending on where the layout has put it yet);
// a disabled button ignores it.
inline void press(QAbstractButton* button) {
    if (!button)
        QFAIL("no such button");
    else
        button->click();
}

// Every visible label text under `parent`, for "does the screen say this" checks.
inline QStringList visibleTexts(const QWidget* parent) {
    QStringList texts;
    for (const QLabel* label : parent->findChildren<QLabel*>()) {
        if (label->isVisibleTo(parent->window()) && !label->text().isEmpty())
            texts.append(label->text());
    }
    for (const QAbstractButton* button : parent->findChildren<QAbstractButton*>()) {
        if (button->isVisibleTo(parent->window()) && !button->text().isEmpty())
            texts.append(button->text());
    }
    return texts;
}
