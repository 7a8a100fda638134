#include "vault/VaultJson.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace VaultJson {

VaultError corrupted(const QString& detail) {
    return VaultError(
        DecodingDomain, DataCorrupted,
        QStringLiteral("The data couldn’t be read because it isn’t in the correct format: %1").arg(detail));
}

VaultError missingKey(const QString& key) {
    return VaultError(
        DecodingDomain, KeyNotFound,
        QStringLiteral("The data couldn’t be read because it is missing: no value for “%1”.").arg(key));
}

std::optional<QString> string(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<double> number(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

std::optional<QJsonObject> object(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        return std::nullopt;
    return value.toObject();
}

std::optional<QJsonObject> parseObject(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

QString requiredString(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw missingKey(key);
    if (!value.isString())
        throw corrupted(QStringLiteral("“%1” is not a string.").arg(key));
    return value.toString();
}

qint64 requiredInteger(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw missingKey(key);
    // Two different fallbacks agree only when the number really is a whole 64-bit value; a
    // fraction or an out-of-range number must fail rather than be rounded or clamped.
    if (value.isDouble()) {
        const qint64 first = value.toInteger(0);
        const qint64 second = value.toInteger(1);
        if (first == second)
            return first;
    }
    throw corrupted(QStringLiteral("“%1” is not a 64-bit integer.").arg(key));
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        throw corrupted(QStringLiteral("“%1” is not a string.").arg(key));
    return value.toString();
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace VaultJson
