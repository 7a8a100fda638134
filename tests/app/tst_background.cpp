// The application as it lives in the background: the window that only hides, the tray icon and
// its menu, Start at Login, sync picked up at start, and the sync screen's progress and activity.
// The whole application runs in this process against a scripted vault.
#include <QApplication>

#include "sync/FakeVault.h"

#include "app/gui/AppWindow.h"
#include "app/gui/MainWindow.h"
#include "app/gui/OrlavantApp.h"
#include "app/gui/TrayIcon.h"
#include "platform/Autostart.h"
#include "support/FakeClock.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "ui/ActivityRowDelegate.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "web/DesktopActions.h"

#include <QFileSystemWatcher>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>

namespace {

constexpr int Patience = 60000;

class RecordingDesktop final : public DesktopActions {
public:
    void playSound(const QString&) override {}
    void revealFile(const QString&) override {}
    void openUrl(const QUrl& url) override { opened.append(url); }
    QList<QUrl> opened;
};

// One account's computer: settings, ledger and autostart folder of its own, the vault scripted.
struct Computer {
    Computer() {
        Settings settings(settingsPath);
        TestServices::pointAt(settings, vault.server.baseUrl(), TestServices::session());
    }
    ~Computer() {
        vault.gate.open();
        app.reset(); // before the vault it may still be talking to
    }

    // Starts (or starts again, as after a restart) the application.
    OrlavantApp& start(bool inBackground = false) {
        app.reset();
        OrlavantApp::Options options;
        options.startInBackground = inBackground;
        options.settingsPath = settingsPath;
        options.ledgerDirectory = root + QStringLiteral("/ledger");
        options.autostartDirectory = autostartDirectory;
        options.executable = QStringLiteral("/usr/bin/orlavant");
        options.dialogs = &dialogs;
        options.notificationSink = &sink;
        options.desktop = &desktop;
        options.clock = &clock;
        options.isTrayAvailable = [this] { return trayAvailable; };
        app = std::make_unique<OrlavantApp>(options);
        app->services().folderSync.setDeviceName(QStringLiteral("Test Laptop"));
        app->start();
        return *app;
    }
    FolderSyncManager& engine() const { return app->services().folderSync; }
    TrayIcon& tray() const { return app->tray(); }
    // Chooses the folder and presses Start Sync; true once the first pass has ended.
    bool syncFolder() {
        QSignalSpy finished(&engine(), &FolderSyncManager::passFinished);
        engine().changeFolder(folder);
        engine().startSync();
        // The pass may be over before anyone waits for it.
        return QTest::qWaitFor([&] { return !finished.isEmpty(); }, Patience);
    }
    // Our notifications, each as "subtitle: body".
    QStringList notices() const {
        QStringList ours;
        for (const DesktopNotification& notification : sink.posted()) {
            if (notification.title == QLatin1String("Orlavant"))
                ours.append(notification.subtitle.value_or(QString()) + QStringLiteral(": ") +
                            notification.body);
        }
        return ours;
    }

    QString root = makeTempDir(QStringLiteral("computer"));
    QString settingsPath = root + QStringLiteral("/config/orlavant.conf");
    QString autostartDirectory = root + QStringLiteral("/config/autostart");
    QString folder = makeTempDir(QStringLiteral("Family Photos"));
    FakeVault vault;
    TestDialogs dialogs;
    RecordingNotificationSink sink;
    RecordingDesktop desktop;
    FakeClock clock;
    bool trayAvailable = true;
    std::unique_ptr<OrlavantApp> app;
};

QAction* trayAction(const Computer& computer, const char* title) {
    QAction* action = computer.tray().action(QString::fromUtf8(title));
    if (!action)
        qWarning("no tray entry %s", title);
    return action;
}

} // namespace

class TestBackground : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void closingTheWindowKeepsSyncing_data();
    void closingTheWindowKeepsSyncing();
    void trayMenuDrivesTheEngine();
    void trayIconFollowsTheEngine();
    void startAtLoginTheFirstTimeSyncStarts();
    void syncedFolderDeletedWhileHidden();
    void syncScreenShowsProgressAndActivity();
    void activityRowTexts_data();
    void activityRowTexts();
};

void TestBackground::closingTheWindowKeepsSyncing_data() {
    QTest::addColumn<bool>("tray");
    QTest::addColumn<QString>("howToOpen");
    QTest::newRow("with a tray") << true << "click its icon in the system tray";
    QTest::newRow("without a tray") << false << "start Orlavant once more";
}

