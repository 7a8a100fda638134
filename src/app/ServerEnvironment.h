#pragma once

#include "platform/ProductionServer.h"

#include <QList>
#include <QString>
#include <optional>

// The server setups the client can talk to. The raw value is also the identifier and the
// display name.
enum class ServerEnvironment { embedded, local, production, custom };

QString rawValue(ServerEnvironment environment);
// Exactly the four raw values (case-sensitive); nullopt for any other text.
std::optional<ServerEnvironment> serverEnvironmentFromRawValue(const QString& raw);
QList<ServerEnvironment> allServerEnvironments();

// The reachability of the current server.
class ServerStatus {
public:
    enum class Kind { online, offline, checking };

    static ServerStatus online(QString text) { return {Kind::online, std::move(text)}; }
    static ServerStatus offline(QString text) { return {Kind::offline, std::move(text)}; }
    static ServerStatus checking() { return {Kind::checking, {}}; }

    Kind kind() const { return m_kind; }
    const QString& text() const { return m_text; } // empty for checking
    bool operator==(const ServerStatus&) const = default;

private:
    ServerStatus(Kind kind, QString text)
        : m_kind(kind)
        , m_text(std::move(text)) {}
    Kind m_kind;
    QString m_text;
};
