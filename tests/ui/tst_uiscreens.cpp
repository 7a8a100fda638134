// The native screens on their own: login rules, file browser states and downloads, the folder
// sync screen's state table, the dashboard's actions. Offscreen, against a scripted fake vault.
#include <QApplication>

#include "UiTestSupport.h"

#include "sync/FolderSyncManager.h"
#include "ui/Controls.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/Icons.h"
#include "ui/LoginView.h"
#include "ui/MetricCard.h"
#include "ui/OrlavantTheme.h"

#include <QFile>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <atomic>

Q_DECLARE_METATYPE(QList<int>)

namespace {

const QByteArray SessionReply =
    R"({"access_token":"tok-9","user":{"id":"user-9","email":"ada@family.test"}})";

QStringList rowNames(const QWidget* browser) {
    QStringList names;
    for (const QWidget* row : browser->findChildren<QWidget*>(QStringLiteral("fileRow")))
        names.append(labelText(row, QStringLiteral("fileName")));
    return names;
}

QList<SupabaseFileRecord> threeFiles() {
    return {
        fileRecord("a", "Été à la plage.jpg", "image/jpeg", "Ada's MacBook", "mac", 2'400'000,
                   QStringLiteral("Pictures")),
        fileRecord("b", "tax return.pdf", "application/pdf", "Family Android", "android", 48'000, QString()),
        fileRecord("c", "song.mp3", "audio/mpeg", "Kitchen", "web", 999),
    };
}

// The background colour the button paints at `point`, over white.
QColor paintedAt(GradientButton* button, QPoint point) {
    QImage image(button->size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    button->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.pixelColor(point);
}

} // namespace

class TestUiScreens : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    // Theme and icons
    void colorFromHexUsesLowest24Bits();
    void everyShippedSymbolDraws();

    // Login screen
    void submitEnabledRules_data();
    void submitEnabledRules();
    void disabledSubmitIsDrawnAtSixtyPercent();
    void failedSignInShowsErrorAndKeepsFields();
    void submitClearsErrorAtOnceAndShowsProgress();
    void modeToggleClearsErrorAndSwitchesCall();
    void quickLogoClicks_data();
    void quickLogoClicks();
    void settingsPrefillDiscardsUnsavedEdits();

    // File browser
    void filterFiles_data();
    void filterFiles();
    void iconForMime_data();
    void iconForMime();
    void deviceIcon_data();
    void deviceIcon();
    void fileSizesUseDecimalUnits_data();
    void fileSizesUseDecimalUnits();
    void mainAreaStates();
    void failedReloadKeepsRows();
    void olderListAnswerDoesNotReplaceNewer();
    void download_data();
    void download();
    void downloadMarksOnlyItsRowWhileRunning();

    // Folder sync screen
    void folderSyncStates_data();
    void folderSyncStates();
    void changeFolderButtonAsksForFolder();

    // Dashboard
    void dashboardActions();
};

void TestUiScreens::initTestCase() {
    // Sizes and case folding follow the locale; the expected texts are written for this one.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void TestUiScreens::everyShippedSymbolDraws() {
    // A drawing the SVG reader rejects comes out blank, silently: count what it paints.
    const QStringList names = Icons::symbolNames();
    QVERIFY(names.size() >= 30);
    for (const QString& name : names) {
        const QImage image = QIcon(Icons::shippedPath(name)).pixmap(24, 24).toImage();
        int painted = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                painted += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
        }
        QVERIFY2(painted > 20, qPrintable(name));
    }
}

void TestUiScreens::colorFromHexUsesLowest24Bits() {
    QCOMPARE(colorFromHex(0x8B5CF6, 1.0), OrlavantTheme::purple);
    const QColor white = colorFromHex(0x1FFFFFF, 0.5);
    QCOMPARE(white.rgb() & 0xFFFFFF, 0xFFFFFFu);
    QVERIFY(qAbs(white.alphaF() - 0.5f) < 0.01f);
    QCOMPARE(OrlavantTheme::border.red(), 232);
    QCOMPARE(OrlavantTheme::border.green(), 223);
    QCOMPARE(OrlavantTheme::border.blue(), 206);
}

void TestUiScreens::submitEnabledRules_data() {
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("both empty") << ""
                                << "" << false;
    QTest::newRow("e-mail only") << "ada@family.test"
                                 << "" << false;
    QTest::newRow("password only") << ""
                                   << "secret" << false;
    QTest::newRow("both filled") << "ada@family.test"
                                 << "secret" << true;
    QTest::newRow("blanks count as filled") << " "
                                            << "   " << true;
}

