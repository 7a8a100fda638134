// The file browser, offscreen against a scripted fake vault: the search rule, the model's rows,
// the painted rows' hit areas and elision, the list's downloads, and the bad listings a real household's
// vault can hold.
#include <QApplication>

#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/AppWindow.h"
#include "app/gui/MainWindow.h"
#include "ui/FileBrowserView.h"
#include "ui/FileFilterProxyModel.h"
#include "ui/FileListModel.h"
#include "ui/FileListView.h"
#include "ui/FileRowDelegate.h"
#include "web/WebViewBox.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <atomic>
#include <limits>

namespace {

const QStringList ThreeNames = {"Été à la plage.jpg", "tax return.pdf", "song.mp3"};

QList<SupabaseFileRecord> threeFiles() {
    return {
        fileRecord("a", ThreeNames[0], "image/jpeg", "Ada's MacBook", "mac", 2'400'000, QString("Pictures")),
        fileRecord("b", ThreeNames[1], "application/pdf", "Family Android", "android", 48'000, QString()),
        fileRecord("c", ThreeNames[2], "audio/mpeg", "Kitchen", "web", 999)};
}

// A signed-in browser over `files`; a refused signed URL sends downloads down the authenticated
// path, which each test scripts.
struct BrowserFixture : UiFixture {
    explicit BrowserFixture(const QList<SupabaseFileRecord>& files = threeFiles())
        : UiFixture(session()) {
        serveFiles(files);
        server->onPrefix("POST", "/storage/v1/object/sign/",
                         [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
        browser.resize(900, 640);
    }
    [[nodiscard]] bool showAndLoad() {
        browser.show();
        return QTest::qWaitForWindowExposed(&browser) && waitIdle();
    }
    [[nodiscard]] bool waitIdle() {
        return QTest::qWaitFor([&] { return !browser.isLoading() && !browser.isFiltering(); }, Patience);
    }
    [[nodiscard]] bool search(const QString& query) {
        auto* field = child<QLineEdit>(&browser, "fileSearchField");
        field->clear();
        QTest::keyClicks(field, query);
        return waitIdle();
    }
    FileListView& list() const { return browser.listView(); }
    FileFilterProxyModel& shown() const { return browser.shownFiles(); }
    // The ids of the rows shown, or of those of them for which `role` holds.
    QStringList shownIds(int role = -1) const {
        QStringList ids;
        for (int row = 0; row < shown().rowCount(); ++row) {
            if (role < 0 || shown().index(row, 0).data(role).toBool())
                ids.append(shown().index(row, 0).data(FileListModel::IdRole).toString());
        }
        return ids;
    }
    QStringList markedIds() const { return shownIds(FileListModel::DownloadingRole); }
    void clickDownload(int row) {
        list().scrollTo(shown().index(row, 0));
        QTest::mouseClick(list().viewport(), Qt::LeftButton, {}, list().downloadButtonRect(row).center());
    }
    // The name the last dialog, a save dialog, proposed; "(none)" before any.
    QString lastSaveFor() const {
        if (dialogs.asked().isEmpty())
            return QStringLiteral("(none)");
        const TestDialogs::Asked& last = dialogs.asked().last();
        return last.kind == TestDialogs::Asked::Save ? last.save.suggestedName
                                                     : QStringLiteral("(not a save)");
    }
    FileBrowserView browser{client(), dialogs};
    QSignalSpy loaded{&browser, &FileBrowserView::loadFinished};
    QSignalSpy finished{&browser, &FileBrowserView::downloadFinished};
};

} // namespace

class TestFileBrowser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Sizes and case folding follow the locale; the expected texts are written for this one.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void filterRule_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected"); // ids, in the order received
        QTest::newRow("empty: all, in order") << QString() << QStringList{"a", "b", "c", "d"};
        QTest::newRow("accented capitals") << "ÉTÉ" << QStringList{"a"};
        QTest::newRow("device name") << "kitchen" << QStringList{"c"};
        QTest::newRow("device type, ignoring case") << "WEB" << QStringList{"c"};
        QTest::newRow("one blank is not trimmed") << " " << QStringList{"a", "b"};
        QTest::newRow("control character as sent") << "\a" << QStringList{"d"};
        QTest::newRow("folder is not searched") << "pictures" << QStringList{};
    }
    void filterRule() {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        QList<SupabaseFileRecord> files = threeFiles();
        files << fileRecord("d", "bad\aname.txt", "text/plain", "", "nas", 10);
        const FileListModel::RowsPtr rows = FileListModel::prepare(files);
        QStringList ids;
        for (int row : FileFilterProxyModel::matchingRows(*rows, query))
            ids.append(files[row].id);
        QCOMPARE(ids, expected);
    }

    void modelRowData_data() {
        QTest::addColumn<SupabaseFileRecord>("record");
        // As shown: the name, the folder line (empty for none), what a screen reader says, the tool tip.
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("plain, with folder")
            << fileRecord("a", "tax.pdf", "application/pdf", "Ada's Mac", "mac", 48'000,
                          QString("Taxes/2026"))
            << QStringList{"tax.pdf", "Taxes/2026", "tax.pdf, Ada's Mac, 48.0 kB", "tax.pdf\nTaxes/2026"};
        QTest::newRow("control characters shown as symbols")
            << fileRecord("a", "two\nlines\t\x7f.txt", "text/plain", "Mac\r", "mac", 1, QString("a\u2028b"))
            << QStringList{"two␊lines␉␡.txt", "a␤b", "two␊lines␉␡.txt, Mac␍, 1 byte", "two␊lines␉␡.txt\na␤b"};
        QTest::newRow("empty name, smallest size")
            << fileRecord("a", "", "text/plain", "Mac", "mac", std::numeric_limits<qint64>::min())
            << QStringList{"", "", "(no name), Mac, -9.2 EB", ""};
    }
    void modelRowData() {
        QFETCH(SupabaseFileRecord, record);
        QFETCH(QStringList, shown);
        FileListModel model;
        model.setRows(FileListModel::prepare({record}));
        QStringList actual;
        for (int role : {int(Qt::DisplayRole), int(FileListModel::FolderRole), int(Qt::AccessibleTextRole),
                         int(Qt::ToolTipRole)})
            actual << model.index(0, 0).data(role).toString();
        QCOMPARE(actual, shown);
        // The search still sees the name as sent, not as shown.
        QCOMPARE(model.row(0).nameKey, FileListModel::searchKey(record.originalFilename));
    }

    void olderListAnswerDoesNotReplaceNewer() {
        BrowserFixture f;
        ReplyGate firstAnswer;
        auto calls = std::make_shared<std::atomic<int>>(0);
        const FakeServer::Handler older = firstAnswer.hold(UiFixture::filesReply(threeFiles().mid(0, 1)));
        f.server->on("GET", "/rest/v1/files", [calls, older](const FakeServer::Request& request) {
            // The first request answers last, with the older list.
            return calls->fetch_add(1) == 0 ? older(request) : UiFixture::filesReply(threeFiles());
        });
        f.browser.show();
        QTRY_COMPARE_WITH_TIMEOUT(calls->load(), 1, Patience);
        f.browser.loadFiles(); // a second showing while the first is out
        QTRY_COMPARE_WITH_TIMEOUT(f.loaded.size(), 1, Patience);
        QTRY_VERIFY_WITH_TIMEOUT(!f.browser.isFiltering(), Patience);
        QCOMPARE(f.shownIds(), (QStringList{"a", "b", "c"}));
        firstAnswer.open();
        QTRY_COMPARE_WITH_TIMEOUT(f.loaded.size(), 2, Patience);
        QVERIFY(f.waitIdle());
        QCOMPARE(f.shownIds(), (QStringList{"a", "b", "c"}));
        QCOMPARE(f.browser.files().size(), 3);
    }

    void download_data() {
        // The message on success, or how the error starts. "missing": the vault answers 404;
        // "cancelled": in the save dialog.
        QTest::addColumn<QString>("message");
        QTest::newRow("stored") << QString("Successfully downloaded 'tax return.pdf' to Taxes 2026.pdf");
        QTest::newRow("missing") << QString("Failed to download 'tax return.pdf'");
        QTest::newRow("cancelled") << QString();
    }
    void download() {
        QFETCH(QString, message);
        const QString outcome = QString::fromLatin1(QTest::currentDataTag());
        const bool stored = outcome == "stored", failed = outcome == "missing";
        BrowserFixture f;
        ReplyGate gate;
        f.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                           gate.hold(stored ? FakeServer::Reply::text(200, "%PDF tax bytes")
                                            : FakeServer::Reply::json(404, "{}")));
        QVERIFY(f.showAndLoad());
        const QString destination = makeTempDir(QStringLiteral("save")) + QStringLiteral("/Taxes 2026.pdf");
        f.dialogs.setNextSave(outcome == "cancelled" ? std::nullopt : std::optional(destination));
        f.clickDownload(1);
        const auto& asked = f.dialogs.asked();
        QCOMPARE(asked.size(), 1);
        QCOMPARE(QStringList(
                     {asked[0].title, asked[0].message, asked[0].save.prompt, asked[0].save.suggestedName}),
                 QStringList({"Download from Orlavant Vault", "Choose where to save 'tax return.pdf'",
                              "Save File", "tax return.pdf"}));
        // Its row alone is marked while it runs; its button then takes no second click.
        QCOMPARE(f.markedIds(), outcome == "cancelled" ? QStringList() : QStringList{"b"});
        f.clickDownload(1);
        QCOMPARE(f.dialogs.asked().size(), outcome == "cancelled" ? 2 : 1);
        gate.open();
        QTRY_COMPARE_WITH_TIMEOUT(f.finished.size(), outcome == "cancelled" ? 0 : 1, Patience);
        QVERIFY(f.markedIds().isEmpty() && !f.browser.isDownloading(QStringLiteral("b")));
        QVERIFY(!f.list().isAnimating());
        QCOMPARE(f.browser.downloadSuccessMessage().value_or("(none)"), stored ? message : "(none)");
        const QString error = f.browser.errorMessage().value_or("(none)");
        QVERIFY2(failed ? error.startsWith(message) : error == "(none)", qPrintable(error));
        QVERIFY(isShown(&f.browser, "successBanner") == stored &&
                isShown(&f.browser, "errorBanner") == failed);
        QFile saved(destination);
        QCOMPARE(saved.open(QIODevice::ReadOnly) ? saved.readAll() : "(no file)",
                 QByteArray(stored ? "%PDF tax bytes" : "(no file)"));
    }

