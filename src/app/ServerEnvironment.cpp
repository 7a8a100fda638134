#include "app/ServerEnvironment.h"

QString rawValue(ServerEnvironment environment) {
    switch (environment) {
    case ServerEnvironment::embedded:
        return QStringLiteral("Local Standalone Vault (Embedded)");
    case ServerEnvironment::local:
        return QStringLiteral("FastAPI Backend (127.0.0.1:8000)");
    case ServerEnvironment::production:
        return QStringLiteral("Orlavant Cloud (%1)").arg(Production::hostName);
    case ServerEnvironment::custom:
        return QStringLiteral("Custom Address...");
    }
    Q_UNREACHABLE();
}

std::optional<ServerEnvironment> serverEnvironmentFromRawValue(const QString& raw) {
    for (ServerEnvironment environment : allServerEnvironments()) {
        if (rawValue(environment) == raw)
            return environment;
    }
    return std::nullopt;
}

QList<ServerEnvironment> allServerEnvironments() {
    return {ServerEnvironment::embedded, ServerEnvironment::local, ServerEnvironment::production,
            ServerEnvironment::custom};
}