void TestUiScreens::submitEnabledRules() {
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(bool, enabled);
    UiFixture fixture;
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    QTest::keyClicks(child<QLineEdit>(&login, "emailField"), email);
    QTest::keyClicks(child<QLineEdit>(&login, "passwordField"), password);
    auto* submit = child<GradientButton>(&login, "submitButton");
    QCOMPARE(submit->isEnabled(), enabled);
    QCOMPARE(submit->paintOpacity(), enabled ? 1.0 : 0.6);
    // A disabled button ignores the click: no request leaves.
    press(submit);
    QCOMPARE(login.isLoading(), enabled);
}

void TestUiScreens::disabledSubmitIsDrawnAtSixtyPercent() {
    UiFixture fixture;
    LoginView login(fixture.client(), fixture.clock);
    login.resize(600, 700);
    login.show();
    auto* submit = child<GradientButton>(&login, "submitButton");
    submit->setGraphicsEffect(nullptr); // the shadow would show through a translucent button
    const QPoint probe(30, 6);          // inside the rounded end, clear of the label
    const QColor disabled = paintedAt(submit, probe);
    child<QLineEdit>(&login, "emailField")->setText(QStringLiteral("a"));
    child<QLineEdit>(&login, "passwordField")->setText(QStringLiteral("b"));
    const QColor enabled = paintedAt(submit, probe);
    QVERIFY2(enabled != QColor(Qt::white),
             qPrintable(
                 QStringLiteral("%1 %2x%3").arg(enabled.name()).arg(submit->width()).arg(submit->height())));
    // Over white, 60 % of the colour plus 40 % of white.
    QVERIFY(qAbs(disabled.red() - qRound(0.6 * enabled.red() + 0.4 * 255)) <= 3);
    QVERIFY(qAbs(disabled.green() - qRound(0.6 * enabled.green() + 0.4 * 255)) <= 3);
    QVERIFY(qAbs(disabled.blue() - qRound(0.6 * enabled.blue() + 0.4 * 255)) <= 3);
}

void TestUiScreens::failedSignInShowsErrorAndKeepsFields() {
    UiFixture fixture;
    fixture.server->on("POST", "/auth/v1/token",
                       FakeServer::Reply::json(400, R"({"error_description":"Invalid login credentials"})"));
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    child<QLineEdit>(&login, "emailField")->setText(QStringLiteral(" ada@family.test "));
    child<QLineEdit>(&login, "passwordField")->setText(QStringLiteral("wrong"));
    press(child<GradientButton>(&login, "submitButton"));
    QTRY_VERIFY(!login.isLoading());

    QCOMPARE(login.errorMessage().value_or(QStringLiteral("(none)")),
             QStringLiteral("Invalid login credentials"));
    QVERIFY(child<QWidget>(&login, "errorRow")->isVisible());
    QCOMPARE(labelText(&login, "errorText"), QStringLiteral("Invalid login credentials"));
    QCOMPARE(login.email(), QStringLiteral(" ada@family.test "));
    QCOMPARE(login.password(), QStringLiteral("wrong"));
    // Sent as typed: untrimmed.
    const auto sent = fixture.server->requests("POST", "/auth/v1/token");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(QJsonDocument::fromJson(sent.first().body).object().value("email").toString(),
             QStringLiteral(" ada@family.test "));
    QVERIFY(!fixture.client().isAuthenticated());
}

void TestUiScreens::submitClearsErrorAtOnceAndShowsProgress() {
    UiFixture fixture;
    fixture.server->on("POST", "/auth/v1/token",
                       FakeServer::Reply::json(400, R"({"msg":"Email not confirmed"})"));
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    child<QLineEdit>(&login, "emailField")->setText(QStringLiteral("ada@family.test"));
    child<QLineEdit>(&login, "passwordField")->setText(QStringLiteral("secret"));
    login.handleAuth();
    QTRY_VERIFY(login.errorMessage().has_value());

    FakeServer::Reply slow = FakeServer::Reply::json(200, SessionReply);
    slow.delayMs = 400;
    fixture.server->on("POST", "/auth/v1/token", slow);
    auto* submit = child<GradientButton>(&login, "submitButton");
    press(submit);
    QVERIFY(!login.errorMessage());
    QVERIFY(!child<QWidget>(&login, "errorRow")->isVisible());
    QVERIFY(login.isLoading());
    QVERIFY(submit->isBusy());
    QVERIFY(!submit->isEnabled());
    QTRY_VERIFY(!login.isLoading());
    QVERIFY(!submit->isBusy());
    QVERIFY(fixture.client().isAuthenticated());
    QVERIFY(!login.errorMessage());
}

