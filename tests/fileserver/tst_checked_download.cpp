#include "platform/errors.h"
#include "platform/sha256.h"
#include "raw_http_server.h"
#include "update/server_source.h"
#include "update/staged_replace.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

using namespace Qt::StringLiterals;
using Reply = RawHttpServer::Reply;
using platform::TDateTime;
using test_files::ageOf;
using test_files::readFile;
using test_files::writeFile;

Q_DECLARE_METATYPE(RawHttpServer::Reply)

namespace {

const TDateTime CentralAge = platform::encodeDateTime(2022, 6, 23, 75'025'123);
const TDateTime OldAge = platform::encodeDateTime(2020, 1, 2, 3'000);

QByteArray patterned(qsizetype size, int variant) {
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + variant) ^ (i >> 9));
    return bytes;
}

const QByteArray Central = patterned(200'000, 1);

QByteArray sha256(const QByteArray& bytes) {
    platform::Sha256 sha;
    sha.update(bytes.constData(), std::size_t(bytes.size()));
    return sha.finish();
}

Reply withMode(Reply reply, Reply::Mode mode, bool contentLength) {
    reply.mode = mode;
    reply.addContentLength = contentLength;
    return reply;
}

} // namespace

// A server that misbehaves, against a listing that gives the file's size and
// digest and one that does not (other servers): with them nothing but the
// central bytes is installed; without them what cannot be told from a good
// answer is taken as before, and what nobody asked for never.
class CheckedDownloadTest : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
};

void CheckedDownloadTest::answers_data() {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("listed");          // the listing gives size and sha256
    QTest::addColumn<QByteArray>("installed"); // empty: the old file stays
    QTest::addColumn<QString>("reason");       // part of the failure's message

    const QByteArray other = patterned(Central.size(), 2);
    const QByteArray half = Central.first(Central.size() / 2);
    const auto digestHeader = [](const QByteArray& bytes) {
        return "HTTP/1.1 200 OK\r\nRepr-Digest: sha-256=:" + sha256(bytes).toBase64() + ":";
    };
    struct Row {
        const char* name;
        Reply reply;
        QByteArray whenListed, whenNot;
        QString reasonListed, reasonNot;
    };
    const Row rows[] = {
        {"the central bytes",
         RawHttpServer::reply("HTTP/1.1 200 OK", Central),
         Central,
         Central,
         {},
         {}},
        {"other bytes of the same length",
         RawHttpServer::reply("HTTP/1.1 200 OK", other),
         {},
         other,
         u"Received SHA-256 "_s,
         {}},
        {"half a body without a length",
         withMode(RawHttpServer::reply("HTTP/1.1 200 OK", Central), Reply::Mode::CutMidBody, false),
         {},
         half,
         u"Received 100000 bytes, the central copy has 200000"_s,
         {}},
        {"a length larger than the body",
         withMode(RawHttpServer::reply("HTTP/1.1 200 OK", Central), Reply::Mode::CutMidBody, true),
         {},
         {},
         u"REST request failed"_s,
         u"REST request failed"_s},
        {"204 No Content",
         RawHttpServer::reply("HTTP/1.1 204 No Content", {}),
         {},
         {},
         u"204 No Content instead of the file"_s,
         u"204 No Content instead of the file"_s},
        {"206 nobody asked for",
         RawHttpServer::reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99999/200000",
                              half),
         {},
         {},
         u"status 206 instead of the file"_s,
         u"status 206 instead of the file"_s},
        {"an endless body",
         withMode(RawHttpServer::reply("HTTP/1.1 200 OK", Central), Reply::Mode::Endless, false),
         {},
         // Without a size the client cannot tell: what the fixture sent before its bound.
         Central.repeated(qsizetype(16 << 20) / Central.size() + 1),
         u"Received more than the 200000 bytes"_s,
         {}},
        {"an announced digest of other bytes",
         RawHttpServer::reply(digestHeader(other), Central),
         {},
         {},
         u"the server announced"_s,
         u"the server announced"_s},
        {"an announced digest of the bytes",
         RawHttpServer::reply(digestHeader(Central), Central),
         Central,
         Central,
         {},
         {}},
    };
    for (const Row& row : rows) {
        QTest::addRow("%s, listed", row.name)
            << row.reply << true << row.whenListed << row.reasonListed;
        QTest::addRow("%s, not listed", row.name)
            << row.reply << false << row.whenNot << row.reasonNot;
    }
}

void CheckedDownloadTest::answers() {
    QFETCH(Reply, reply);
    QFETCH(bool, listed);
    QFETCH(QByteArray, installed);
    QFETCH(QString, reason);

    RawHttpServer server([reply](const RawHttpServer::Request&) { return reply; });
    QTemporaryDir dir;
    const QString target = dir.filePath(u"SysAdmin.exe"_s);
    writeFile(target, "MZ the old build", OldAge);

    const TFileInfoDTO central =
        listed ? TFileInfoDTO(u"SysAdmin.exe"_s, CentralAge, Central.size(), sha256(Central))
               : TFileInfoDTO(u"SysAdmin.exe"_s, CentralAge);
    QString message;
    try {
        updateFileFromServer(QString::fromLatin1(server.baseUrl()), dir.path(), u"SysAdmin.exe"_s,
                             central, true);
    } catch (const std::exception& e) {
        message = platform::errorMessage(e);
    }
    if (installed.isEmpty()) {
        QVERIFY2(!reason.isEmpty() && message.contains(reason), qPrintable(message));
        QCOMPARE(readFile(target), QByteArray("MZ the old build"));
        QCOMPARE(ageOf(target), OldAge);
    } else {
        QCOMPARE(message, QString());
        QVERIFY(readFile(target) == installed);
        QCOMPARE(ageOf(target), CentralAge);
    }
    QCOMPARE(stagedTemporariesOf(target), QStringList());
}

QTEST_GUILESS_MAIN(CheckedDownloadTest)
#include "tst_checked_download.moc"
