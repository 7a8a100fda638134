#pragma once

#include <QString>

// The vault's hosted production server: the application state's production setup and the vault
// client's default backend both point here.
namespace Production {
inline const QString hostName = QStringLiteral("vault.orlavant.app");
inline const QString baseUrl = QStringLiteral("https://vault.orlavant.app");
} // namespace Production