void TestUiScreens::modeToggleClearsErrorAndSwitchesCall() {
    UiFixture fixture;
    fixture.server->on("POST", "/auth/v1/token", FakeServer::Reply::json(400, R"({"msg":"Nope"})"));
    fixture.server->on("POST", "/auth/v1/signup",
                       FakeServer::Reply::json(422, R"({"msg":"User already registered"})"));
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    child<QLineEdit>(&login, "emailField")->setText(QStringLiteral("ada@family.test"));
    child<QLineEdit>(&login, "passwordField")->setText(QStringLiteral("secret"));
    login.handleAuth();
    QTRY_VERIFY(login.errorMessage().has_value());

    press(child<QPushButton>(&login, "modeToggle"));
    QVERIFY(login.isSignUp());
    QVERIFY(!login.errorMessage());
    QVERIFY(!child<QWidget>(&login, "errorRow")->isVisible());
    QCOMPARE(labelText(&login, "heading"), QStringLiteral("Create your Family Cloud Account"));
    QCOMPARE(child<GradientButton>(&login, "submitButton")->text(), QStringLiteral("Create Family Vault"));
    QCOMPARE(child<QPushButton>(&login, "modeToggle")->text(),
             QStringLiteral("Already have an account? Sign In"));
    QCOMPARE(login.email(), QStringLiteral("ada@family.test"));
    QCOMPARE(login.password(), QStringLiteral("secret"));

    // The mode decides which call is made.
    login.handleAuth();
    QTRY_VERIFY(!login.isLoading());
    QCOMPARE(fixture.server->requests("POST", "/auth/v1/signup").size(), 1);
    QCOMPARE(login.errorMessage(), std::optional<QString>(QStringLiteral("User already registered")));

    login.toggleMode();
    QCOMPARE(labelText(&login, "heading"), QStringLiteral("Sign in to your Home Vault"));
    QCOMPARE(child<GradientButton>(&login, "submitButton")->text(), QStringLiteral("Sign In to Orlavant"));
    QCOMPARE(child<QPushButton>(&login, "modeToggle")->text(), QStringLiteral("Need an account? Sign Up"));
}

void TestUiScreens::quickLogoClicks_data() {
    QTest::addColumn<QList<int>>("gapsMs"); // before each click; the first gap is ignored
    QTest::addColumn<int>("demoRequests");
    QTest::addColumn<qint64>("countAfter");
    QTest::newRow("first click counts one") << QList<int>{0} << 0 << qint64(1);
    QTest::newRow("four quick clicks") << QList<int>{0, 500, 500, 500} << 0 << qint64(4);
    QTest::newRow("five with gaps of exactly 3.0 s")
        << QList<int>{0, 3000, 3000, 3000, 3000} << 1 << qint64(0);
    QTest::newRow("3.1 s before the fifth restarts at one")
        << QList<int>{0, 100, 100, 100, 3100} << 0 << qint64(1);
    QTest::newRow("after a restart five more are needed")
        << QList<int>{0, 100, 100, 100, 3100, 100, 100, 100, 100} << 1 << qint64(0);
    QTest::newRow("the click after a trigger counts one")
        << QList<int>{0, 100, 100, 100, 100, 100} << 1 << qint64(1);
    QTest::newRow("a long pause after a trigger also counts one")
        << QList<int>{0, 100, 100, 100, 100, 60000} << 1 << qint64(1);
}

void TestUiScreens::quickLogoClicks() {
    QFETCH(QList<int>, gapsMs);
    QFETCH(int, demoRequests);
    QFETCH(qint64, countAfter);
    UiFixture fixture;
    fixture.server->on(
        "POST", "/api/v1/auth/demo-login",
        FakeServer::Reply::json(200, R"({"token":"demo-token","user":{"id":"user_demo_pellan"}})"));
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    // The typed fields and the mode play no part.
    login.toggleMode();
    auto* logo = child<QWidget>(&login, "logo");
    for (int gap : gapsMs) {
        fixture.clock.advanceMs(gap);
        QTest::mouseClick(logo, Qt::LeftButton);
    }
    QCOMPARE(login.logoTapCount(), countAfter);
    QTRY_VERIFY(!login.isLoading());
    QCOMPARE(fixture.server->requests("POST", "/api/v1/auth/demo-login").size(), demoRequests);
    QCOMPARE(fixture.client().isAuthenticated(), demoRequests > 0);
}