void TestBackground::closingTheWindowKeepsSyncing() {
    QFETCH(bool, tray);
    QFETCH(QString, howToOpen);
    Computer computer;
    computer.trayAvailable = tray;
    OrlavantApp& app = computer.start();
    QSignalSpy quit(&app, &OrlavantApp::quitRequested);
    QVERIFY(app.window().isVisible());
    QVERIFY(computer.syncFolder());

    QVERIFY(!app.window().close()); // the close is turned into a hide
    QVERIFY(!app.window().isVisible());
    QVERIFY(!QApplication::quitOnLastWindowClosed());
    const QStringList notices = computer.notices();
    QVERIFY2(notices.size() == 1 && notices[0].startsWith("Orlavant keeps syncing in the background: ") &&
                 notices[0].contains(howToOpen),
             qPrintable(notices.join(u'\n')));

    // A file added afterwards: the folder's watcher brings it to the vault, no window needed.
    writeFile(computer.folder + QStringLiteral("/beach.jpg"), "sand and sea");
    QTRY_COMPARE_WITH_TIMEOUT(computer.engine().totalSyncedCount(), 1, Patience);
    QCOMPARE(computer.vault.preUploads(), 1);
    QCOMPARE(quit.size(), 0);

    // Said once, also across a restart.
    app.showWindow();
    QVERIFY(app.window().isVisible());
    app.window().close();
    computer.start().window().close();
    QCOMPARE(computer.notices(), notices);
}

void TestBackground::trayMenuDrivesTheEngine() {
    Computer computer;
    computer.start();
    QVERIFY(computer.syncFolder());
    FolderSyncManager& engine = computer.engine();

    trayAction(computer, "Pause Sync")->trigger();
    QVERIFY(engine.isSyncStopped());
    QVERIFY(!trayAction(computer, "Pause Sync"));
    QVERIFY(!trayAction(computer, "Sync Now")->isEnabled());

    // A file that neither path takes waits before it is tried again...
    computer.vault.backendDown = true;
    computer.vault.storageDown = true;
    writeFile(computer.folder + QStringLiteral("/refused.jpg"), "refused");
    QSignalSpy finished(&engine, &FolderSyncManager::passFinished);
    trayAction(computer, "Resume Sync")->trigger();
    QVERIFY(!engine.isSyncStopped());
    // Counted, not waited for: a pass may end within the call that starts it.
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), Patience);
    QCOMPARE(engine.totalSyncedCount(), 0);
    computer.vault.backendDown = false;
    computer.vault.storageDown = false;
    const qsizetype passes = finished.size();
    engine.triggerFolderScan();
    QTRY_VERIFY_WITH_TIMEOUT(finished.size() > passes, Patience);
    QCOMPARE(engine.totalSyncedCount(), 0);
    // ...unless the user asks for it now.
    trayAction(computer, "Sync Now")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(engine.totalSyncedCount(), 1, Patience);
    trayAction(computer, "Open Synced Folder")->trigger();
    QCOMPARE(computer.desktop.opened, QList<QUrl>{QUrl::fromLocalFile(computer.folder)});
}

void TestBackground::trayIconFollowsTheEngine() {
    Computer computer;
    computer.start();
    TrayIcon& tray = computer.tray();
    QVERIFY(tray.systemTrayIcon());
    const auto shows = [&tray](TrayIcon::State state) {
        return tray.state() == state &&
               tray.systemTrayIcon()->icon().cacheKey() == TrayIcon::icon(state).cacheKey();
    };
    QVERIFY(shows(TrayIcon::State::Paused)); // signed in, nothing started
    computer.vault.gate.close();
    writeFile(computer.folder + QStringLiteral("/a.jpg"), "a");
    computer.engine().changeFolder(computer.folder);
    computer.engine().startSync();
    QTRY_VERIFY_WITH_TIMEOUT(shows(TrayIcon::State::Syncing), Patience);
    QVERIFY(tray.toolTip().startsWith(computer.engine().syncStatusMessage()));
    computer.vault.gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(shows(TrayIcon::State::Idle), Patience);
    QCOMPARE(tray.systemTrayIcon()->toolTip(), computer.engine().syncStatusMessage());
    computer.engine().handleSessionExpired(QStringLiteral("anna@example.org"));
    QVERIFY(shows(TrayIcon::State::Error));
    computer.app->services().client.signOut();
    QVERIFY(shows(TrayIcon::State::SignedOut));
}

void TestBackground::startAtLoginTheFirstTimeSyncStarts() {
    Computer computer;
    computer.start();
    const Autostart written(computer.autostartDirectory, QStringLiteral("/elsewhere"));
    QVERIFY(!written.isEnabled()); // not before sync was ever started
    QVERIFY(computer.syncFolder());
    QVERIFY(written.isEnabled()); // its Exec line is the instance test's

    // The menu shows what the file says; the user switches it off, and it stays off.
    QAction* startAtLogin = trayAction(computer, "Start at Login");
    emit computer.tray().menu().aboutToShow();
    QVERIFY(startAtLogin->isChecked());
    startAtLogin->trigger();
    QVERIFY(!startAtLogin->isChecked());
    QVERIFY(!written.isEnabled());
    computer.engine().stopSync();
    computer.engine().startSync();
    computer.start(); // sync picks up at start: still off
    QVERIFY(!computer.engine().isSyncStopped());
    QVERIFY(!written.isEnabled());
}

