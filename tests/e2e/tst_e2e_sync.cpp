// The whole road of a file, end to end: devices sign in, sync their folders into the real
// vault, deduplicate across the household, list, download, meet the quota, and survive the
// vault dying mid-pass. Every test ends by comparing the whole local state (folders, ledgers)
// with the whole vault state (its listing and the bytes it hands back).

#include "VaultProcess.h"

#include "app/CoreServices.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <memory>

namespace {

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    auto* generator = QRandomGenerator::global();
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator->bounded(256));
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Waits for a future whose continuations may need this (the main) thread.
template <typename T> bool finishes(const QFuture<T>& future, int timeoutMs = 60000) {
    return QTest::qWaitFor([&] { return future.isFinished(); }, timeoutMs);
}

// One computer of the household: its own settings, ledger, notifications and folder.
struct Device {
    Device(const QString& name, const QString& vaultUrl)
        : folder(makeTempDir(name + QStringLiteral("-folder"))) {
        CoreServices::Options options;
        options.settingsPath =
            makeTempDir(name + QStringLiteral("-settings")) + QStringLiteral("/orlavant.conf");
        options.ledgerDirectory = makeTempDir(name + QStringLiteral("-ledger"));
        options.dialogs = &dialogs;
        options.notificationSink = &notifications;
        core = std::make_unique<CoreServices>(options);
        core->folderSync.setDeviceName(name);
        pointAt(vaultUrl);
        QObject::connect(&core->folderSync, &FolderSyncManager::syncStatusMessageChanged, &core->folderSync,
                         [this] { statusTexts.append(core->folderSync.syncStatusMessage()); });
    }

    void pointAt(const QString& vaultUrl) {
        core->client.configure(vaultUrl, VaultProcess::anonKey());
        core->client.setBackendUrl(vaultUrl);
    }

    void signInDemo() {
        const auto future = core->client.signInDemo();
        QVERIFY(finishes(future));
        QVERIFY(core->client.isAuthenticated());
        // The fallback session would mean the vault was never reached.
        QVERIFY(core->client.currentSession()->accessToken !=
                QStringLiteral("sample_fallback_access_code_9137"));
    }

    // Runs one pass (starting sync the first time) and waits for its end.
    void syncOnce() {
        QSignalSpy finished(&core->folderSync, &FolderSyncManager::passFinished);
        if (core->folderSync.isSyncStopped()) {
            core->folderSync.changeFolder(folder);
            core->folderSync.startSync();
        } else {
            core->folderSync.triggerFolderScan();
        }
        QVERIFY(finished.wait(60000));
    }

    QString status() const { return core->folderSync.syncStatusMessage(); }

    // Relative path -> digest of every file in the folder.
    QHash<QString, QString> localFiles() const {
        QHash<QString, QString> files;
        QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                files.insert(QDir(folder).relativeFilePath(path), sha256Of(file.readAll()));
        }
        return files;
    }

    // What the ledger file on disk says, after every pending write has landed.
    QHash<QString, SyncRecord> ledgerOnDisk() const {
        core->ledger.flush();
        QFile file(core->ledger.ledgerFilePath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QString error;
        return SyncLedger::decode(file.readAll(), &error).value_or(QHash<QString, SyncRecord>());
    }

    QString folder;
    TestDialogs dialogs;
    RecordingNotificationSink notifications;
    std::unique_ptr<CoreServices> core;
    QStringList statusTexts;
};

// The vault as the client sees it: every listed row with the digest of the bytes it returns.
struct VaultView {
    QList<SupabaseFileRecord> rows;
    QHash<QString, QString> downloadedDigestByRowHash;
};

VaultView readVault(Device& device) {
    VaultView view;
    const auto listing = device.core->client.fetchAllUserFiles();
    if (!finishes(listing) || listing.isCanceled())
        return view;
    view.rows = listing.result();
    const QString downloads = makeTempDir(QStringLiteral("downloads"));
    for (const auto& row : view.rows) {
        const QString destination = downloads + QLatin1Char('/') + row.id;
        const auto download = device.core->client.downloadFile(row.filePath, destination);
        if (!finishes(download) || !download.result())
            continue;
        QFile file(destination);
        if (file.open(QIODevice::ReadOnly))
            view.downloadedDigestByRowHash.insert(row.fileHash, sha256Of(file.readAll()));
    }
    return view;
}