void TestUiScreens::settingsPrefillDiscardsUnsavedEdits() {
    UiFixture fixture;
    LoginView login(fixture.client(), fixture.clock);
    login.show();
    auto* url = child<QLineEdit>(&login, "customUrlField");
    auto* key = child<QLineEdit>(&login, "customAnonKeyField");
    const QString serverUrl = fixture.server->baseUrl();

    press(child<QPushButton>(&login, "settingsButton"));
    QVERIFY(login.showSettings());
    QCOMPARE(url->text(), serverUrl);
    QCOMPARE(key->text(), QStringLiteral("test-anon-key"));

    url->setText(QStringLiteral("https://edited.example"));
    key->setText(QStringLiteral("edited-key"));
    child<QWidget>(&login, "settingsPopover")->hide(); // a click elsewhere closes it
    QVERIFY(!login.showSettings());
    login.toggleSettings();
    QVERIFY(login.showSettings());
    QCOMPARE(url->text(), serverUrl);
    QCOMPARE(key->text(), QStringLiteral("test-anon-key"));

    // Saving passes the texts as typed (the client trims slashes) and closes the popover.
    url->setText(QStringLiteral("http://127.0.0.1:9///"));
    key->setText(QString());
    press(child<QPushButton>(&login, "saveConfigurationButton"));
    QVERIFY(!login.showSettings());
    QVERIFY(!child<QWidget>(&login, "settingsPopover")->isVisible());
    QCOMPARE(fixture.client().supabaseUrl(), QStringLiteral("http://127.0.0.1:9"));
    QCOMPARE(fixture.client().supabaseAnonKey(), QString());
    QVERIFY(!fixture.client().isAuthenticated());
}

void TestUiScreens::filterFiles_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("empty query keeps all in order")
        << "" << QStringList{"Été à la plage.jpg", "tax return.pdf", "song.mp3"};
    QTest::newRow("file name ignoring case") << "TAX" << QStringList{"tax return.pdf"};
    QTest::newRow("accented capitals") << "ÉTÉ" << QStringList{"Été à la plage.jpg"};
    QTest::newRow("device name") << "kitchen" << QStringList{"song.mp3"};
    QTest::newRow("device type") << "Android" << QStringList{"tax return.pdf"};
    QTest::newRow("one blank is not trimmed") << " " << QStringList{"Été à la plage.jpg", "tax return.pdf"};
    QTest::newRow("no match") << "holiday" << QStringList{};
}

void TestUiScreens::filterFiles() {
    QFETCH(QString, query);
    QFETCH(QStringList, expected);
    UiFixture fixture(UiFixture::session());
    fixture.serveFiles(threeFiles());
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    browser.show();
    QTRY_COMPARE(loaded.size(), 1);
    QTest::keyClicks(child<QLineEdit>(&browser, "fileSearchField"), query);
    QCOMPARE(rowNames(&browser), expected);
    QCOMPARE(browser.mainArea(),
             expected.isEmpty() ? FileBrowserView::MainArea::Empty : FileBrowserView::MainArea::List);
    // Clearing the search brings back the full list in the order received.
    child<QLineEdit>(&browser, "fileSearchField")->clear();
    QCOMPARE(rowNames(&browser), (QStringList{"Été à la plage.jpg", "tax return.pdf", "song.mp3"}));
}

void TestUiScreens::iconForMime_data() {
    QTest::addColumn<QString>("mimeType");
    QTest::addColumn<QString>("icon");
    QTest::newRow("image") << "image/png"
                           << "photo.fill";
    QTest::newRow("image in capitals is case-sensitive") << "IMAGE/PNG"
                                                         << "doc.fill";
    QTest::newRow("video") << "video/mp4"
                           << "film.fill";
    QTest::newRow("audio") << "audio/mpeg"
                           << "music.note";
    QTest::newRow("pdf") << "application/pdf"
                         << "doc.richtext.fill";
    QTest::newRow("zip") << "application/zip"
                         << "doc.zipper";
    QTest::newRow("gzip contains zip") << "application/gzip"
                                       << "doc.zipper";
    QTest::newRow("tar") << "application/x-tar"
                         << "doc.zipper";
    QTest::newRow("compress") << "application/x-compress"
                              << "doc.zipper";
    QTest::newRow("first key wins") << "image/x-pdf-preview"
                                    << "photo.fill";
    QTest::newRow("byte stream") << "application/octet-stream"
                                 << "doc.fill";
    QTest::newRow("empty") << ""
                           << "doc.fill";
}

void TestUiScreens::iconForMime() {
    QFETCH(QString, mimeType);
    QFETCH(QString, icon);
    QCOMPARE(FileBrowserView::iconForMime(mimeType), icon);
    QVERIFY2(Icons::isKnown(icon), qPrintable(icon));
    QVERIFY(!Icons::tinted(icon, Qt::black, 16).toImage().isNull());
}

void TestUiScreens::deviceIcon_data() {
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<QString>("icon");
    QTest::newRow("mac") << "mac"
                         << "laptopcomputer";
    QTest::newRow("Mac is lower-cased first") << "Mac"
                                              << "laptopcomputer";
    QTest::newRow("ANDROID") << "ANDROID"
                             << "candybarphone";
    QTest::newRow("web") << "web"
                         << "globe";
    QTest::newRow("macOS is not mac") << "macOS"
                                      << "externaldrive";
    QTest::newRow("padded is not equal") << " mac"
                                         << "externaldrive";
    QTest::newRow("empty") << ""
                           << "externaldrive";
}

