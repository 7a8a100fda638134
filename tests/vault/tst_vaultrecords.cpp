#include "platform/VaultError.h"
#include "support/TestMain.h"
#include "vault/MediaTypes.h"
#include "vault/SupabaseRecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QByteArray ValidRow = R"({"id":"f1","user_id":"u1","file_hash":"ab","original_filename":"a.jpg",
    "file_path":"u1/mac/a.jpg","file_size":12,"mime_type":"image/jpeg","device_name":"Den",
    "device_type":"mac"})";

QByteArray rowWith(const QByteArray& key, const QByteArray& valueJson) {
    QJsonObject object = QJsonDocument::fromJson(ValidRow).object();
    if (valueJson.isEmpty())
        object.remove(QString::fromLatin1(key));
    else
        object.insert(QString::fromLatin1(key), QJsonDocument::fromJson("[" + valueJson + "]").array().at(0));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class TestVaultRecords : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sessionDecoding_data();
    void sessionDecoding();
    void sessionEncodingLeavesOutAbsentKeys_data();
    void sessionEncodingLeavesOutAbsentKeys();
    void fileRecordDecoding_data();
    void fileRecordDecoding();
    void fileListIsAllOrNothing_data();
    void fileListIsAllOrNothing();
    void procedureReply_data();
    void procedureReply();
    void insertReply_data();
    void insertReply();
    void mediaTypes_data();
    void mediaTypes();
};

void TestVaultRecords::sessionDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<std::optional<QString>>("email");
    QTest::addColumn<std::optional<QString>>("refresh");

    const std::optional<QString> none;
    QTest::newRow("full auth reply with extra keys")
        << QByteArray(R"({"access_token":"t","token_type":"bearer","expires_in":3600,"refresh_token":"r",
                         "user":{"id":"u1","email":"a@b.c","aud":"authenticated","app_metadata":{}}})")
        << true << "u1" << std::optional<QString>("a@b.c") << std::optional<QString>("r");
    QTest::newRow("no user") << QByteArray(R"({"access_token":"t"})") << true << "" << none << none;
    QTest::newRow("user null") << QByteArray(R"({"access_token":"t","user":null})") << true << "" << none
                               << none;
    QTest::newRow("user not an object")
        << QByteArray(R"({"access_token":"t","user":"u1"})") << true << "" << none << none;
    QTest::newRow("email and refresh null")
        << QByteArray(R"({"access_token":"t","refresh_token":null,"user":{"id":"u1","email":null}})") << true
        << "u1" << none << none;
    QTest::newRow("user without id") << QByteArray(R"({"access_token":"t","user":{"email":"a@b.c"}})")
                                     << false << "" << none << none;
    QTest::newRow("user id a number")
        << QByteArray(R"({"access_token":"t","user":{"id":7}})") << false << "" << none << none;
    QTest::newRow("user email a number")
        << QByteArray(R"({"access_token":"t","user":{"id":"u","email":1}})") << false << "" << none << none;
    QTest::newRow("refresh token a number")
        << QByteArray(R"({"access_token":"t","refresh_token":5})") << false << "" << none << none;
    QTest::newRow("no access token") << QByteArray(R"({"user":{"id":"u1"}})") << false << "" << none << none;
    QTest::newRow("access token null")
        << QByteArray(R"({"access_token":null})") << false << "" << none << none;
    QTest::newRow("access token a number")
        << QByteArray(R"({"access_token":12})") << false << "" << none << none;
    QTest::newRow("array") << QByteArray(R"([{"access_token":"t"}])") << false << "" << none << none;
    QTest::newRow("empty body") << QByteArray() << false << "" << none << none;
    QTest::newRow("malformed") << QByteArray(R"({"access_token":"t")") << false << "" << none << none;
}

