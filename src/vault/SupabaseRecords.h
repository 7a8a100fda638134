#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// Who is signed in and with which bearer token. Its JSON form is what the hosted auth
// service answers and what the settings store keeps.
struct SupabaseSession {
    QString accessToken;
    std::optional<QString> refreshToken;
    QString userId;
    std::optional<QString> email;

    bool operator==(const SupabaseSession&) const = default;

    QByteArray toJson() const;
    // Lenient about the "user" object, strict elsewhere; throws VaultError (decoding domain).
    static SupabaseSession fromJson(const QByteArray& json);
};

// One row of the vault's `files` table.
struct SupabaseFileRecord {
    QString id;
    QString userId;
    QString fileHash;
    QString originalFilename;
    QString filePath;
    qint64 fileSize = 0;
    QString mimeType;
    QString deviceName;
    QString deviceType;
    std::optional<QString> folderPath;
    std::optional<QString> createdAt;
    std::optional<QString> updatedAt;

    bool operator==(const SupabaseFileRecord&) const = default;

    QJsonObject toJsonObject() const;
    // Throws VaultError (decoding domain) when a required key is missing or mistyped.
    static SupabaseFileRecord fromJsonObject(const QJsonObject& object);
    // All or nothing: one bad row fails the whole array.
    static QList<SupabaseFileRecord> listFromJson(const QByteArray& json);
};

// The outcome of registering or uploading one file.
struct DeduplicateResult {
    bool deduplicated = false;
    QString message;
    std::optional<SupabaseFileRecord> file;

    // From the registration procedure's reply object.
    static DeduplicateResult fromProcedureReply(const QJsonObject& reply);
    // From the direct-insert fallback's reply array.
    static DeduplicateResult fromInsertReply(const QByteArray& json);
};