void TestUiScreens::deviceIcon() {
    QFETCH(QString, deviceType);
    QFETCH(QString, icon);
    QCOMPARE(FileBrowserView::deviceIcon(deviceType), icon);
    QVERIFY2(Icons::isKnown(icon), qPrintable(icon));
}

void TestUiScreens::fileSizesUseDecimalUnits_data() {
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("bytes") << qint64(999) << "999 bytes";
    QTest::newRow("exactly one thousand") << qint64(1000) << "1.0 kB";
    QTest::newRow("megabytes") << qint64(1'500'000) << "1.5 MB";
    QTest::newRow("gigabytes") << qint64(2'400'000'000) << "2.4 GB";
    QTest::newRow("negative stays negative") << qint64(-2000) << "-2.0 kB";
}

void TestUiScreens::fileSizesUseDecimalUnits() {
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(FileBrowserView::formatFileSize(bytes), text);
}

void TestUiScreens::mainAreaStates() {
    UiFixture fixture(UiFixture::session());
    fixture.serveFiles(threeFiles(), 500);
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    browser.show();

    // Loading: nothing received yet.
    QCOMPARE(browser.mainArea(), FileBrowserView::MainArea::Loading);
    QVERIFY(visibleTexts(&browser).contains(QStringLiteral("Fetching cloud files from Supabase...")));
    QVERIFY(!child<QPushButton>(&browser, "refreshButton")->isEnabled());

    // The list, with a folder line only where the folder is known and not empty.
    QTRY_COMPARE(loaded.size(), 1);
    QCOMPARE(browser.mainArea(), FileBrowserView::MainArea::List);
    QVERIFY(child<QPushButton>(&browser, "refreshButton")->isEnabled());
    const auto rows = browser.findChildren<QWidget*>(QStringLiteral("fileRow"));
    QCOMPARE(rows.size(), 3);
    QCOMPARE(labelText(rows[0], "folderPath"), QStringLiteral("Pictures"));
    QVERIFY(!child<QLabel>(rows[1], "folderPath")); // empty folder path: no second line
    QVERIFY(!child<QLabel>(rows[2], "folderPath")); // absent
    QCOMPARE(child<SymbolLabel>(rows[1], "fileTypeIcon")->symbol(), QStringLiteral("doc.richtext.fill"));
    QCOMPARE(child<SymbolLabel>(rows[1], "fileTypeIcon")->color(), colorFromHex(0x8B5CF6));
    QCOMPARE(child<SymbolLabel>(rows[1], "deviceIcon")->symbol(), QStringLiteral("candybarphone"));
    QCOMPARE(labelText(rows[1], "deviceName"), QStringLiteral("Family Android"));
    QCOMPARE(labelText(rows[0], "fileSize"), QStringLiteral("2.4 MB"));
    QCOMPARE(child<QPushButton>(rows[0], "downloadButton")->toolTip(),
             QStringLiteral("Save this file locally using NSSavePanel"));

    // A reload with rows present keeps them in place; only Refresh is disabled.
    press(child<QPushButton>(&browser, "refreshButton"));
    QCOMPARE(browser.mainArea(), FileBrowserView::MainArea::List);
    QVERIFY(!child<QPushButton>(&browser, "refreshButton")->isEnabled());
    QTRY_COMPARE(loaded.size(), 2);

    // Empty: the vault holds nothing.
    fixture.serveFiles({});
    browser.loadFiles();
    QTRY_COMPARE(loaded.size(), 3);
    QCOMPARE(browser.mainArea(), FileBrowserView::MainArea::Empty);
    const QStringList texts = visibleTexts(&browser);
    QVERIFY(texts.contains(QStringLiteral("No files found in your cloud vault")));
    QVERIFY(texts.contains(
        QStringLiteral("Files uploaded from your Mac, Android, or Web browser will appear here.")));
}

void TestUiScreens::failedReloadKeepsRows() {
    UiFixture fixture(UiFixture::session());
    fixture.serveFiles(threeFiles());
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    browser.show();
    QTRY_COMPARE(loaded.size(), 1);

    fixture.server->on("GET", "/rest/v1/files", FakeServer::Reply::text(500, "<html>down</html>"));
    browser.loadFiles();
    QTRY_COMPARE(loaded.size(), 2);
    QVERIFY(browser.errorMessage().has_value());
    QVERIFY2(browser.errorMessage()->startsWith(QStringLiteral("Failed to load files: ")),
             qPrintable(*browser.errorMessage()));
    QVERIFY(browser.errorMessage()->size() > QStringLiteral("Failed to load files: ").size());
    QVERIFY(child<QWidget>(&browser, "errorBanner")->isVisible());
    QCOMPARE(rowNames(&browser).size(), 3);

    // Retry reloads, and the next load clears the banner.
    fixture.serveFiles(threeFiles().mid(0, 1));
    press(child<QPushButton>(&browser, "retryButton"));
    QVERIFY(!browser.errorMessage());
    QTRY_COMPARE(loaded.size(), 3);
    QVERIFY(!child<QWidget>(&browser, "errorBanner")->isVisible());
    QCOMPARE(rowNames(&browser), QStringList{"Été à la plage.jpg"});
}

void TestUiScreens::olderListAnswerDoesNotReplaceNewer() {
    UiFixture fixture(UiFixture::session());
    auto calls = std::make_shared<std::atomic<int>>(0);
    const QList<SupabaseFileRecord> files = threeFiles();
    fixture.server->on("GET", "/rest/v1/files", [calls, files](const FakeServer::Request&) {
        // The first request answers late with the older list.
        const bool first = calls->fetch_add(1) == 0;
        QJsonArray rows;
        for (const auto& file : first ? files.mid(0, 1) : files)
            rows.append(file.toJsonObject());
        FakeServer::Reply reply = FakeServer::Reply::json(200, QJsonDocument(rows).toJson());
        reply.delayMs = first ? 600 : 0;
        return reply;
    });
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    browser.show(); // first request
    QTRY_COMPARE(calls->load(), 1);
    browser.loadFiles(); // a second showing while the first is out
    QTRY_COMPARE(loaded.size(), 1);
    QCOMPARE(browser.files().size(), 3);
    QVERIFY(browser.isLoading()); // the first is still out
    QTRY_COMPARE(loaded.size(), 2);
    QVERIFY(!browser.isLoading());
    QCOMPARE(browser.files().size(), 3);
}

void TestUiScreens::download_data() {
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("success");
    QTest::addColumn<QString>("error");
    QTest::newRow("stored") << "stored"
                            << "Successfully downloaded 'tax return.pdf' to Taxes 2026.pdf"
                            << "";
    QTest::newRow("vault answers without the file") << "missing"
                                                    << ""
                                                    << "Failed to download 'tax return.pdf'";
    QTest::newRow("transport failure") << "throws"
                                       << ""
                                       << "Download error: ";
    QTest::newRow("save dialog cancelled") << "cancelled"
                                           << ""
                                           << "";
}

void TestUiScreens::download() {
    QFETCH(QString, outcome);
    QFETCH(QString, success);
    QFETCH(QString, error);
    UiFixture fixture(UiFixture::session());
    fixture.serveFiles(threeFiles());
    fixture.server->onPrefix("POST", "/storage/v1/object/sign/",
                             [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
    fixture.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                             [outcome](const FakeServer::Request&) {
                                 return outcome == QLatin1String("stored")
                                            ? FakeServer::Reply::text(200, "%PDF tax bytes")
                                            : FakeServer::Reply::json(404, R"({"error":"not found"})");
                             });
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    QSignalSpy finished(&browser, &FileBrowserView::downloadFinished);
    browser.show();
    QTRY_COMPARE(loaded.size(), 1);

    const QString destination = makeTempDir(QStringLiteral("save")) + QStringLiteral("/Taxes 2026.pdf");
    fixture.dialogs.setNextSave(outcome == QLatin1String("cancelled") ? std::nullopt
                                                                      : std::optional(destination));
    if (outcome == QLatin1String("throws"))
        fixture.client().configure(FakeServer::refusedBaseUrl(), QStringLiteral("test-anon-key"));
    const auto rows = browser.findChildren<QWidget*>(QStringLiteral("fileRow"));
    press(child<QPushButton>(rows[1], "downloadButton"));

    // The save dialog's texts.
    QCOMPARE(fixture.dialogs.asked().size(), 1);
    const Dialogs::SaveOptions asked = fixture.dialogs.asked().first().save;
    QCOMPARE(asked.title, QStringLiteral("Download from Orlavant Vault"));
    QCOMPARE(asked.message, QStringLiteral("Choose where to save 'tax return.pdf'"));
    QCOMPARE(asked.prompt, QStringLiteral("Save File"));
    QCOMPARE(asked.suggestedName, QStringLiteral("tax return.pdf"));

    if (outcome == QLatin1String("cancelled")) {
        QVERIFY(!browser.isDownloading(QStringLiteral("b")));
        QTest::qWait(50);
        QCOMPARE(finished.size(), 0);
        QVERIFY(fixture.server->requests("GET", "/storage/v1/object/authenticated/").isEmpty());
        QVERIFY(!browser.errorMessage());
        QVERIFY(!browser.downloadSuccessMessage());
        QVERIFY(!QFile::exists(destination));
        return;
    }
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(!browser.isDownloading(QStringLiteral("b")));
    QVERIFY(child<QPushButton>(rows[1], "downloadButton")->isEnabled());
    QCOMPARE(browser.downloadSuccessMessage().value_or(QString()), success);
    QCOMPARE(browser.errorMessage().has_value(), !error.isEmpty());
    if (!error.isEmpty())
        QVERIFY2(browser.errorMessage()->startsWith(error), qPrintable(*browser.errorMessage()));
    QCOMPARE(child<QWidget>(&browser, "successBanner")->isVisible(), !success.isEmpty());
    QCOMPARE(child<QWidget>(&browser, "errorBanner")->isVisible(), !error.isEmpty());
    if (outcome == QLatin1String("stored")) {
        QFile saved(destination);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("%PDF tax bytes"));
        press(child<QPushButton>(&browser, "dismissSuccessButton"));
        QVERIFY(!browser.downloadSuccessMessage());
        QVERIFY(!child<QWidget>(&browser, "successBanner")->isVisible());
    }
}

void TestUiScreens::downloadMarksOnlyItsRowWhileRunning() {
    UiFixture fixture(UiFixture::session());
    fixture.serveFiles(threeFiles());
    fixture.server->onPrefix("POST", "/storage/v1/object/sign/",
                             [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
    fixture.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                             [](const FakeServer::Request& request) {
                                 FakeServer::Reply reply = FakeServer::Reply::text(200, "bytes");
                                 // The first file's download takes longer than the second's.
                                 reply.delayMs = request.path.contains("/a/") ? 700 : 100;
                                 return reply;
                             });
    FileBrowserView browser(fixture.client(), fixture.dialogs);
    QSignalSpy loaded(&browser, &FileBrowserView::loadFinished);
    QSignalSpy finished(&browser, &FileBrowserView::downloadFinished);
    browser.show();
    QTRY_COMPARE(loaded.size(), 1);
    const QString folder = makeTempDir(QStringLiteral("save"));
    const auto rows = browser.findChildren<QWidget*>(QStringLiteral("fileRow"));
    auto* first = child<QPushButton>(rows[0], "downloadButton");
    auto* second = child<QPushButton>(rows[1], "downloadButton");

    fixture.dialogs.setNextSave(folder + QStringLiteral("/one.jpg"));
    press(first);
    QVERIFY(!first->isEnabled());
    QVERIFY(first->findChild<Spinner*>()->isVisible());
    QVERIFY(second->isEnabled());
    QVERIFY(!second->findChild<Spinner*>()->isVisible());

    fixture.dialogs.setNextSave(folder + QStringLiteral("/two.pdf"));
    press(second);
    QVERIFY(!second->isEnabled());
    // The second ends first: the first row stays marked until its own download ends.
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toString(), QStringLiteral("b"));
    QVERIFY(second->isEnabled());
    QVERIFY(!first->isEnabled());
    QVERIFY(first->findChild<Spinner*>()->isVisible());
    QTRY_COMPARE(finished.size(), 2);
    QVERIFY(first->isEnabled());
    QCOMPARE(browser.downloadSuccessMessage().value_or(QString()),
             QStringLiteral("Successfully downloaded 'Été à la plage.jpg' to one.jpg"));
}

void TestUiScreens::folderSyncStates_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("pill");
    QTest::addColumn<QColor>("pillColor");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("spinner");
    QTest::addColumn<bool>("lastScan");
    QTest::newRow("paused, no folder")
        << "no folder"
        << "Paused" << OrlavantTheme::orange << false << false << false << false;
    QTest::newRow("paused, folder set")
        << "folder"
        << "Paused" << OrlavantTheme::orange << true << false << false << false;
    QTest::newRow("active, idle") << "active"
                                  << "Active & Watching" << OrlavantTheme::green << false << true << false
                                  << true;
    QTest::newRow("scanning") << "scanning"
                              << "Syncing..." << OrlavantTheme::purple << false << true << true << true;
}

