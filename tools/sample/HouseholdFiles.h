#pragma once

// Sample data for the benchmarks and the screenshots: a household's vault as the hosted
// service lists it.

#include "vault/SupabaseRecords.h"

#include <QList>
#include <QRandomGenerator>
#include <QString>

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
