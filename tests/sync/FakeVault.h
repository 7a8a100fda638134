#pragma once

#include "support/FakeServer.h"
#include "support/RequestGate.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <atomic>
#include <functional>

// Both servers a pass talks to, scripted: the backend and the hosted storage and registry, whose
// rule for object keys is kept, so a key it would refuse is refused here too.
class FakeVault {
public:
    using Reply = FakeServer::Reply;

    static QString sha256Of(const QByteArray& bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }
    static QString field(const FakeServer::Request& request, const QString& key) {
        return QJsonDocument::fromJson(request.body).object().value(key).toVariant().toString();
    }
    // The hosted storage service's rule, written out on its own (not the client's copy of it).
    static bool serviceAcceptsKey(const QString& key) {
        static const QRegularExpression rule(QStringLiteral("^[A-Za-z0-9_/!\\-.*'() &$@=;:+,?]*$"));
        return rule.match(key).hasMatch();
    }

    FakeVault() {
        // A handler may still run while the server is torn down: it keeps its own address.
        server.on("POST", "/api/files/pre-upload",
                  [this, base = server.baseUrl()](const FakeServer::Request& request) {
                      gate.pass();
                      const QString hash = field(request, QStringLiteral("file_hash"));
                      QMutexLocker lock(&mutex);
                      if (backendDown || refusedNames.contains(field(request, QStringLiteral("filename"))))
                          return Reply::json(500, R"({"message":"down"})");
                      if (held.contains(hash))
                          return Reply::json(200, R"({"deduplicated":true})");
                      const QString url = base + QStringLiteral("/upload/") + hash;
                      return Reply::json(200, R"({"deduplicated":false,"storage_key":"k","upload_url":")" +
                                                  url.toUtf8() + "\"}");
                  });
        server.onPrefix("PUT", "/upload/", [this](const FakeServer::Request&) {
            if (onUpload)
                onUpload();
            return Reply::json(200, "{}");
        });
        server.on("POST", "/api/files/confirm", keep(QStringLiteral("file_hash")));
        server.on("POST", "/rest/v1/rpc/register_or_deduplicate_file", keep(QStringLiteral("p_file_hash")));
        server.onPrefix("POST", StoragePrefix, [this](const FakeServer::Request& request) {
            const QString key = QString::fromUtf8(request.path.mid(StoragePrefix.size()));
            if (!serviceAcceptsKey(key))
                return Reply::json(400,
                                   R"({"statusCode":"400","error":"InvalidKey","message":"Invalid key"})");
            if (onStorageUpload)
                onStorageUpload();
            return Reply::json(storageDown ? 500 : 200, "{}");
        });
    }

    void hold(const QByteArray& content) {
        QMutexLocker lock(&mutex);
        held.insert(sha256Of(content));
    }
    void refuse(const QString& fileName) {
        QMutexLocker lock(&mutex);
        refusedNames.insert(fileName);
    }
    int preUploads() const { return int(server.requests("POST", "/api/files/pre-upload").size()); }
    QList<FakeServer::Request> storageUploads() const {
        QList<FakeServer::Request> uploads = server.requests();
        uploads.removeIf([](const FakeServer::Request& r) {
            return r.method != "POST" || !r.path.startsWith(StoragePrefix);
        });
        return uploads;
    }
    QList<FakeServer::Request> registrations() const {
        return server.requests("POST", "/rest/v1/rpc/register_or_deduplicate_file");
    }

    inline static const QByteArray StoragePrefix = "/storage/v1/object/orlavant-files/";

    FakeServer server;
    RequestGate gate; // every pre-upload passes it
    std::atomic<bool> backendDown{false};
    std::atomic<bool> storageDown{false};
    std::function<void()> onUpload;        // during a backend upload, on the server's thread
    std::function<void()> onStorageUpload; // during a storage upload, on the server's thread

private:
    FakeServer::Handler keep(const QString& key) {
        return [this, key](const FakeServer::Request& request) {
            QMutexLocker lock(&mutex);
            held.insert(field(request, key));
            return Reply::json(200, R"({"deduplicated":false,"message":"Registered"})");
        };
    }

    QMutex mutex;
    QSet<QString> held;         // content the household already has
    QSet<QString> refusedNames; // the backend answers 500 for these
};
