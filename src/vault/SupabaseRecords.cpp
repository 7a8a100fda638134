#include "vault/SupabaseRecords.h"

#include "vault/VaultJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

QJsonDocument parseDocument(const QByteArray& json) {
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        throw VaultJson::corrupted(
            json.trimmed().isEmpty()
                ? QStringLiteral("the reply is empty.")
                : QStringLiteral("the reply is not valid JSON (%1).").arg(error.errorString()));
    }
    return document;
}

} // namespace

QByteArray SupabaseSession::toJson() const {
    QJsonObject user{{QStringLiteral("id"), userId}};
    if (email)
        user.insert(QStringLiteral("email"), *email);
    QJsonObject root{{QStringLiteral("access_token"), accessToken}, {QStringLiteral("user"), user}};
    if (refreshToken)
        root.insert(QStringLiteral("refresh_token"), *refreshToken);
    return VaultJson::compact(root);
}

SupabaseSession SupabaseSession::fromJson(const QByteArray& json) {
    const QJsonDocument document = parseDocument(json);
    if (!document.isObject())
        throw VaultJson::corrupted(QStringLiteral("a session must be a JSON object."));
    const QJsonObject root = document.object();

    SupabaseSession session;
    session.accessToken = VaultJson::requiredString(root, QStringLiteral("access_token"));
    session.refreshToken = VaultJson::optionalString(root, QStringLiteral("refresh_token"));
    // The auth service's user object varies between versions and servers, so a session without
    // a usable one still counts; only a user object that is there but broken is refused.
    if (const auto user = VaultJson::object(root, QStringLiteral("user"))) {
        session.userId = VaultJson::requiredString(*user, QStringLiteral("id"));
        session.email = VaultJson::optionalString(*user, QStringLiteral("email"));
    }
    return session;
}

QJsonObject SupabaseFileRecord::toJsonObject() const {
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("user_id"), userId},
        {QStringLiteral("file_hash"), fileHash},
        {QStringLiteral("original_filename"), originalFilename},
        {QStringLiteral("file_path"), filePath},
        {QStringLiteral("file_size"), fileSize},
        {QStringLiteral("mime_type"), mimeType},
        {QStringLiteral("device_name"), deviceName},
        {QStringLiteral("device_type"), deviceType},
    };
    if (folderPath)
        object.insert(QStringLiteral("folder_path"), *folderPath);
    if (createdAt)
        object.insert(QStringLiteral("created_at"), *createdAt);
    if (updatedAt)
        object.insert(QStringLiteral("updated_at"), *updatedAt);
    return object;
}

SupabaseFileRecord SupabaseFileRecord::fromJsonObject(const QJsonObject& object) {
    using namespace VaultJson;
    SupabaseFileRecord record;
    record.id = requiredString(object, QStringLiteral("id"));
    record.userId = requiredString(object, QStringLiteral("user_id"));
    record.fileHash = requiredString(object, QStringLiteral("file_hash"));
    record.originalFilename = requiredString(object, QStringLiteral("original_filename"));
    record.filePath = requiredString(object, QStringLiteral("file_path"));
    record.fileSize = requiredInteger(object, QStringLiteral("file_size"));
    record.mimeType = requiredString(object, QStringLiteral("mime_type"));
    record.deviceName = requiredString(object, QStringLiteral("device_name"));
    record.deviceType = requiredString(object, QStringLiteral("device_type"));
    record.folderPath = optionalString(object, QStringLiteral("folder_path"));
    record.createdAt = optionalString(object, QStringLiteral("created_at"));
    record.updatedAt = optionalString(object, QStringLiteral("updated_at"));
    return record;
}

QList<SupabaseFileRecord> SupabaseFileRecord::listFromJson(const QByteArray& json) {
    const QJsonDocument document = parseDocument(json);
    if (!document.isArray())
        throw VaultJson::corrupted(QStringLiteral("expected an array of file records."));
    const QJsonArray array = document.array();
    QList<SupabaseFileRecord> records;
    records.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue element = array.at(i);
        if (!element.isObject())
            throw VaultJson::corrupted(QStringLiteral("file record %1 is not an object.").arg(i));
        records.append(fromJsonObject(element.toObject()));
    }
    return records;
}

DeduplicateResult DeduplicateResult::fromProcedureReply(const QJsonObject& reply) {
    DeduplicateResult result;
    const QJsonValue deduplicated = reply.value(QStringLiteral("deduplicated"));
    result.deduplicated = deduplicated.isBool() && deduplicated.toBool();
    result.message = VaultJson::string(reply, QStringLiteral("message")).value_or(QStringLiteral("Success"));
    if (const auto file = VaultJson::object(reply, QStringLiteral("file"))) {
        try {
            result.file = SupabaseFileRecord::fromJsonObject(*file);
        } catch (const VaultError&) {
            // The registration itself succeeded; a row we cannot read only costs the details.
        }
    }
    return result;
}

DeduplicateResult DeduplicateResult::fromInsertReply(const QByteArray& json) {
    DeduplicateResult result;
    result.message = QStringLiteral("Registered");
    try {
        const QList<SupabaseFileRecord> rows = SupabaseFileRecord::listFromJson(json);
        if (!rows.isEmpty())
            result.file = rows.first();
    } catch (const VaultError&) {
        // The row is stored; an unreadable echo of it is not a failure of the insert.
    }
    return result;
}