// Every local file is recorded in its ledger with its digest; the vault lists exactly the
// household's contents, newest first, and hands back bytes matching every listed digest.
void compareWholeState(const QList<Device*>& devices, Device& reader) {
    QSet<QString> localContent;
    for (Device* device : devices) {
        const auto local = device->localFiles();
        const auto ledger = device->ledgerOnDisk();
        QCOMPARE(QSet<QString>(ledger.keyBegin(), ledger.keyEnd()),
                 QSet<QString>(local.keyBegin(), local.keyEnd()));
        for (auto it = local.cbegin(); it != local.cend(); ++it) {
            QCOMPARE(ledger.value(it.key()).sha256Hash, it.value());
            localContent.insert(it.value());
        }
    }
    const VaultView vault = readVault(reader);
    QSet<QString> vaultContent;
    for (const auto& row : vault.rows) {
        vaultContent.insert(row.fileHash);
        QVERIFY2(vault.downloadedDigestByRowHash.value(row.fileHash) == row.fileHash,
                 qPrintable(QStringLiteral("bytes of %1 differ from its digest").arg(row.originalFilename)));
    }
    QCOMPARE(vaultContent, localContent);
    for (qsizetype i = 1; i < vault.rows.size(); ++i)
        QVERIFY(vault.rows[i - 1].createdAt.value_or(QString()) >=
                vault.rows[i].createdAt.value_or(QString()));
}

int countTitled(const RecordingNotificationSink& sink, const QString& titleOrSubtitle) {
    int count = 0;
    for (const auto& n : sink.posted())
        count += (n.title == titleOrSubtitle || n.subtitle == titleOrSubtitle) ? 1 : 0;
    return count;
}

} // namespace

class TestEndToEndSync : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoDevicesShareOneHousehold();
    void fullQuotaFallsBackToStorage();
    void vaultKilledMidPassLosesNothing();
};

void TestEndToEndSync::twoDevicesShareOneHousehold() {
    VaultProcess vault(makeTempDir(QStringLiteral("vault-data")));
    QVERIFY2(vault.start(), "the vault did not start");
    const QByteArray photo = randomBytes(48 * 1024), notes = randomBytes(3000),
                     report = randomBytes(70 * 1024);
    const QByteArray movie = randomBytes(200 * 1024), table = "a,b\n1,2\n";

    Device laptop(QStringLiteral("Anna Laptop"), vault.baseUrl());
    writeFile(laptop.folder + QStringLiteral("/photo.jpg"), photo);
    writeFile(laptop.folder + QStringLiteral("/notes.txt"), notes);
    writeFile(laptop.folder + QStringLiteral("/work/report.pdf"), report);
    laptop.signInDemo();
    laptop.syncOnce();
    QCOMPARE(laptop.status(), QStringLiteral("Sync complete: 3 uploaded, 0 deduplicated"));
    QCOMPARE(countTitled(laptop.notifications, QStringLiteral("New file uploaded securely")), 3);
    QCOMPARE(countTitled(laptop.notifications, QStringLiteral("Orlavant Auto-Sync Complete")), 1);
    QCOMPARE(laptop.ledgerOnDisk().size(), 3);

    // The second computer holds two of the same contents under other names, and two new ones.
    Device desktop(QStringLiteral("Ben Desktop"), vault.baseUrl());
    writeFile(desktop.folder + QStringLiteral("/Camera/IMG_0001.jpg"), photo);
    writeFile(desktop.folder + QStringLiteral("/report copy.pdf"), report);
    writeFile(desktop.folder + QStringLiteral("/holiday.mov"), movie);
    writeFile(desktop.folder + QStringLiteral("/budget.csv"), table);
    desktop.signInDemo();
    desktop.syncOnce();
    QCOMPARE(desktop.status(), QStringLiteral("Sync complete: 2 uploaded, 2 deduplicated"));
    QCOMPARE(desktop.core->folderSync.deduplicatedCount(), 2);
    QCOMPARE(countTitled(desktop.notifications, QStringLiteral("New file uploaded securely")), 2);

    // A second pass over unchanged folders asks the vault nothing and changes nothing.
    desktop.syncOnce();
    QVERIFY(desktop.status().startsWith(QStringLiteral("Up to date (4 files")));

    // The listing (from either device) shows the household's five contents, newest first;
    // the last one stored heads it.
    const auto listing = laptop.core->client.fetchAllUserFiles();
    QVERIFY(finishes(listing));
    QCOMPARE(listing.result().size(), 5);
    const QString newest = listing.result().first().fileHash;
    QVERIFY(newest == sha256Of(movie) || newest == sha256Of(table));

    compareWholeState({&laptop, &desktop}, desktop);
    QVERIFY(!vault.log().contains(laptop.core->client.currentSession()->accessToken));
    vault.stop();
    QVERIFY2(vault.exitedCleanly(), "SIGTERM did not stop the vault cleanly");
}

