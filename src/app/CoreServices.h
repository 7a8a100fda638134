#pragma once

#include "platform/Clock.h"
#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "sync/FolderSyncManager.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "vault/SupabaseClient.h"

class Dialogs;
class NotificationSink;

// The composition root of everything below the widgets: the objects the contract calls
// "shared", created once, in dependency order, from the parts that differ between the
// application and a test (where settings and the ledger live, how the user is asked, where
// notifications go).
class CoreServices {
public:
    struct Options {
        QString settingsPath = Settings::defaultPath();
        QString ledgerDirectory = SyncLedger::defaultDirectory();
        Dialogs* dialogs = nullptr;                   // required
        NotificationSink* notificationSink = nullptr; // required
        const Clock* clock = nullptr;                 // the system clock when none is given
    };

    explicit CoreServices(const Options& options);
    ~CoreServices();

    SystemClock systemClock;
    Settings settings;
    HttpClient http;
    SupabaseClient client;
    SyncLedger ledger;
    MacNotificationHelper notifications;
    FolderSyncManager folderSync;
};
