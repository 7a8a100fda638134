#include "vault/MediaTypes.h"

#include <QHash>

QString mimeTypeFor(const QString& pathExtension) {
    static const QHash<QString, QString> table{
        {QStringLiteral("jpg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("jpeg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("png"), QStringLiteral("image/png")},
        {QStringLiteral("webp"), QStringLiteral("image/webp")},
        {QStringLiteral("gif"), QStringLiteral("image/gif")},
        {QStringLiteral("mp4"), QStringLiteral("video/mp4")},
        {QStringLiteral("mov"), QStringLiteral("video/quicktime")},
        {QStringLiteral("pdf"), QStringLiteral("application/pdf")},
        {QStringLiteral("txt"), QStringLiteral("text/plain")},
        {QStringLiteral("csv"), QStringLiteral("text/csv")},
        {QStringLiteral("json"), QStringLiteral("application/json")},
        {QStringLiteral("zip"), QStringLiteral("application/zip")},
        {QStringLiteral("mp3"), QStringLiteral("audio/mpeg")},
        {QStringLiteral("wav"), QStringLiteral("audio/wav")},
    };
    return table.value(pathExtension.toLower(), QStringLiteral("application/octet-stream"));
}
