#pragma once

#include <QException>
#include <QString>

// The one error type every vault operation fails with: a domain, a numeric code and the
// user-facing description. It derives from QException so that it survives the trip through
// QFuture unchanged (any other exception type arrives wrapped in QUnhandledException).
class VaultError : public QException {
public:
    // The transport error codes, numbered like the platform URL errors the contract names.
    enum UrlCode {
        Cancelled = -999,
        BadUrl = -1000,
        TimedOut = -1001,
        CannotFindHost = -1003,
        CannotConnectToHost = -1004,
        NetworkConnectionLost = -1005,
        BadServerResponse = -1011,
        CannotCreateFile = -3000,
        SecureConnectionFailed = -1200,
        Unknown = -1,
    };
    static inline const QString UrlDomain = QStringLiteral("URLError");
    // Reading a local file failed; the code is the QFileDevice::FileError.
    static inline const QString FileDomain = QStringLiteral("FileError");

    VaultError(QString domain, int code, QString description);

    // A transport error with its standard description.
    static VaultError url(UrlCode code);
    // A transport error with a more precise description than the standard one.
    static VaultError url(UrlCode code, QString description);

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString& description() const { return m_description; }
    bool is(const QString& domain, int code) const { return m_domain == domain && m_code == code; }

    const char* what() const noexcept override { return m_what.constData(); }
    void raise() const override { throw *this; }
    VaultError* clone() const override { return new VaultError(*this); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    QByteArray m_what;
};
