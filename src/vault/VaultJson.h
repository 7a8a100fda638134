#pragma once

#include "platform/VaultError.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

// Reading and writing the vault's JSON: the one place that knows how fields are looked up and
// how a mistyped or missing field is reported.
namespace VaultJson {

inline const QString DecodingDomain = QStringLiteral("DecodingError");
enum DecodingCode { DataCorrupted = 4864, KeyNotFound = 4865 };

VaultError corrupted(const QString& detail);
VaultError missingKey(const QString& key);

// The text under `key`, when it holds a JSON string.
std::optional<QString> string(const QJsonObject& object, const QString& key);
// The number under `key`, when it holds a JSON number.
std::optional<double> number(const QJsonObject& object, const QString& key);
// The object under `key`, when it holds a JSON object.
std::optional<QJsonObject> object(const QJsonObject& object, const QString& key);
// The body as a JSON object; nullopt when it does not parse or is not an object.
std::optional<QJsonObject> parseObject(const QByteArray& json);

// Strict readers for records: a missing key or a value of another type throws.
QString requiredString(const QJsonObject& object, const QString& key);
qint64 requiredInteger(const QJsonObject& object, const QString& key);
// Absent or null gives nullopt; another type throws.
std::optional<QString> optionalString(const QJsonObject& object, const QString& key);

// Compact text, as every request body is sent.
QByteArray compact(const QJsonObject& object);

} // namespace VaultJson
