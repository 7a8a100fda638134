#pragma once

#include "app/CoreServices.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "vault/SupabaseRecords.h"

#include <memory>

// The composition root of a test: its own settings file and ledger directory in the isolated
// home, scripted dialogs, recorded notifications. With `session` set, the client starts signed
// in (restored from the settings store, as after a restart).
struct TestServices {
    explicit TestServices(const std::optional<SupabaseSession>& session = std::nullopt,
                          const QString& name = QStringLiteral("services"))
        : root(makeTempDir(name)) {
        const QString settingsPath = root + QStringLiteral("/config/orlavant.conf");
        if (session)
            Settings(settingsPath).setData(QStringLiteral("orlavant_supabase_session"), session->toJson());
        CoreServices::Options options;
        options.settingsPath = settingsPath;
        options.ledgerDirectory = root + QStringLiteral("/data/store.orlavant.mac");
        options.dialogs = &dialogs;
        options.notificationSink = &notifications;
        services = std::make_unique<CoreServices>(options);
    }

    // Points both vault servers of `settings` at `baseUrl` (a fake's), signed in with `session`.
    static void pointAt(Settings& settings, const QString& baseUrl,
                        const std::optional<SupabaseSession>& session = std::nullopt) {
        settings.setString(QStringLiteral("orlavant_supabase_url"), baseUrl);
        settings.setString(QStringLiteral("orlavant_backend_base_url"), baseUrl);
        settings.setString(QStringLiteral("orlavant_supabase_key"), QStringLiteral("test-anon-key"));
        if (session)
            settings.setData(QStringLiteral("orlavant_supabase_session"), session->toJson());
    }

    static SupabaseSession session(const QString& userId = QStringLiteral("user-1")) {
        return {QStringLiteral("token-") + userId, std::nullopt, userId, QStringLiteral("anna@example.org")};
    }

    QString root;
    TestDialogs dialogs;
    RecordingNotificationSink notifications;
    std::unique_ptr<CoreServices> services;
};