void TestUiScreens::folderSyncStates() {
    QFETCH(QString, state);
    QFETCH(QString, pill);
    QFETCH(QColor, pillColor);
    QFETCH(bool, startEnabled);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, spinner);
    QFETCH(bool, lastScan);
    UiFixture fixture(UiFixture::session());
    FolderSyncManager& engine = fixture.folderSync();
    FolderSyncView view(engine, fixture.client());
    view.resize(900, 600);
    view.show();
    const QString folder = makeTempDir(QStringLiteral("Family Photos"));
    if (state != QLatin1String("no folder"))
        engine.changeFolder(folder);
    if (state == QLatin1String("active") || state == QLatin1String("scanning")) {
        QSignalSpy passes(&engine, &FolderSyncManager::passFinished);
        engine.startSync();
        QTRY_COMPARE(passes.size(), 1);
    }
    if (state == QLatin1String("scanning")) {
        QFile file(folder + QStringLiteral("/beach.jpg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("sand");
        file.close();
        FakeServer::Reply slow = FakeServer::Reply::json(500, "{}");
        slow.hang = true; // held until the fixture stops the server
        fixture.server->on("POST", "/api/files/pre-upload", slow);
        engine.triggerFolderScan();
        QTRY_VERIFY(engine.isSyncing());
    }

    QCOMPARE(labelText(&view, "statusPillText"), pill);
    QCOMPARE(view.statusIndicatorColor(), pillColor);
    QCOMPARE(child<GradientButton>(&view, "startSyncButton")->isEnabled(), startEnabled);
    QCOMPARE(child<GradientButton>(&view, "stopSyncButton")->isEnabled(), stopEnabled);
    QCOMPARE(child<QWidget>(&view, "syncSpinner")->isVisible(), spinner);
    QCOMPARE(child<QWidget>(&view, "infoIcon")->isVisible(), !spinner);
    QCOMPARE(labelText(&view, "syncStatusText"), engine.syncStatusMessage());
    QCOMPARE(child<QWidget>(&view, "lastScanText")->isVisible(), lastScan);
    if (lastScan)
        QVERIFY(labelText(&view, "lastScanText").startsWith(QStringLiteral("Last scan: ")));
    const bool hasFolder = state != QLatin1String("no folder");
    QCOMPARE(labelText(&view, "folderPath"),
             hasFolder ? engine.watchedFolderPath().value() : QStringLiteral("No directory selected yet"));
    QCOMPARE(child<SymbolLabel>(&view, "folderIcon")->symbol(),
             hasFolder ? QStringLiteral("folder.fill") : QStringLiteral("folder.badge.questionmark"));

    const auto cards = view.findChildren<MetricCard*>();
    QCOMPARE(cards.size(), 3);
    QCOMPARE(cards[0]->title(), QStringLiteral("Files in Vault"));
    QCOMPARE(cards[0]->value(), QString::number(engine.totalSyncedCount()));
    QCOMPARE(cards[1]->title(), QStringLiteral("Deduplicated (Skipped)"));
    QCOMPARE(cards[1]->value(), QString::number(engine.deduplicatedCount()));
    QCOMPARE(cards[2]->value(), QStringLiteral("Orlavant Sovereign"));

    // Stop pauses the engine: while a pass is still running the pill keeps "Syncing...".
    if (stopEnabled) {
        press(child<GradientButton>(&view, "stopSyncButton"));
        QVERIFY(engine.isSyncStopped());
        QCOMPARE(labelText(&view, "statusPillText"),
                 engine.isSyncing() ? QStringLiteral("Syncing...") : QStringLiteral("Paused"));
        QVERIFY(!child<GradientButton>(&view, "stopSyncButton")->isEnabled());
    }
}

void TestUiScreens::changeFolderButtonAsksForFolder() {
    UiFixture fixture(UiFixture::session());
    FolderSyncView view(fixture.folderSync(), fixture.client());
    view.show();
    const QString folder = makeTempDir(QStringLiteral("Chosen"));
    fixture.dialogs.setNextOpen(QStringList{folder});
    press(child<QAbstractButton>(&view, "changeFolderButton"));
    QTRY_COMPARE(labelText(&view, "folderPath"), fixture.folderSync().watchedFolderPath().value_or("(none)"));
    QVERIFY(fixture.folderSync().watchedFolderPath().has_value());
    QCOMPARE(child<SymbolLabel>(&view, "folderIcon")->symbol(), QStringLiteral("folder.fill"));
    QVERIFY(child<GradientButton>(&view, "startSyncButton")->isEnabled());
    QCOMPARE(child<QWidget>(&view, "changeFolderButton")->toolTip(),
             QStringLiteral("Select a new folder to sync. Halts active uploads and resets sync state."));
}

void TestUiScreens::dashboardActions() {
    int files = 0;
    int sync = 0;
    DashboardView dashboard([&] { ++files; }, [&] { ++sync; });
    dashboard.resize(1000, 900);
    dashboard.show();
    press(child<QPushButton>(&dashboard, "quickAccessViewAll"));
    QCOMPARE(files, 1);
    press(child<QPushButton>(&dashboard, "recentFilesViewAll"));
    QCOMPARE(files, 2);
    press(child<QAbstractButton>(&dashboard, "uploadFilesButton"));
    press(child<QAbstractButton>(&dashboard, "viewPlansButton"));
    QCOMPARE(files, 2);
    QCOMPARE(sync, 0);
}

ORLAVANT_TEST_MAIN(TestUiScreens)
#include "tst_uiscreens.moc"
