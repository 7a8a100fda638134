// files_view_10k: the file browser with a household's 10,000 files, in the real window at its
// default size, offscreen, against a loopback vault.
// - Per search keystroke, the main thread's time: the key's own handling, swapping in the
//   search's answer, and painting the list's first screen. Its mean, as a ratio to a 16 ms frame,
//   is the verdict (target <= 1).
// - The time from the vault answering the listing to the first painted 10,000-row list (target
//   under 300 ms), the median of five loads, in the verdict line's note.
#include "HouseholdFiles.h"
#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/AppWindow.h"
#include "app/gui/MainWindow.h"
#include "ui/FileBrowserView.h"
#include "ui/FileFilterProxyModel.h"
#include "ui/FileListView.h"
#include "web/WebViewBox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {

constexpr int Rows = 10'000;
constexpr double FrameMs = 16.0;
constexpr double FirstPaintTargetMs = 300.0;

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 1e9 : values[values.size() / 2];
}

// Notes the end of the first frame that paints the list after its rows were swapped in.
class FirstPaint : public QObject {
public:
    FirstPaint(const QElapsedTimer& clock, FileListView& list)
        : m_clock(clock) {
        list.viewport()->installEventFilter(this);
        connect(list.model(), &QAbstractItemModel::modelReset, this, [this] { m_armed = true; });
    }
    void reset() {
        m_armed = false;
        m_endNs = -1;
    }
    qint64 endNs() const { return m_endNs; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && m_armed) {
            m_armed = false;
            // The frame ends once this paint and its flush are done: at the next turn of the loop.
            QTimer::singleShot(0, this, [this] { m_endNs = m_clock.nsecsElapsed(); });
        }
        return false;
    }

private:
    const QElapsedTimer& m_clock;
    bool m_armed = false;
    qint64 m_endNs = -1;
};

struct Keystroke {
    Qt::Key key;
    QChar text;
};

QList<Keystroke> typing() {
    QList<Keystroke> keys;
    const auto type = [&](const QString& text) {
        for (QChar c : text)
            keys.append({Qt::Key_unknown, c});
    };
    const auto erase = [&](int count) {
        for (int i = 0; i < count; ++i)
            keys.append({Qt::Key_Backspace, QChar()});
    };
    type(QStringLiteral("birthday"));
    erase(8);
    type(QStringLiteral("IMG"));
    erase(3);
    type(QStringLiteral("pellan's android"));
    erase(16);
    type(QStringLiteral("2024 1"));
    erase(6);
    type(QStringLiteral("e"));
    erase(1);
    return keys;
}

} // namespace

int main(int argc, char** argv) {
    isolateHomeForTests();
    QApplication application(argc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    QElapsedTimer clock;
    clock.start();

    UiFixture fixture(UiFixture::session());
    const FakeServer::Reply listing = UiFixture::filesReply(householdFiles(Rows));
    std::printf("listing: %d records, %.1f MB of JSON\n", Rows, double(listing.body.size()) / 1e6);
    auto answeredNs = std::make_shared<std::atomic<qint64>>(-1);
    fixture.server->on("GET", "/rest/v1/files", [&clock, answeredNs, listing](const FakeServer::Request&) {
        answeredNs->store(clock.nsecsElapsed());
        return listing;
    });

    AppState appState(fixture.folderSync(), fixture.client(), fixture.services->http);
    WebViewBox box;
    auto* main =
        new MainWindow(appState, box, fixture.client(), fixture.folderSync(), fixture.dialogs, fixture.clock);
    AppWindow window(appState, box, main);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 2;

    // Five loads: the first on showing the screen, then Refresh.
    QList<double> firstPaints;
    FileBrowserView* browser = nullptr;
    std::unique_ptr<FirstPaint> watch;
    for (int run = 0; run < 5; ++run) {
        answeredNs->store(-1);
        if (run == 0) {
            main->setActiveTab(QStringLiteral("files"));
            browser = window.findChild<FileBrowserView*>();
            watch = std::make_unique<FirstPaint>(clock, browser->listView());
        } else {
            watch->reset();
            browser->loadFiles();
        }
        const bool painted = QTest::qWaitFor([&] { return watch->endNs() >= 0; }, 60000);
        if (!painted || browser->shownFiles().rowCount() != Rows) {
            std::printf("files_view_10k: no list painted (%d rows)\n", browser->shownFiles().rowCount());
            return 1;
        }
        firstPaints.append(ms(watch->endNs() - answeredNs->load()));
        std::printf("load %d: first paint %.0f ms after the vault answered\n", run + 1, firstPaints.last());
    }

    // Keystrokes into the search field.
    FileFilterProxyModel& shown = browser->shownFiles();
    FileListView& list = browser->listView();
    qint64 applyStart = 0;
    qint64 applyEnd = 0;
    QObject::connect(&shown, &QAbstractItemModel::modelAboutToBeReset,
                     [&] { applyStart = clock.nsecsElapsed(); });
    QObject::connect(&shown, &FileFilterProxyModel::filterApplied, [&] { applyEnd = clock.nsecsElapsed(); });
    auto* field = browser->findChild<QLineEdit*>(QStringLiteral("fileSearchField"));
    field->setFocus();
    QList<double> mainThread;
    QList<double> latency;
    for (const Keystroke& key : typing()) {
        applyStart = applyEnd = -1;
        const qint64 start = clock.nsecsElapsed();
        if (key.key == Qt::Key_unknown)
            QTest::keyClicks(field, QString(key.text));
        else
            QTest::keyClick(field, key.key);
        const qint64 keyEnd = clock.nsecsElapsed();
        if (!QTest::qWaitFor([&] { return !browser->isFiltering(); }, 10000))
            return 1;
        // An answer swapped in after the key's own handling is main-thread time of its own.
        const qint64 swap = applyStart > keyEnd ? applyEnd - applyStart : 0;
        const qint64 paintStart = clock.nsecsElapsed();
        list.viewport()->repaint();
        const qint64 paintEnd = clock.nsecsElapsed();
        mainThread.append(ms((keyEnd - start) + swap + (paintEnd - paintStart)));
        latency.append(ms(paintEnd - start));
    }
    double sum = 0;
    for (double value : std::as_const(mainThread))
        sum += value;
    const double mean = sum / double(mainThread.size());
    const double worst = *std::max_element(mainThread.begin(), mainThread.end());
    const double firstPaint = median(firstPaints);
    std::printf("keystrokes: %lld, main thread mean %.2f ms, worst %.2f ms; key to painted median %.2f ms\n",
                static_cast<long long>(mainThread.size()), mean, worst, median(latency));

    const double ratio = mean / FrameMs;
    const bool pass = ratio <= 1.0 && firstPaint < FirstPaintTargetMs;
    std::printf("files_view_10k: ratio %.3f (target <= 1; first paint of %d rows %.0f ms after the reply, "
                "target < %.0f ms) %s\n",
                ratio, Rows, firstPaint, FirstPaintTargetMs, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    return pass ? 0 : 1;
}
