#pragma once

#include <QString>

// The media type sent for a file, from its extension (without the dot); the one table used by
// both the vault client and the sync engine. Unknown extensions give "application/octet-stream".
QString mimeTypeFor(const QString& pathExtension);