void TestVaultRecords::sessionDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    try {
        const SupabaseSession session = SupabaseSession::fromJson(json);
        QVERIFY2(decodes, "decoded although it should fail");
        QFETCH(QString, userId);
        QFETCH(std::optional<QString>, email);
        QFETCH(std::optional<QString>, refresh);
        QCOMPARE(session.accessToken, QStringLiteral("t"));
        QCOMPARE(session.userId, userId);
        QCOMPARE(session.email, email);
        QCOMPARE(session.refreshToken, refresh);
    } catch (const VaultError& error) {
        QVERIFY2(!decodes, qPrintable(error.description()));
        QCOMPARE(error.domain(), QStringLiteral("DecodingError"));
        QVERIFY(!error.description().isEmpty());
    }
}

void TestVaultRecords::sessionEncodingLeavesOutAbsentKeys_data() {
    QTest::addColumn<SupabaseSession>("session");
    QTest::newRow("all present") << SupabaseSession{"t", "r", "u", "a@b.c"};
    QTest::newRow("no refresh, no email") << SupabaseSession{"t", std::nullopt, "u", std::nullopt};
    QTest::newRow("empty user id") << SupabaseSession{"t", std::nullopt, "", std::nullopt};
}

void TestVaultRecords::sessionEncodingLeavesOutAbsentKeys() {
    QFETCH(SupabaseSession, session);
    const QByteArray json = session.toJson();
    QVERIFY2(!json.contains("null"), json.constData());
    QVERIFY2(!json.contains('\n'), "not compact");
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    QCOMPARE(object.contains("refresh_token"), session.refreshToken.has_value());
    QCOMPARE(object.value("user").toObject().contains("email"), session.email.has_value());
    QCOMPARE(SupabaseSession::fromJson(json), session);
}

void TestVaultRecords::fileRecordDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<qint64>("size");

    QTest::newRow("valid") << ValidRow << true << qint64(12);
    QTest::newRow("size beyond 32 bits") << rowWith("file_size", "5000000000") << true << qint64(5000000000);
    QTest::newRow("optionals null") << rowWith("folder_path", "null") << true << qint64(12);
    QTest::newRow("size as text") << rowWith("file_size", "\"12\"") << false << qint64(0);
    QTest::newRow("size with a fraction") << rowWith("file_size", "12.5") << false << qint64(0);
    QTest::newRow("size beyond 64 bits") << rowWith("file_size", "1e30") << false << qint64(0);
    QTest::newRow("no device type") << rowWith("device_type", "") << false << qint64(0);
    QTest::newRow("id null") << rowWith("id", "null") << false << qint64(0);
    QTest::newRow("folder path a number") << rowWith("folder_path", "3") << false << qint64(0);
}

void TestVaultRecords::fileRecordDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    try {
        const SupabaseFileRecord record =
            SupabaseFileRecord::fromJsonObject(QJsonDocument::fromJson(json).object());
        QVERIFY2(decodes, "decoded although it should fail");
        QFETCH(qint64, size);
        QCOMPARE(record.fileSize, size);
        QCOMPARE(record.deviceType, QStringLiteral("mac"));
        QVERIFY(!record.folderPath && !record.createdAt && !record.updatedAt);
        // Absent optionals stay absent on the way back.
        const QJsonObject encoded = record.toJsonObject();
        QCOMPARE(encoded.size(), 9);
        QCOMPARE(SupabaseFileRecord::fromJsonObject(encoded), record);
    } catch (const VaultError& error) {
        QVERIFY2(!decodes, qPrintable(error.description()));
        QCOMPARE(error.domain(), QStringLiteral("DecodingError"));
    }
}

void TestVaultRecords::fileListIsAllOrNothing_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("count"); // -1: fails

    const QByteArray all = R"({"id":"f2","user_id":"u1","file_hash":"cd","original_filename":"b.png",
        "file_path":"p","file_size":1,"mime_type":"image/png","device_name":"Den","device_type":"mac",
        "folder_path":"/home/jane/Pictures","created_at":"2026-01-02T03:04:05Z","updated_at":null})";
    QTest::newRow("empty") << QByteArray("[]") << 0;
    QTest::newRow("two rows") << "[" + ValidRow + "," + all + "]" << 2;
    QTest::newRow("one bad row") << "[" + ValidRow + "," + rowWith("file_size", "\"1\"") + "]" << -1;
    QTest::newRow("element not an object") << "[" + ValidRow + ",3]" << -1;
    QTest::newRow("object instead of array") << ValidRow << -1;
    QTest::newRow("empty body") << QByteArray() << -1;
}