    void clickHitsTheRowsButton_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("where"); // "button", or "beside" it (on the size)
        QTest::addColumn<QString>("asked"); // the name the save dialog proposed
        QTest::newRow("filtered: second shown is the third") << "G" << 1 << "button" << ThreeNames[2];
        QTest::newRow("beside the button") << QString() << 1 << "beside"
                                           << "(none)";
    }
    void clickHitsTheRowsButton() {
        QFETCH(QString, query);
        QFETCH(int, row);
        QFETCH(QString, where);
        QFETCH(QString, asked);
        BrowserFixture f;
        QVERIFY(f.showAndLoad());
        QVERIFY(f.search(query));
        const QRect rect = f.list().visualRect(f.shown().index(row, 0));
        const FileRowDelegate::Layout parts = f.list().rowDelegate().layout(rect, f.shown().index(row, 0));
        QCOMPARE(parts.download, f.list().downloadButtonRect(row));
        const QPoint target = where == "button" ? parts.download.center() : parts.size.center();
        QTest::mouseClick(f.list().viewport(), Qt::LeftButton, {}, target);
        QCOMPARE(f.lastSaveFor(), asked);
        QCOMPARE(f.list().currentIndex().row(), row); // any click selects its row
        // Pressed on one button and released on another row's is no click.
        if (where == "button" && f.shown().rowCount() > 1) {
            const int other = row == 0 ? 1 : 0;
            QTest::mousePress(f.list().viewport(), Qt::LeftButton, {}, target);
            QTest::mouseRelease(f.list().viewport(), Qt::LeftButton, {},
                                f.list().downloadButtonRect(other).center());
            QCOMPARE(f.dialogs.asked().size(), 1);
        }
    }

    void elisionKeepsTheButtonInSight() {
        // The whole window at its minimum size, with a 300-character name in a long folder from a
        // device with a long name.
        const QString longName = QString(296, QLatin1Char('n')) + QStringLiteral(".jpg");
        const QString longFolder = QStringLiteral("Pictures/") + QString(200, QLatin1Char('f'));
        const QString longDevice = QStringLiteral("The family's big shared desktop in the basement office");
        UiFixture f(UiFixture::session());
        f.serveFiles({fileRecord("long", longName, "image/jpeg", longDevice, "mac", 2'400'000, longFolder),
                      fileRecord("short", "a.txt", "text/plain", "Mac", "mac", 1)});
        AppState appState(f.folderSync(), f.client(), f.services->http);
        WebViewBox box;
        auto* main = new MainWindow(appState, box, f.client(), f.folderSync(), f.dialogs, f.clock);
        AppWindow window(appState, box, main);
        window.resize(window.minimumSize());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(1020, 680));
        main->setActiveTab(QStringLiteral("files"));
        auto* browser = window.findChild<FileBrowserView*>();
        QVERIFY(browser);
        QTRY_VERIFY_WITH_TIMEOUT(!browser->isLoading() && !browser->isFiltering() &&
                                     browser->shownFiles().rowCount() == 2,
                                 Patience);
        FileListView& list = browser->listView();
        QVERIFY(list.isVisible());
        const QModelIndex row = browser->shownFiles().index(0, 0);
        const QRect rect = list.visualRect(row);
        const FileRowDelegate::Layout parts = list.rowDelegate().layout(rect, row);
        for (const QRect& part : {parts.download, parts.size, parts.badge, parts.icon})
            QVERIFY(list.viewport()->rect().contains(part));
        // The list is inside the window, and never scrolls sideways.
        QVERIFY(window.rect().contains(
            QRect(list.viewport()->mapTo(&window, QPoint()), list.viewport()->size())));
        QCOMPARE(list.horizontalScrollBar()->maximum(), 0);
        // The name column gives way: elided in the middle, ending in the extension.
        QVERIFY(parts.name.right() < parts.badge.left() && parts.folder.right() < parts.badge.left());
        QVERIFY(parts.name.width() > 100);
        const QString shown = parts.shownName + '|' + parts.shownFolder + '|' + parts.shownDevice;
        const QRegularExpression elided(
            QStringLiteral("^[^|]*\u2026[^|]*\\.jpg\\|Pictures/[^|]*\u2026[^|]*\\|The family[^|]*\u2026$"));
        QVERIFY2(elided.match(shown).hasMatch(), qPrintable(shown));
        // The whole texts in the tool tips.
        FileRowDelegate& delegate = list.rowDelegate();
        QCOMPARE(delegate.toolTipAt(rect, row, parts.name.center()), longName + '\n' + longFolder);
        QCOMPARE(delegate.toolTipAt(rect, row, parts.badge.center()), longDevice);
        // And the button there is the one that downloads the long row.
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, parts.download.center());
        QCOMPARE(f.dialogs.asked().value(0).save.suggestedName, longName);
    }

    void downloadOnARowThatARefreshRemovesWhileTheSaveDialogIsOpen() {
        BrowserFixture f;
        ReplyGate gate;
        f.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                           gate.hold(FakeServer::Reply::text(200, "tax bytes")));
        QVERIFY(f.showAndLoad());
        // After the refresh, row 1 holds another file ("z"), and "b" is gone.
        QList<SupabaseFileRecord> after = threeFiles();
        after[1] = fileRecord("z", "zebra.png", "image/png", "Ada's Mac", "mac", 7);
        f.serveFiles(after);
        f.dialogs.setNextSave(makeTempDir("refresh") + "/saved.pdf");
        f.dialogs.setWhileNextSaveIsOpen([&] {
            f.browser.loadFiles();
            QTRY_COMPARE_WITH_TIMEOUT(f.loaded.size(), 2, Patience);
            QVERIFY(f.waitIdle());
            QCOMPARE(f.shownIds(), (QStringList{"a", "z", "c"}));
        });
        f.clickDownload(1);
        QCOMPARE(f.lastSaveFor(), ThreeNames[1]);
        // The download is of the file clicked; no row on screen carries its mark.
        QVERIFY(f.browser.isDownloading("b"));
        QCOMPARE(f.markedIds(), QStringList());
        const auto downloaded = [&] {
            for (const FakeServer::Request& request : f.server->requests()) {
                if (request.path.startsWith("/storage/v1/object/authenticated/"))
                    return request.path;
            }
            return QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!downloaded().isEmpty(), Patience);
        QVERIFY2(downloaded().endsWith("/user-1/b/tax return.pdf"), downloaded().constData());
        gate.open();
        QTRY_COMPARE_WITH_TIMEOUT(f.finished.size(), 1, Patience);
        QCOMPARE(f.browser.downloadSuccessMessage().value_or("(none)"),
                 QStringLiteral("Successfully downloaded 'tax return.pdf' to saved.pdf"));
        QVERIFY(!f.browser.isDownloading("b") && f.markedIds().isEmpty());
    }

    void badListings_data() {
        QTest::addColumn<QList<SupabaseFileRecord>>("files");
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("shownRows");
        QList<SupabaseFileRecord> odd = {
            fileRecord("empty", "", "text/plain", "Mac", "mac", 0),
            fileRecord("long", QString(1000, QLatin1Char('x')), "text/plain", "Mac", "mac", -1,
                       QString(1000, QLatin1Char('/'))),
            fileRecord("rtl", "מסמך חשוב.pdf", "application/pdf", "הטלפון של אמא", "android",
                       9'007'199'254'740'992),
            fileRecord("emoji", "🎂🎉👨‍👩‍👧‍👦.jpg", "image/jpeg", "📱", "android", 1),
            fileRecord("control", QString::fromUtf8(QByteArray("a\0b\nc\td\x1b[31m\xe2\x80\xae.exe", 19)),
                       "text/plain", "\n", "\t", 2),
            fileRecord("nodevice", "orphan.txt", "", "", "", 3),
        };
        QTest::newRow("odd names, devices and sizes") << odd << QString() << 6;
        QList<SupabaseFileRecord> same;
        for (int i = 0; i < 10'000; ++i)
            same << fileRecord(QStringLiteral("r%1").arg(i), "IMG_0001.JPG", "image/jpeg", "Mac", "mac", i);
        QTest::newRow("10,000 identical names") << same << "img_0001" << 10'000;
    }
    void badListings() {
        QFETCH(QList<SupabaseFileRecord>, files);
        QFETCH(QString, query);
        QFETCH(int, shownRows);
        BrowserFixture f(files);
        f.server->onPrefix("GET", "/storage/v1/object/authenticated/",
                           [](const FakeServer::Request&) { return FakeServer::Reply::text(200, "bytes"); });
        QVERIFY(f.showAndLoad());
        QVERIFY(f.search(query));
        QCOMPARE(f.shown().rowCount(), shownRows);
        // Painted top and bottom without trouble, every row one line high.
        QVERIFY(!f.list().viewport()->grab().isNull());
        f.list().scrollToBottom();
        QVERIFY(!f.list().viewport()->grab().isNull());
        QCOMPARE(f.list().horizontalScrollBar()->maximum(), 0);
        // The last row's button downloads the last row, not one that looks like it.
        const int last = shownRows - 1;
        const SupabaseFileRecord& record = files.last(); // every row matches, in the order received
        QCOMPARE(f.shownIds().value(last), record.id);
        f.dialogs.setNextSave(makeTempDir("bad") + "/saved");
        f.clickDownload(last);
        QCOMPARE(f.lastSaveFor(), record.originalFilename);
        QCOMPARE(f.markedIds(), QStringList{record.id});
        QTRY_COMPARE_WITH_TIMEOUT(f.finished.size(), 1, Patience);
        QCOMPARE(f.finished.first().first().toString(), record.id);
    }
};

ORLAVANT_TEST_MAIN(TestFileBrowser)
#include "tst_filebrowser.moc"