void TestBackground::syncedFolderDeletedWhileHidden() {
    Computer computer;
    OrlavantApp& app = computer.start();
    writeFile(computer.folder + QStringLiteral("/kept.jpg"), "kept");
    QVERIFY(computer.syncFolder());
    QCOMPARE(computer.engine().totalSyncedCount(), 1);
    app.window().close();

    QVERIFY(QDir(computer.folder).removeRecursively());
    computer.engine().triggerFolderScan();
    QTRY_COMPARE_WITH_TIMEOUT(computer.engine().syncStatusMessage(),
                              QStringLiteral("Unable to read folder contents"), Patience);
    QCOMPARE(computer.tray().state(), TrayIcon::State::Error);
    emit computer.tray().menu().aboutToShow();
    QVERIFY(!trayAction(computer, "Open Synced Folder")->isEnabled());
    QCOMPARE(computer.engine().totalSyncedCount(), 1); // the ledger is as it was

    // The folder comes back (from the trash, say): synced again, and watched again.
    writeFile(computer.folder + QStringLiteral("/kept.jpg"), "kept");
    writeFile(computer.folder + QStringLiteral("/new.jpg"), "new");
    computer.engine().triggerFolderScan();
    QTRY_COMPARE_WITH_TIMEOUT(computer.engine().totalSyncedCount(), 2, Patience);
    const auto* watcher = computer.engine().findChild<QFileSystemWatcher*>();
    QVERIFY(watcher);
    QTRY_VERIFY_WITH_TIMEOUT(watcher->directories().contains(computer.folder), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(computer.tray().state(), TrayIcon::State::Idle, Patience);
}

void TestBackground::syncScreenShowsProgressAndActivity() {
    Computer computer;
    OrlavantApp& app = computer.start();
    auto* main = qobject_cast<MainWindow*>(app.window().centralWidget());
    QVERIFY(main);
    main->setActiveTab(QStringLiteral("sync"));
    auto* screen = qobject_cast<FolderSyncView*>(main->currentScreen());
    QVERIFY(screen);
    QWidget* progress = screen->findChild<QWidget*>(QStringLiteral("syncProgress"));
    auto* list = screen->findChild<QListView*>(QStringLiteral("activityList"));
    QVERIFY(progress && list);
    QVERIFY(!progress->isVisible());
    QVERIFY(screen->findChild<QLabel*>(QStringLiteral("activityEmpty"))->isVisible());

    writeFile(computer.folder + QStringLiteral("/a.jpg"), QByteArray(4000, 'a'));
    writeFile(computer.folder + QStringLiteral("/b.jpg"), QByteArray(6000, 'b'));
    computer.vault.hold(QByteArray(6000, 'b'));
    computer.vault.gate.close();
    computer.engine().changeFolder(computer.folder);
    computer.engine().startSync();
    QTRY_COMPARE_WITH_TIMEOUT(computer.vault.gate.waiting(), 2, Patience);
    const auto shownProgress = [screen] {
        return screen->findChild<QLabel*>(QStringLiteral("syncProgressText"))->text();
    };
    // Both files read, neither answered: half their data is synced.
    const QString halfSynced = QStringLiteral("0 of 2 files \u00B7 ") +
                               FileBrowserView::formatFileSize(5000) + QStringLiteral(" left");
    QTRY_VERIFY2_WITH_TIMEOUT(shownProgress().startsWith(halfSynced), qPrintable(shownProgress()), Patience);
    QVERIFY(progress->isVisible());
    // The status line keeps the engine's text; the tray shows the same progress under it.
    QCOMPARE(screen->findChild<QLabel*>(QStringLiteral("syncStatusText"))->text(),
             computer.engine().syncStatusMessage());
    QCOMPARE(computer.tray().toolTip(), computer.engine().syncStatusMessage() + u'\n' + shownProgress());

    computer.vault.gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!progress->isVisible(), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(), 2, Patience);
    QVERIFY(list->isVisible());
    QVERIFY(list->findChildren<QLabel*>().isEmpty()); // painted rows, no widget per row
}

void TestBackground::activityRowTexts_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("retry");
    QTest::addColumn<QString>("text");
    const QDateTime at(QDate(2026, 1, 15), QTime(14, 5, 9));
    const QString next = QStringLiteral(" Next try at ") + FolderSyncView::mediumTime(at) + u'.';
    QTest::newRow("could not sync") << int(FileOutcome::Kind::Failed) << "The request timed out." << true
                                    << "Could not sync: The request timed out." + next;
    QTest::newRow("a reason with a line break stays one line")
        << int(FileOutcome::Kind::Failed) << "Bad\nreply" << false << "Could not sync: Bad\u240Areply";
}

void TestBackground::activityRowTexts() {
    QFETCH(int, kind);
    QFETCH(QString, reason);
    QFETCH(bool, retry);
    FileOutcome outcome;
    outcome.kind = FileOutcome::Kind(kind);
    outcome.fileName = QStringLiteral("<b>a.jpg</b>");
    outcome.reason = reason;
    if (retry)
        outcome.retryAt = QDateTime(QDate(2026, 1, 15), QTime(14, 5, 9));
    QTEST(ActivityRowDelegate::detailText(outcome), "text");
}

ORLAVANT_TEST_MAIN(TestBackground)
#include "tst_background.moc"