void TestVaultRecords::fileListIsAllOrNothing() {
    QFETCH(QByteArray, json);
    QFETCH(int, count);
    try {
        const QList<SupabaseFileRecord> rows = SupabaseFileRecord::listFromJson(json);
        QCOMPARE(rows.size(), count);
        if (count == 2) {
            QCOMPARE(rows.at(1).folderPath, std::optional<QString>("/home/jane/Pictures"));
            QCOMPARE(rows.at(1).createdAt, std::optional<QString>("2026-01-02T03:04:05Z"));
            QVERIFY(!rows.at(1).updatedAt);
        }
    } catch (const VaultError& error) {
        QVERIFY2(count < 0, qPrintable(error.description()));
    }
}

void TestVaultRecords::procedureReply_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("deduplicated");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("hasFile");

    QTest::newRow("empty object") << QByteArray("{}") << false << "Success" << false;
    QTest::newRow("deduplicated as text")
        << QByteArray(R"({"deduplicated":"true"})") << false << "Success" << false;
    QTest::newRow("deduplicated with message")
        << QByteArray(R"({"deduplicated":true,"message":"Already in vault"})") << true << "Already in vault"
        << false;
    QTest::newRow("message not text") << QByteArray(R"({"message":5})") << false << "Success" << false;
    QTest::newRow("file decodes") << QByteArray(R"({"deduplicated":false,"file":)" + ValidRow + "}") << false
                                  << "Success" << true;
    QTest::newRow("file broken is dropped silently")
        << QByteArray(R"({"deduplicated":true,"file":)" + rowWith("file_hash", "") + "}") << true << "Success"
        << false;
    QTest::newRow("file not an object") << QByteArray(R"({"file":"f1"})") << false << "Success" << false;
}

void TestVaultRecords::procedureReply() {
    QFETCH(QByteArray, json);
    const DeduplicateResult result =
        DeduplicateResult::fromProcedureReply(QJsonDocument::fromJson(json).object());
    QTEST(result.deduplicated, "deduplicated");
    QTEST(result.message, "message");
    QTEST(result.file.has_value(), "hasFile");
}

void TestVaultRecords::insertReply_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("hasFile");
    QTest::newRow("one row") << "[" + ValidRow + "]" << true;
    QTest::newRow("empty array") << QByteArray("[]") << false;
    QTest::newRow("bad row") << "[" + rowWith("id", "") + "]" << false;
    QTest::newRow("not JSON") << QByteArray("<html>") << false;
}

void TestVaultRecords::insertReply() {
    QFETCH(QByteArray, json);
    const DeduplicateResult result = DeduplicateResult::fromInsertReply(json);
    QCOMPARE(result.deduplicated, false);
    QCOMPARE(result.message, QStringLiteral("Registered"));
    QTEST(result.file.has_value(), "hasFile");
    if (result.file)
        QCOMPARE(result.file->id, QStringLiteral("f1"));
}

void TestVaultRecords::mediaTypes_data() {
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("type");
    QTest::newRow("JPG") << "JPG"
                         << "image/jpeg";
    QTest::newRow("Jpeg") << "Jpeg"
                          << "image/jpeg";
    QTest::newRow("mov") << "mov"
                         << "video/quicktime";
    QTest::newRow("Mp3") << "Mp3"
                         << "audio/mpeg";
    QTest::newRow("wav") << "wav"
                         << "audio/wav";
    QTest::newRow("csv") << "csv"
                         << "text/csv";
    QTest::newRow("empty") << ""
                           << "application/octet-stream";
    QTest::newRow("unknown") << "heic"
                             << "application/octet-stream";
    QTest::newRow("with dot") << ".png"
                              << "application/octet-stream";
}

void TestVaultRecords::mediaTypes() {
    QFETCH(QString, extension);
    QTEST(mimeTypeFor(extension), "type");
}

Q_DECLARE_METATYPE(SupabaseSession)
ORLAVANT_TEST_GUILESS_MAIN(TestVaultRecords)
#include "tst_vaultrecords.moc"
