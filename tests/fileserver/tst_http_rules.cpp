// The server's HTTP rules on their own, without a server: byte ranges,
// validators, dates and the text of log lines.

#include "access_log.h"
#include "http_rules.h"

#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using fileserver::ByteRange;

Q_DECLARE_METATYPE(ByteRange::Kind)

namespace {

struct stat sampleInfo() {
    struct stat info {};
    info.st_size = 0x1234;
    info.st_mtim = {0x5f000000, 0x1f};
    info.st_ctim = {0x5f000001, 0x2e};
    info.st_ino = 0xabc;
    info.st_dev = 0x803;
    return info;
}

} // namespace

class TestHttpRules : public QObject {
    Q_OBJECT

private slots:
    void parseRange_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<ByteRange::Kind>("kind");
        QTest::addColumn<quint64>("offset");
        QTest::addColumn<quint64>("length");
        using K = ByteRange::Kind;
        QTest::newRow("first bytes")
            << QByteArray("bytes=0-9") << 100ULL << K::Part << 0ULL << 10ULL;
        QTest::newRow("one byte") << QByteArray("bytes=5-5") << 100ULL << K::Part << 5ULL << 1ULL;
        QTest::newRow("to the end")
            << QByteArray("bytes=10-") << 100ULL << K::Part << 10ULL << 90ULL;
        QTest::newRow("end past the size is cut")
            << QByteArray("bytes=50-200") << 100ULL << K::Part << 50ULL << 50ULL;
        QTest::newRow("last byte")
            << QByteArray("bytes=99-99") << 100ULL << K::Part << 99ULL << 1ULL;
        QTest::newRow("suffix") << QByteArray("bytes=-10") << 100ULL << K::Part << 90ULL << 10ULL;
        QTest::newRow("suffix longer than the file")
            << QByteArray("bytes=-200") << 100ULL << K::Part << 0ULL << 100ULL;
        QTest::newRow("blanks around the parts")
            << QByteArray("  bytes= 1 - 2 ") << 100ULL << K::Part << 1ULL << 2ULL;
        QTest::newRow("start at the size")
            << QByteArray("bytes=100-") << 100ULL << K::Unsatisfiable << 0ULL << 0ULL;
        QTest::newRow("start past the size")
            << QByteArray("bytes=150-160") << 100ULL << K::Unsatisfiable << 0ULL << 0ULL;
        QTest::newRow("empty suffix")
            << QByteArray("bytes=-0") << 100ULL << K::Unsatisfiable << 0ULL << 0ULL;
        QTest::newRow("suffix of an empty file")
            << QByteArray("bytes=-5") << 0ULL << K::Unsatisfiable << 0ULL << 0ULL;
        QTest::newRow("any start of an empty file")
            << QByteArray("bytes=0-") << 0ULL << K::Unsatisfiable << 0ULL << 0ULL;
        QTest::newRow("no header") << QByteArray() << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("other unit")
            << QByteArray("items=0-9") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("several ranges")
            << QByteArray("bytes=0-1,5-6") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("end before start")
            << QByteArray("bytes=9-5") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("no dash") << QByteArray("bytes=5") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("only a dash") << QByteArray("bytes=-") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("not a number")
            << QByteArray("bytes=a-5") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("signed number")
            << QByteArray("bytes=+1-5") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("negative end")
            << QByteArray("bytes=1--5") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("number too long")
            << QByteArray("bytes=00000000000000000001-") << 100ULL << K::Whole << 0ULL << 0ULL;
        QTest::newRow("largest number")
            << QByteArray("bytes=0-9999999999999999999") << 100ULL << K::Part << 0ULL << 100ULL;
    }
    void parseRange() {
        QFETCH(QByteArray, header);
        QFETCH(quint64, size);
        QFETCH(ByteRange::Kind, kind);
        QFETCH(quint64, offset);
        QFETCH(quint64, length);
        const ByteRange r = fileserver::parseRange(header, size);
        QCOMPARE(r.kind, kind);
        if (kind == ByteRange::Kind::Part) {
            QCOMPARE(r.offset, offset);
            QCOMPARE(r.length, length);
        }
    }

    void etagMatches_data() {
        QTest::addColumn<QByteArray>("ifNoneMatch");
        QTest::addColumn<bool>("matches");
        QTest::newRow("same tag") << QByteArray(R"("a-1")") << true;
        QTest::newRow("another tag") << QByteArray(R"("a-2")") << false;
        QTest::newRow("in a list") << QByteArray(R"("x", "a-1" ,"y")") << true;
        QTest::newRow("weak form") << QByteArray(R"(W/"a-1")") << true;
        QTest::newRow("any") << QByteArray("*") << true;
        QTest::newRow("any in a list") << QByteArray(R"("x", *)") << true;
        QTest::newRow("without quotes") << QByteArray("a-1") << false;
        QTest::newRow("a prefix of it") << QByteArray(R"("a-")") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("other letter case") << QByteArray(R"("A-1")") << false;
    }
    void etagMatches() {
        QFETCH(QByteArray, ifNoneMatch);
        QFETCH(bool, matches);
        QCOMPARE(fileserver::etagMatches(ifNoneMatch, QByteArray(R"("a-1")")), matches);
    }

    void fileEtagNamesEveryPart() {
        QCOMPARE(fileserver::fileEtag(sampleInfo()),
                 QByteArray(R"("1234-5f000000.1f-5f000001.2e-abc-803")"));
    }

    void fileEtagChangesWithEachPart_data() {
        QTest::addColumn<int>("part");
        QTest::newRow("size") << 0;
        QTest::newRow("modification seconds") << 1;
        QTest::newRow("modification nanoseconds") << 2;
        QTest::newRow("change time") << 3;
        QTest::newRow("inode") << 4;
        QTest::newRow("device") << 5;
    }
    void fileEtagChangesWithEachPart() {
        QFETCH(int, part);
        struct stat info = sampleInfo();
        switch (part) {
        case 0:
            ++info.st_size;
            break;
        case 1:
            ++info.st_mtim.tv_sec;
            break;
        case 2:
            ++info.st_mtim.tv_nsec;
            break;
        case 3:
            ++info.st_ctim.tv_nsec;
            break;
        case 4:
            ++info.st_ino;
            break;
        default:
            ++info.st_dev;
            break;
        }
        QVERIFY(fileserver::fileEtag(info) != fileserver::fileEtag(sampleInfo()));
    }

    void reprDigest() {
        // The SHA-256 of no bytes at all.
        const QByteArray empty =
            QByteArray::fromBase64("47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
        QCOMPARE(fileserver::reprDigest(empty),
                 QByteArray("sha-256=:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=:"));
    }

    void httpDate_data() {
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("the epoch") << qint64(0) << QByteArray("Thu, 01 Jan 1970 00:00:00 GMT");
        QTest::newRow("a Sunday in November")
            << qint64(784111777) << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT");
        QTest::newRow("a leap day")
            << qint64(951782400) << QByteArray("Tue, 29 Feb 2000 00:00:00 GMT");
        QTest::newRow("last second of 9999")
            << qint64(253402300799) << QByteArray("Fri, 31 Dec 9999 23:59:59 GMT");
    }
    void httpDate() {
        QFETCH(qint64, time);
        QFETCH(QByteArray, text);
        QCOMPARE(fileserver::httpDate(static_cast<time_t>(time)), text);
    }

    void logEscaped_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("plain") << QByteArray("/download?file=a%5Cb")
                               << QByteArray("/download?file=a%5Cb");
        QTest::newRow("escape sequence") << QByteArray("\x1b[2J") << QByteArray("\\x1B[2J");
        QTest::newRow("line break") << QByteArray("a\r\nb") << QByteArray("a\\x0D\\x0Ab");
        QTest::newRow("quote and backslash") << QByteArray("\"\\") << QByteArray("\\x22\\x5C");
        QTest::newRow("delete and high bytes")
            << QByteArray("\x7f\xc3\xa9") << QByteArray("\\x7F\\xC3\\xA9");
        QTest::newRow("nul byte") << QByteArray("a\0b", 3) << QByteArray("a\\x00b");
        QTest::newRow("blank and tilde stay") << QByteArray(" ~") << QByteArray(" ~");
    }
    void logEscaped() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, logged);
        QCOMPARE(fileserver::logEscaped(text), logged);
    }

    void accessLine_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<qint64>("microseconds");
        QTest::addColumn<QString>("note");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain")
            << QByteArray("/download?file=a") << qint64(250) << QString()
            << uR"(2023-11-14T22:13:20.123Z 10.0.0.7 "GET /download?file=a" 200 15 0.250ms)"_s;
        QTest::newRow("target escaped, long, cut")
            << QByteArray("/a\"\nb") << qint64(1'234'567) << u" cut: connection ended"_s
            << uR"(2023-11-14T22:13:20.123Z 10.0.0.7 "GET /a\x22\x0Ab" 200 15 1234.567ms cut: connection ended)"_s;
    }
    void accessLine() {
        QFETCH(QByteArray, target);
        QFETCH(qint64, microseconds);
        QFETCH(QString, note);
        QFETCH(QString, line);
        fileserver::AccessRecord record;
        record.at = {1'700'000'000, 123'987'654};
        record.address = "10.0.0.7";
        record.method = "GET";
        record.target = target;
        record.status = 200;
        record.sentBytes = 15;
        record.took = std::chrono::microseconds(microseconds);
        record.note = note;
        QCOMPARE(fileserver::accessLine(record), line);
    }
};

QTEST_GUILESS_MAIN(TestHttpRules)
#include "tst_http_rules.moc"
