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
#include <QRandomGenerator>
#include <QTest>
#include <memory>

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

// A household's vault: `count` records as the hosted service returns them (every field filled,
// about 450 bytes of JSON each), from four devices, photos and videos mostly, newest first.
// The same `seed` gives the same listing.
inline QList<SupabaseFileRecord> householdFiles(int count, quint32 seed = 2026) {
    struct Device {
        const char* name;
        const char* type;
        const char* folder;
    };
    static const Device devices[] = {{"Pellan's MacBook", "mac", "Pictures/Family"},
                                     {"Pellan's Android", "android", "DCIM/Camera"},
                                     {"Family iPad", "web", "Uploads"},
                                     {"Kitchen NAS", "nas", "Backups/Documents"}};
    struct Kind {
        const char* pattern; // %1: a number
        const char* mime;
    };
    static const Kind kinds[] = {{"IMG_2024%1.jpg", "image/jpeg"},
                                 {"IMG_2024%1.jpg", "image/jpeg"},
                                 {"Screenshot %1.png", "image/png"},
                                 {"VID_2023%1.mp4", "video/mp4"},
                                 {"Birthday party (%1).mov", "video/quicktime"},
                                 {"Invoice %1.pdf", "application/pdf"},
                                 {"Voice memo %1.m4a", "audio/mp4"},
                                 {"Holiday %1.zip", "application/zip"}};
    QRandomGenerator random(seed);
    QList<SupabaseFileRecord> files;
    files.reserve(count);
    for (int i = 0; i < count; ++i) {
        const Device& device = devices[random.bounded(4)];
        const Kind& kind = kinds[random.bounded(8)];
        const QString name = QString::fromLatin1(kind.pattern).arg(random.bounded(100000, 999999));
        QString hash;
        for (int part = 0; part < 8; ++part)
            hash += QStringLiteral("%1").arg(random.generate(), 8, 16, QLatin1Char('0'));
        SupabaseFileRecord record;
        record.id =
            QStringLiteral("6f1c%1-8d2e-4b7a-9c3f-%2").arg(i, 4, 10, QLatin1Char('0')).arg(hash.left(12));
        record.userId = QStringLiteral("b5e0c6a2-1f4d-4c8e-a7b9-3d2f1e0c9a8b");
        record.fileHash = hash;
        record.originalFilename = name;
        record.fileSize = qint64(random.bounded(20'000, 400'000'000));
        record.mimeType = QString::fromLatin1(kind.mime);
        record.deviceName = QString::fromLatin1(device.name);
        record.deviceType = QString::fromLatin1(device.type);
        record.folderPath = QString::fromLatin1(device.folder);
        record.filePath = record.userId + QStringLiteral("/mac/") + record.deviceName + '/' +
                          *record.folderPath + '/' + hash + '_' + name;
        const QString stamp = QStringLiteral("2026-%1-%2T%3:%4:07.123456+00:00")
                                  .arg(12 - i * 12 / qMax(count, 1), 2, 10, QLatin1Char('0'))
                                  .arg(1 + random.bounded(28), 2, 10, QLatin1Char('0'))
                                  .arg(random.bounded(24), 2, 10, QLatin1Char('0'))
                                  .arg(random.bounded(60), 2, 10, QLatin1Char('0'));
        record.createdAt = stamp;
        record.updatedAt = stamp;
        files.append(record);
    }
    return files;
}

template <typename T = QWidget> T* child(const QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
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
