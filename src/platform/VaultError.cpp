#include "platform/VaultError.h"

VaultError::VaultError(QString domain, int code, QString description)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_description(std::move(description))
    , m_what(QStringLiteral("%1 %2: %3").arg(m_domain).arg(m_code).arg(m_description).toUtf8()) {}

VaultError VaultError::url(UrlCode code) {
    switch (code) {
    case Cancelled:
        return url(code, QStringLiteral("The operation was cancelled."));
    case BadUrl:
        return url(code, QStringLiteral("The URL is not valid."));
    case TimedOut:
        return url(code, QStringLiteral("The request timed out."));
    case CannotFindHost:
        return url(code, QStringLiteral("A server with the specified hostname could not be found."));
    case CannotConnectToHost:
        return url(code, QStringLiteral("Could not connect to the server."));
    case NetworkConnectionLost:
        return url(code, QStringLiteral("The network connection was lost."));
    case BadServerResponse:
        return url(code, QStringLiteral("The server returned a bad response."));
    case CannotCreateFile:
        return url(code, QStringLiteral("The file could not be created."));
    case SecureConnectionFailed:
        return url(code, QStringLiteral("A secure connection to the server could not be made."));
    case Unknown:
        break;
    }
    return url(code, QStringLiteral("An unknown network error occurred."));
}

VaultError VaultError::url(UrlCode code, QString description) {
    return VaultError(UrlDomain, code, std::move(description));
}
