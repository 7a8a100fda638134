#include "app/CoreServices.h"

CoreServices::CoreServices(const Options& options)
    : settings(options.settingsPath)
    , http()
    , client(settings, http, options.clock)
    , ledger(options.ledgerDirectory)
    , notifications(*options.notificationSink)
    , folderSync(settings, client, ledger, notifications, *options.dialogs,
                 options.clock ? *options.clock : systemClock, http) {
    // Sign-in and sign-out reach the engine through the client's signals, so the vault client
    // never depends on the sync engine. Direct connections: the engine reacts before the
    // sign-in's future completes.
    QObject::connect(&client, &SupabaseClient::signedIn, &folderSync, &FolderSyncManager::handleLogin,
                     Qt::DirectConnection);
    QObject::connect(&client, &SupabaseClient::signedOut, &folderSync, &FolderSyncManager::handleLogout,
                     Qt::DirectConnection);
    // An expired session stops the engine; the window follows the client's isAuthenticated.
    QObject::connect(&client, &SupabaseClient::sessionExpired, &folderSync,
                     &FolderSyncManager::handleSessionExpired, Qt::DirectConnection);
}

// Members go in reverse order: the engine (which waits for a running pass) before the client
// and ledger that pass uses. Cancelling the network first keeps a silent server from holding
// each of those waits for a full request time-out.
CoreServices::~CoreServices() {
    http.shutdown();
}
