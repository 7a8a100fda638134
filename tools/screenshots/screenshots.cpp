// Renders every native screen offscreen to PNG files for review: `orlavant-screenshots OUTDIR`.
// The vault is a scripted fake server on a loopback port; nothing touches the real home folder.
#include "HouseholdFiles.h"
#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "app/gui/TrayIcon.h"
#include "platform/Autostart.h"
#include "sync/FolderSyncManager.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FileFilterProxyModel.h"
#include "ui/FileListView.h"
#include "ui/FolderSyncView.h"
#include "ui/LoginView.h"
#include "web/DesktopActions.h"
#include "web/WebViewBox.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <cstdio>

namespace {

QString g_outDir;
const QList<QSize> Sizes = {QSize(1020, 680), QSize(1280, 800)};

void settle(int ms = 150) {
    QTest::qWait(ms);
}

void save(QWidget* widget, const QString& name, bool allSizes = true) {
    for (const QSize& size : Sizes) {
        widget->resize(size);
        settle(60);
        const QString path =
            QStringLiteral("%1/%2-%3x%4.png").arg(g_outDir, name).arg(size.width()).arg(size.height());
        if (!widget->grab().save(path))
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        else
            std::printf("%s\n", qPrintable(path));
        if (!allSizes)
            break;
    }
    widget->resize(Sizes.first());
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

struct Window {
    explicit Window(UiFixture& fixture)
        : appState(fixture.folderSync(), fixture.client(), fixture.services->http)
        , main(appState, box, fixture.client(), fixture.folderSync(), fixture.dialogs, fixture.clock) {
        main.resize(Sizes.first());
        main.show();
        settle();
    }
    AppState appState;
    WebViewBox box;
    MainWindow main;
};

QList<SupabaseFileRecord> sampleFiles() {
    return {
        fileRecord("f1", "Family Vacation 2026.jpg", "image/jpeg", "Pellan's MacBook", "mac", 4'812'331,
                   QStringLiteral("Pictures/Summer")),
        fileRecord("f2", "Birthday Video.mp4", "video/mp4", "Pellan's Android", "android", 842'000'000,
                   QStringLiteral("DCIM/Camera")),
        fileRecord("f3", "Home Insurance.pdf", "application/pdf", "Family iPad", "web", 4'800'000),
        fileRecord("f4", "Travel Receipts.zip", "application/zip", "Pellan's MacBook", "Mac", 76'000'000,
                   QStringLiteral("Documents/Travel")),
        fileRecord("f5", "Grandma's recipes.txt", "text/plain", "Kitchen NAS", "nas", 12'345, QString()),
        fileRecord("f6", "Lullaby.m4a", "audio/mp4", "Pellan's Android", "android", 3'400'000),
    };
}

void loginScreens() {
    UiFixture fixture;
    Window window(fixture);
    auto* login = window.main.findChild<LoginView*>();
    save(&window.main, QStringLiteral("login-signin"));

    fixture.server->on("POST", "/auth/v1/token",
                       FakeServer::Reply::json(400, R"({"error_description":"Invalid login credentials"})"));
    login->findChild<QLineEdit*>(QStringLiteral("emailField"))->setText(QStringLiteral("pellan@family.test"));
    login->findChild<QLineEdit*>(QStringLiteral("passwordField"))->setText(QStringLiteral("not my password"));
    login->handleAuth();
    waitUntil([&] { return !login->isLoading(); });
    save(&window.main, QStringLiteral("login-signin-error"));

    login->toggleMode();
    fixture.server->on("POST", "/auth/v1/signup",
                       FakeServer::Reply::json(422, R"({"msg":"User already registered"})"));
    login->handleAuth();
    waitUntil([&] { return !login->isLoading(); });
    save(&window.main, QStringLiteral("login-signup-error"));

    login->toggleSettings();
    settle();
    if (auto* popover = login->findChild<QWidget*>(QStringLiteral("settingsPopover")))
        popover->grab().save(g_outDir + QStringLiteral("/login-settings-popover.png"));
    login->toggleSettings();
}

void mainScreens() {
    UiFixture fixture(UiFixture::session(QStringLiteral("pellan@family.test")));
    fixture.serveFiles(sampleFiles(), 2500);
    Window window(fixture);
    save(&window.main, QStringLiteral("dashboard"));
    if (auto* scroll = window.main.findChild<DashboardView*>()->findChild<QScrollArea*>()) {
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        save(&window.main, QStringLiteral("dashboard-bottom"), false);
    }

    window.main.setActiveTab(QStringLiteral("files"));
    settle(300);
    save(&window.main, QStringLiteral("files-loading"), false);
    auto* browser = window.main.findChild<FileBrowserView*>();
    waitUntil([&] { return !browser->isLoading(); });
    save(&window.main, QStringLiteral("files-list"));

    const auto search = [&](const QString& query) {
        browser->setSearchQuery(query);
        waitUntil([&] { return !browser->isFiltering(); });
    };
    search(QStringLiteral("holiday in space"));
    save(&window.main, QStringLiteral("files-search-no-match"), false);
    search(QStringLiteral("android"));
    save(&window.main, QStringLiteral("files-search-android"), false);
    search(QString());

    // A download that arrives, then one the vault answers without the file.
    fixture.server->onPrefix("POST", "/storage/v1/object/sign/",
                             [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
    fixture.server->onPrefix("GET", "/storage/v1/object/authenticated/", [](const FakeServer::Request&) {
        return FakeServer::Reply::text(200, "family photo bytes");
    });
    const QString downloads = makeTempDir(QStringLiteral("downloads"));
    fixture.dialogs.setNextSave(downloads + QStringLiteral("/Family Vacation 2026.jpg"));
    browser->downloadFileWithSavePanel(sampleFiles().first());
    waitUntil([&] { return !browser->isDownloading(QStringLiteral("f1")); });
    save(&window.main, QStringLiteral("files-download-success"), false);

    fixture.server->onPrefix("GET", "/storage/v1/object/authenticated/", [](const FakeServer::Request&) {
        return FakeServer::Reply::json(404, R"({"error":"not found"})");
    });
    fixture.dialogs.setNextSave(downloads + QStringLiteral("/Birthday Video.mp4"));
    browser->dismissSuccessBanner();
    browser->downloadFileWithSavePanel(sampleFiles()[1]);
    waitUntil([&] { return !browser->isDownloading(QStringLiteral("f2")); });
    save(&window.main, QStringLiteral("files-download-error"), false);

    // Long texts give way in the name column only; the badge, size and button stay.
    browser->dismissSuccessBanner();
    QList<SupabaseFileRecord> withLongName = sampleFiles();
    withLongName.insert(
        1,
        fileRecord("long",
                   QStringLiteral("Scan of the family tree drawn by great-grandmother Ottilie in the winter "
                                  "of 1952, with every cousin, aunt and uncle she could remember, "
                                  "annotated later by Grandpa Pellan (final, really final, v3).pdf"),
                   "application/pdf", "The big shared desktop in the basement office", "mac", 48'213'004,
                   QStringLiteral("Documents/Family history/Scans from the attic/Boxes 1 to 12/Box 7 - "
                                  "letters and drawings/High resolution")));
    fixture.serveFiles(withLongName);
    browser->loadFiles();
    waitUntil([&] { return !browser->isLoading() && !browser->isFiltering(); });
    save(&window.main, QStringLiteral("files-long-name"));

    // A household's 10,000 files, searched, and a row selected from the keyboard while another
    // downloads.
    fixture.serveFiles(householdFiles(10'000));
    browser->loadFiles();
    waitUntil([&] { return !browser->isLoading() && !browser->isFiltering(); });
    save(&window.main, QStringLiteral("files-10k"));
    search(QStringLiteral("birthday party (4"));
    save(&window.main, QStringLiteral("files-10k-filtered"), false);
    ReplyGate gate;
    fixture.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                             gate.hold(FakeServer::Reply::text(200, "video bytes")));
    fixture.dialogs.setNextSave(downloads + QStringLiteral("/party.mov"));
    browser->downloadFileWithSavePanel(browser->filteredFiles().value(1));
    browser->listView().setFocus();
    browser->listView().setCurrentIndex(browser->shownFiles().index(3, 0));
    settle(200);
    save(&window.main, QStringLiteral("files-10k-row-states"), false);
    gate.open();
    waitUntil([&] { return !browser->isDownloading(browser->filteredFiles().value(1).id); });
    search(QString());

    window.main.setActiveTab(QStringLiteral("dashboard"));
    fixture.serveFiles({});
    window.main.setActiveTab(QStringLiteral("photos"));
    browser = window.main.findChild<FileBrowserView*>();
    settle(100);
    waitUntil([&] { return browser && !browser->isLoading(); });
    save(&window.main, QStringLiteral("files-empty"), false);

    // The folder sync screen through its four states.
    window.main.setActiveTab(QStringLiteral("sync"));
    save(&window.main, QStringLiteral("sync-no-folder"));
    const QString folder = makeTempDir(QStringLiteral("Family Photos"));
    fixture.folderSync().changeFolder(folder);
    save(&window.main, QStringLiteral("sync-paused-folder"), false);
    fixture.folderSync().startSync();
    waitUntil(
        [&] { return fixture.folderSync().lastSyncTime().has_value() && !fixture.folderSync().isSyncing(); });
    save(&window.main, QStringLiteral("sync-active"));

    QFile file(folder + QStringLiteral("/beach.jpg"));
    file.open(QIODevice::WriteOnly);
    file.write("sand and sea");
    file.close();
    FakeServer::Reply slow = FakeServer::Reply::json(500, R"({"error":"busy"})");
    slow.delayMs = 4000;
    fixture.server->on("POST", "/api/files/pre-upload", slow);
    fixture.folderSync().triggerFolderScan();
    waitUntil([&] { return fixture.folderSync().isSyncing(); });
    settle(300);
    save(&window.main, QStringLiteral("sync-scanning"), false);
    fixture.folderSync().stopSync();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

class NoDesktop final : public DesktopActions {
public:
    void playSound(const QString&) override {}
    void revealFile(const QString&) override {}
    void openUrl(const QUrl&) override {}
};

// The sync screen in the middle of a pass, after an earlier one left some history: uploads, a
// file the household already had, one the vault refused, one whose name is not UTF-8. Then the
// tray menu as it is at that moment, and the tray's state icons.
void syncMidPass() {
    UiFixture fixture(UiFixture::session(QStringLiteral("pellan@family.test")));
    const QString base = fixture.server->baseUrl();
    fixture.server->on("POST", "/api/files/pre-upload", [base](const FakeServer::Request& request) {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        const QString name = body.value(QStringLiteral("filename")).toString();
        if (name.startsWith(QLatin1String("Birthday")))
            return FakeServer::Reply::json(200, R"({"deduplicated":true})");
        if (name.startsWith(QLatin1String("Tax")))
            return FakeServer::Reply::json(507, R"({"message":"The household's storage is full."})");
        return FakeServer::Reply::json(
            200, R"({"deduplicated":false,"storage_key":"k","upload_url":")" + base.toUtf8() + "/upload/" +
                     body.value(QStringLiteral("file_hash")).toString().toUtf8() + "\"}");
    });
    ReplyGate uploads;
    fixture.server->onPrefix("PUT", "/upload/",
                             [](const FakeServer::Request&) { return FakeServer::Reply::json(200, "{}"); });
    fixture.server->on("POST", "/api/files/confirm",
                       FakeServer::Reply::json(200, R"({"deduplicated":false})"));
    fixture.server->onPrefix("POST", "/storage/v1/object/", [](const FakeServer::Request&) {
        return FakeServer::Reply::json(500, R"({"error":"full"})");
    });

    const QString folder = makeTempDir(QStringLiteral("Family Photos"));
    writeBytes(folder + QStringLiteral("/Beach day at Kalamaki.jpg"), QByteArray(2'400'000, 'b'));
    writeBytes(folder + QStringLiteral("/Birthday cake.jpg"), QByteArray(1'100'000, 'c'));
    writeBytes(folder + QStringLiteral("/Tax return 2025.pdf"), QByteArray(480'000, 't'));
    writeBytes(folder + QStringLiteral("/Grandpa's garden.jpg"), QByteArray(3'100'000, 'g'));
    // A name in Latin-1, as an old archive gives it: not valid UTF-8.
    const QByteArray latin1Name = QFile::encodeName(folder) + "/Gr\xfc\xdf"
                                                              "e aus Wien.txt";
    if (FILE* file = std::fopen(latin1Name.constData(), "w"))
        std::fclose(file);

    Window window(fixture);
    FolderSyncManager& engine = fixture.folderSync();
    window.main.setActiveTab(QStringLiteral("sync"));
    QSignalSpy finished(&engine, &FolderSyncManager::passFinished);
    engine.changeFolder(folder);
    engine.startSync();
    finished.wait(30000);

    // The next pass: a few large videos, their uploads held back by the vault.
    fixture.server->onPrefix("PUT", "/upload/", uploads.hold(FakeServer::Reply::json(200, "{}")));
    for (const char* name : {"Wedding video (part 1).mov", "Wedding video (part 2).mov", "School play.mp4",
                             "Drone flight over the lake.mov", "Piano recital.mp4"})
        writeBytes(folder + u'/' + QString::fromUtf8(name), QByteArray(60'000'000, name[0]));
    engine.triggerFolderScan();
    waitUntil([&] { return engine.progress().isActive() && engine.progress().bytesPerSecond().has_value(); });
    settle(400);
    save(&window.main, QStringLiteral("sync-mid-pass"));
    if (auto* scroll = window.main.findChild<FolderSyncView*>()->findChild<QScrollArea*>()) {
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        save(&window.main, QStringLiteral("sync-mid-pass-activity"));
    }

    Autostart autostart(makeTempDir(QStringLiteral("autostart")), QStringLiteral("/usr/bin/orlavant"));
    autostart.setEnabled(true);
    NoDesktop desktop;
    TrayIcon tray(engine, fixture.client(), autostart, fixture.sink, desktop, [] { return false; });
    emit tray.menu().aboutToShow();
    tray.menu().adjustSize();
    settle();
    const QString menuPath = g_outDir + QStringLiteral("/tray-menu.png");
    if (tray.menu().grab().save(menuPath))
        std::printf("%s\n", qPrintable(menuPath));

    // The icons the tray shows, at the sizes panels ask for.
    const QList<TrayIcon::State> states = {TrayIcon::State::Idle, TrayIcon::State::Syncing,
                                           TrayIcon::State::Paused, TrayIcon::State::SignedOut,
                                           TrayIcon::State::Error};
    QPixmap strip(int(states.size()) * (16 + 22 + 32 + 64 + 50) + 10, 84);
    strip.fill(QColor(0x2b, 0x2b, 0x30));
    {
        QPainter painter(&strip);
        int x = 10;
        for (const TrayIcon::State state : states) {
            for (const int size : {16, 22, 32, 64}) {
                painter.drawPixmap(x, 10 + (64 - size) / 2, TrayIcon::icon(state).pixmap(size, size));
                x += size + 10;
            }
            x += 10;
        }
    }
    const QString iconsPath = g_outDir + QStringLiteral("/tray-icons.png");
    if (strip.save(iconsPath))
        std::printf("%s\n", qPrintable(iconsPath));
    uploads.open();
    engine.stopSync();
}

} // namespace

int main(int argc, char** argv) {
    isolateHomeForTests();
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    g_outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(g_outDir);
    loginScreens();
    mainScreens();
    syncMidPass();
    return 0;
}