void TestEndToEndSync::fullQuotaFallsBackToStorage() {
    VaultProcess vault(makeTempDir(QStringLiteral("vault-quota")),
                       {QStringLiteral("--quota"), QStringLiteral("4K")});
    QVERIFY2(vault.start(), "the vault did not start");
    Device laptop(QStringLiteral("Anna Laptop"), vault.baseUrl());
    writeFile(laptop.folder + QStringLiteral("/small.txt"), randomBytes(1000));
    writeFile(laptop.folder + QStringLiteral("/large.bin"), randomBytes(10 * 1024));
    laptop.signInDemo();
    laptop.syncOnce();

    // The backend refuses the large file for the quota; the pass says so and stores it through
    // the hosted storage and registry instead.
    bool noticed = false;
    for (const QString& text : laptop.statusTexts)
        noticed = noticed || text.startsWith(QStringLiteral("Sync notice: Household quota exceeded"));
    QVERIFY2(noticed, qPrintable(laptop.statusTexts.join(QStringLiteral(" | "))));
    QVERIFY(laptop.statusTexts.contains(QStringLiteral("Uploading: large.bin...")));
    QCOMPARE(laptop.status(), QStringLiteral("Sync complete: 2 uploaded, 0 deduplicated"));

    const auto listing = laptop.core->client.fetchAllUserFiles();
    QVERIFY(finishes(listing));
    bool viaStorage = false;
    for (const auto& row : listing.result())
        viaStorage = viaStorage || (row.originalFilename == QStringLiteral("large.bin") &&
                                    row.filePath.contains(QStringLiteral("/mac/Anna_Laptop/")));
    QVERIFY(viaStorage);
    compareWholeState({&laptop}, laptop);
}

void TestEndToEndSync::vaultKilledMidPassLosesNothing() {
    const QString data = makeTempDir(QStringLiteral("vault-crash"));
    auto vault = std::make_unique<VaultProcess>(data);
    QVERIFY2(vault->start(), "the vault did not start");
    Device laptop(QStringLiteral("Anna Laptop"), vault->baseUrl());
    const int fileCount = 16;
    for (int i = 0; i < fileCount; ++i)
        writeFile(laptop.folder + QStringLiteral("/clip-%1.mov").arg(i, 2, 10, QLatin1Char('0')),
                  randomBytes(512 * 1024));
    laptop.signInDemo();

    // The vault dies (SIGKILL) right after the third file is in; the pass carries on without it.
    int synced = 0;
    laptop.core->folderSync.onFileSynced = [&](const QString&, bool) {
        if (++synced == 3)
            vault->kill();
    };
    laptop.syncOnce();
    laptop.core->folderSync.onFileSynced = nullptr;
    const int recordedBeforeRestart = laptop.ledgerOnDisk().size();
    QVERIFY2(recordedBeforeRestart >= 3 && recordedBeforeRestart < fileCount,
             qPrintable(QString::number(recordedBeforeRestart)));

    // Restarted on the same data: everything the ledger holds is there, and the next pass
    // brings in the rest.
    vault = std::make_unique<VaultProcess>(data);
    QVERIFY2(vault->start(), "the vault did not restart");
    laptop.pointAt(vault->baseUrl());
    const VaultView afterRestart = readVault(laptop);
    const auto ledger = laptop.ledgerOnDisk();
    for (const auto& record : ledger)
        QVERIFY2(afterRestart.downloadedDigestByRowHash.value(record.sha256Hash) == record.sha256Hash,
                 qPrintable(record.relativePath + QStringLiteral(" is in the ledger but not in the vault")));

    laptop.syncOnce();
    QCOMPARE(laptop.ledgerOnDisk().size(), fileCount);
    // A file the vault stored just before dying, whose answer never arrived, comes back as a
    // duplicate; every other one is uploaded again.
    static const QRegularExpression summary(
        QStringLiteral("^Sync complete: (\\d+) uploaded, (\\d+) deduplicated$"));
    const auto match = summary.match(laptop.status());
    QVERIFY2(match.hasMatch(), qPrintable(laptop.status()));
    QCOMPARE(match.captured(1).toInt() + match.captured(2).toInt(), fileCount - recordedBeforeRestart);
    laptop.core->folderSync.stopSync();
    compareWholeState({&laptop}, laptop);
}

ORLAVANT_TEST_GUILESS_MAIN(TestEndToEndSync)
#include "tst_e2e_sync.moc"
