#include "fileserver/iso_date_time.h"
#include "fileserver/rest_clients.h"
#include "fileserver/rest_url.h"
#include "platform/file_ops.h"
#include "raw_http_server.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

using test_files::readFile;
using test_files::writeFile;

#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;
using Reply = RawHttpServer::Reply;

Q_DECLARE_METATYPE(RawHttpServer::Reply)

namespace {

const QByteArray listingBody =
    R"([{"fileName":"Appointments.exe","age":"2022-06-23T20:50:25.000"},)"
    R"({"fileName":"Relatorio\\RelAppointments.rav","age":"2022-06-20T08:15:00.000"}])";

Reply okListing() {
    return RawHttpServer::reply("HTTP/1.1 200 OK", listingBody, "application/json");
}

// Answers every request with reply, except that a redirect sends the client on to
// "/next", which gets next.
RawHttpServer::Responder answer(const Reply& reply, const Reply& next = okListing()) {
    return [reply, next](const RawHttpServer::Request& request) {
        return request.target().startsWith("/next") ? next : reply;
    };
}

Reply withMode(Reply r, Reply::Mode mode) {
    r.mode = mode;
    return r;
}

// Collects the lines of the trace channel while it lives.
class TraceCapture {
public:
    TraceCapture() {
        s_lines.clear();
        QLoggingCategory::setFilterRules(u"quorvia.trace.debug=true"_s);
        m_previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext& context, const QString& message) {
                if (qstrcmp(context.category, "quorvia.trace") == 0)
                    s_lines.append(message);
            });
    }
    ~TraceCapture() {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(u"quorvia.trace.debug=false"_s);
    }
    static inline QStringList s_lines;

private:
    QtMessageHandler m_previous = nullptr;
};

} // namespace

class TestRestClients : public QObject {
    Q_OBJECT

private slots:
    // --- URLs as composed -------------------------------------------------

    void folderListUrl_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QByteArray>("expected");
        const QString h = u"http://h:1"_s;
        QTest::newRow("the system's call")
            << h << u"\\"_s << u"*.*"_s << true
            << QByteArray("http://h:1/folderlist?folder=%5C&mask=*.*&recursive=");
        QTest::newRow("nothing applies")
            << h << QString() << QString() << false << QByteArray("http://h:1/folderlist");
        QTest::newRow("recursive alone") << h << QString() << QString() << true
                                         << QByteArray("http://h:1/folderlist?recursive=");
        QTest::newRow("mask alone") << h << QString() << u"*.exe"_s << false
                                    << QByteArray("http://h:1/folderlist?mask=*.exe");
        QTest::newRow("space as plus") << h << u"My Files"_s << QString() << false
                                       << QByteArray("http://h:1/folderlist?folder=My+Files");
        QTest::newRow("one blank is sent")
            << h << u" "_s << QString() << false << QByteArray("http://h:1/folderlist?folder=+");
        QTest::newRow("reserved characters")
            << h << u"a!#$&'()+,/:;<=>?@[]^{}~\"|`b"_s << QString() << false
            << QByteArray("http://h:1/"
                          "folderlist?folder=a%21%23%24%26%27%28%29%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%"
                          "5B%5D%5E%7B%7D%7E%22%7C%60b");
        QTest::newRow("unreserved pass, non-ASCII as UTF-8")
            << h << u"*.-_%Aé"_s << QString() << false
            << QByteArray("http://h:1/folderlist?folder=*.-_%A%C3%A9");
        QTest::newRow("control characters") << h << u"a\tb"_s << QString() << false
                                            << QByteArray("http://h:1/folderlist?folder=a%09b");
        QTest::newRow("trailing slashes removed") << u"http://h:1///"_s << QString() << QString()
                                                  << false << QByteArray("http://h:1/folderlist");
        QTest::newRow("no scheme, blanks around")
            << u"  h:1/api  "_s << QString() << QString() << false
            << QByteArray("http://h:1/api/folderlist");
        QTest::newRow("backslashes of the base")
            << u"http://h:1\\api"_s << QString() << QString() << false
            << QByteArray("http://h:1/api/folderlist");
        QTest::newRow("https kept") << u"https://h"_s << QString() << QString() << false
                                    << QByteArray("https://h/folderlist");
    }
    void folderListUrl() {
        QFETCH(QString, base);
        QFETCH(QString, folder);
        QFETCH(QString, mask);
        QFETCH(bool, recursive);
        QFETCH(QByteArray, expected);
        QCOMPARE(fileserver::folderListUrl(base, folder, mask, recursive), expected);
    }

    void downloadUrl_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plain") << u"http://h:1"_s << u"Appointments.exe"_s
                               << QByteArray("http://h:1/download?file=Appointments.exe");
        QTest::newRow("backslash")
            << u"http://h:1"_s << u"Relatorio\\RelAppointments.rav"_s
            << QByteArray("http://h:1/download?file=Relatorio%5CRelAppointments.rav");
        QTest::newRow("blank") << u"http://h:1"_s << u"My File.exe"_s
                               << QByteArray("http://h:1/download?file=My%20File.exe");
        QTest::newRow("trailing slash of the base kept")
            << u"http://h:1/"_s << u"a.exe"_s << QByteArray("http://h:1//download?file=a.exe");
        QTest::newRow("no scheme")
            << u" h:1"_s << u"a.exe"_s << QByteArray("http://h:1/download?file=a.exe");
        QTest::newRow("unsafe characters")
            << u"http://h"_s << u"*<>%{}^[]'\"|`"_s
            << QByteArray("http://h/download?file=%2A%3C%3E%25%7B%7D%5E%5B%5D%27%22%7C%60");
        QTest::newRow("characters that would split the name")
            << u"http://h"_s << u"C++ #1 a&b=c.txt"_s
            << QByteArray("http://h/download?file=C%2B%2B%20%231%20a%26b%3Dc.txt");
        QTest::newRow("others pass") << u"http://h"_s << u"a!$(),;@~-_.txt"_s
                                     << QByteArray("http://h/download?file=a!$(),;@~-_.txt");
        QTest::newRow("UTF-8") << u"http://h"_s << u"Relatório.rav"_s
                               << QByteArray("http://h/download?file=Relat%C3%B3rio.rav");
    }
    void downloadUrl() {
        QFETCH(QString, base);
        QFETCH(QString, name);
        QFETCH(QByteArray, expected);
        QCOMPARE(fileserver::downloadUrl(base, name), expected);
    }

    // --- the requests on the wire ------------------------------------------

    void listingRequestOnTheWire_data() {
        QTest::addColumn<QString>("baseSuffix");
        QTest::addColumn<QByteArray>("expectedLine");
        QTest::newRow("plain") << QString()
                               << QByteArray(
                                      "GET /folderlist?folder=%5C&mask=*.*&recursive= HTTP/1.1");
        QTest::newRow("trailing slashes")
            << u"///"_s << QByteArray("GET /folderlist?folder=%5C&mask=*.*&recursive= HTTP/1.1");
        QTest::newRow("path prefix")
            << u"/central/"_s
            << QByteArray("GET /central/folderlist?folder=%5C&mask=*.*&recursive= HTTP/1.1");
    }
    void listingRequestOnTheWire() {
        QFETCH(QString, baseSuffix);
        QFETCH(QByteArray, expectedLine);
        RawHttpServer server(answer(okListing()));
        // Without scheme: reached over http://.
        TRESTClientFileList client(u"127.0.0.1:"_s + QString::number(server.port()) + baseSuffix);
        QVERIFY(client.Execute(u"\\"_s, u"*.*"_s, true));
        const auto requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].requestLine, expectedLine);
        QCOMPARE(requests[0].header("Accept"), QByteArray("application/json"));
        QCOMPARE(requests[0].header("Accept-Charset"), QByteArray("UTF-8, *;q=0.8"));
        QVERIFY(requests[0].header("Content-Length").isEmpty());
        QVERIFY(requests[0].header("Transfer-Encoding").isEmpty());
        // The codings the client undoes, named so that none other is sent.
        QVERIFY(requests[0].header("Accept-Encoding").contains("gzip"));
    }

    void downloadRequestOnTheWire() {
        RawHttpServer server(answer(RawHttpServer::reply("HTTP/1.1 200 OK", "x")));
        QTemporaryDir dir;
        TraceCapture trace;
        TRESTClientDownload client(QString::fromLatin1(server.baseUrl()) + u'/');
        QVERIFY(client.Download(u"Relatorio\\Rel Appointments.rav"_s, dir.filePath(u"r.rav"_s)));
        const auto requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].requestLine,
                 QByteArray("GET //download?file=Relatorio%5CRel%20Appointments.rav HTTP/1.1"));
        // No header of the client's own: what the HTTP layer sends by default only.
        QVERIFY(requests[0].header("Accept") != "application/json");
        QVERIFY(requests[0].header("Accept-Charset").isEmpty());
        QVERIFY(requests[0].header("Accept-Encoding").contains("gzip"));
        QCOMPARE(TraceCapture::s_lines,
                 QStringList{QString(92, u'>') + u"Relatorio\\Rel Appointments.rav"_s});
    }

    // --- listing answers ---------------------------------------------------

    void listingAnswers_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("errorStatus");
        QTest::addColumn<QString>("exception"); // message start; empty when none

        const QByteArray json = "application/json";
        QTest::newRow("200 listing")
            << okListing() << true
            << QStringList{u"Appointments.exe"_s, u"Relatorio\\RelAppointments.rav"_s} << 0
            << QString();
        QTest::newRow("200 empty array") << RawHttpServer::reply("HTTP/1.1 200 OK", "[]", json)
                                         << true << QStringList{} << 0 << QString();
        QTest::newRow("404 with status")
            << RawHttpServer::reply("HTTP/1.1 404 Not Found",
                                    R"({"status":404,"error":"Not Found","detail":"no folder"})",
                                    json)
            << false << QStringList{} << 404 << QString();
        QTest::newRow("404 without status")
            << RawHttpServer::reply("HTTP/1.1 404 Not Found", R"({"error":"Not Found"})", json)
            << true << QStringList{} << 0 << QString();
        QTest::newRow("400 with status 0")
            << RawHttpServer::reply("HTTP/1.1 400 Bad Request", R"({"status":0})", json) << true
            << QStringList{} << 0 << QString();
        QTest::newRow("503") << RawHttpServer::reply("HTTP/1.1 503 Service Unavailable", "down")
                             << false << QStringList{} << 0
                             << u"HTTP/1.1 503 Service Unavailable"_s;
        QTest::newRow("500 over HTTP/1.0")
            << RawHttpServer::reply("HTTP/1.0 500 Internal Server Error", R"({"status":500})", json)
            << false << QStringList{} << 0 << u"HTTP/1.0 500 Internal Server Error"_s;
        QTest::newRow("HTML 404") << RawHttpServer::reply("HTTP/1.1 404 Not Found",
                                                          "<html><body>Not Found</body></html>",
                                                          "text/html")
                                  << false << QStringList{} << 0
                                  << u"The input value is not a valid Object"_s;
        QTest::newRow("200 empty body") << RawHttpServer::reply("HTTP/1.1 200 OK", "") << false
                                        << QStringList{} << 0 << u"TFilesInfoDTOHelper.FromJSON"_s;
        QTest::newRow("200 trailing garbage")
            << RawHttpServer::reply("HTTP/1.1 200 OK", listingBody + "<!-- -->", json) << false
            << QStringList{} << 0 << u"TFilesInfoDTOHelper.FromJSON"_s;
        QTest::newRow("200 an object")
            << RawHttpServer::reply("HTTP/1.1 200 OK", "{}", json) << false << QStringList{} << 0
            << u"Invalid class typecast"_s;
        QTest::newRow("redirect followed")
            << RawHttpServer::reply("HTTP/1.1 302 Found\r\nLocation: /next/folderlist", "moved")
            << true << QStringList{u"Appointments.exe"_s, u"Relatorio\\RelAppointments.rav"_s} << 0
            << QString();
        QTest::newRow("declared charset")
            << RawHttpServer::reply("HTTP/1.1 200 OK", "[{\"fileName\":\"Relat\xF3rio.rav\"}]",
                                    "application/json; charset=ISO-8859-1")
            << true << QStringList{u"Relatório.rav"_s} << 0 << QString();
        QTest::newRow("UTF-8 without charset")
            << RawHttpServer::reply("HTTP/1.1 200 OK", "[{\"fileName\":\"Relat\xC3\xB3rio.rav\"}]",
                                    json)
            << true << QStringList{u"Relatório.rav"_s} << 0 << QString();
        const QByteArray accented = R"({"fileName":"Relatório.rav"},)";
        QTest::newRow("UTF-8 read in pieces")
            << RawHttpServer::reply("HTTP/1.1 200 OK", "[" + accented.repeated(30'000) + "{}]",
                                    json)
            << true << (QStringList(30'000, u"Relatório.rav"_s) << QString()) << 0 << QString();
        QTest::newRow("character cut off after the array")
            << RawHttpServer::reply("HTTP/1.1 200 OK", "[{\"fileName\":\"a\"}]\xC3", json) << false
            << QStringList{} << 0 << u"TFilesInfoDTOHelper.FromJSON"_s;
        QTest::newRow("connection cut in the body")
            << withMode(okListing(), Reply::Mode::CutMidBody) << false << QStringList{} << 0
            << u"REST request failed: "_s;
        QTest::newRow("gzip listing decoded")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: gzip",
                                    gzipped(listingBody), json)
            << true << QStringList{u"Appointments.exe"_s, u"Relatorio\\RelAppointments.rav"_s} << 0
            << QString();
        QTest::newRow("gzip error body decoded")
            << RawHttpServer::reply("HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip",
                                    gzipped(R"({"status":404})"), json)
            << false << QStringList{} << 404 << QString();
        QTest::newRow("coding not asked for refused")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: x-squash", listingBody,
                                    json)
            << false << QStringList{} << 0 << u"REST request failed: "_s;
        QTest::newRow("broken gzip refused")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: gzip", listingBody, json)
            << false << QStringList{} << 0 << u"REST request failed: "_s;
        // The rows run with a limit of 1 MiB (listingAnswers below): a body of
        // exactly 1 MiB is read, one byte more is refused.
        const QByteArray entry =
            R"({"fileName":"Relatorio\\RelAppointments.rav","age":"2022-06-20"},)";
        const qsizetype entries = ((1 << 20) - 3) / entry.size();
        QByteArray atTheCap = "[" + entry.repeated(entries) + "{}]";
        atTheCap += QByteArray((1 << 20) - atTheCap.size(), ' ');
        const QByteArray big = atTheCap + ' ';
        const QString overTheCap = u"REST request failed: the answer is larger than 1 MiB"_s;
        QTest::newRow("at the cap")
            << RawHttpServer::reply("HTTP/1.1 200 OK", atTheCap, json) << true
            << (QStringList(entries, u"Relatorio\\RelAppointments.rav"_s) << QString()) << 0
            << QString();
        QTest::newRow("over the cap") << RawHttpServer::reply("HTTP/1.1 200 OK", big, json) << false
                                      << QStringList{} << 0 << overTheCap;
        Reply noLength = RawHttpServer::reply("HTTP/1.1 200 OK", big, json);
        noLength.addContentLength = false;
        QTest::newRow("over the cap, no length given")
            << noLength << false << QStringList{} << 0 << overTheCap;
        QTest::newRow("over the cap once decoded")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: gzip", gzipped(big), json)
            << false << QStringList{} << 0 << overTheCap;
        QTest::newRow("error body over the cap")
            << RawHttpServer::reply(
                   "HTTP/1.1 404 Not Found",
                   R"({"status":404,"detail":")" + QByteArray(2 << 20, 'd') + R"("})", json)
            << false << QStringList{} << 0 << overTheCap;
    }
    void listingAnswers() {
        QFETCH(Reply, reply);
        QFETCH(bool, result);
        QFETCH(QStringList, names);
        QFETCH(int, errorStatus);
        QFETCH(QString, exception);

        RawHttpServer server(answer(reply));
        TRESTClientFileList client(QString::fromLatin1(server.baseUrl()));
        client.setMaxBodyBytes(1 << 20);
        try {
            QCOMPARE(client.Execute(u"\\"_s, u"*.*"_s, true), result);
            QVERIFY2(exception.isEmpty(), "an exception was expected");
        } catch (const platform::Exception& e) {
            QVERIFY2(!exception.isEmpty(), qPrintable(e.message()));
            QVERIFY2(e.message().startsWith(exception), qPrintable(e.message()));
        }
        QStringList actual;
        for (int i = 0; i < client.Count(); ++i)
            actual << client.Items(i)->FileName();
        if (exception.isEmpty())
            QCOMPARE(actual, names);
        QCOMPARE(client.Error().Status(), errorStatus);
        QCOMPARE(client.Items(-1), nullptr);
        QCOMPARE(client.Items(client.Count()), nullptr);
    }

    void errorRecordIsKeptAndNeverReset() {
        int call = 0;
        RawHttpServer server([&call](const RawHttpServer::Request&) {
            switch (call++) {
            case 0:
                return RawHttpServer::reply("HTTP/1.1 404 Not Found",
                                            R"({"status":7,"error":"e","detail":"d"})");
            case 1:
                return RawHttpServer::reply("HTTP/1.1 404 Not Found", "<html></html>");
            case 2:
                return RawHttpServer::reply("HTTP/1.1 503 Service Unavailable", "");
            default:
                return okListing();
            }
        });
        TRESTClientFileList client(QString::fromLatin1(server.baseUrl()));
        QVERIFY(!client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Error().Status(), 7);
        // A body that does not convert leaves the previous record.
        QVERIFY_THROWS_EXCEPTION(platform::EConversionError,
                                 client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Error().Status(), 7);
        QVERIFY_THROWS_EXCEPTION(ERESTException, client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Error().Error(), u"e"_s);
        // A later success still reports the old error, with the new descriptors.
        QVERIFY(!client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Count(), 2);
    }

    void previousListingIsFreedBeforeTheNext() {
        int call = 0;
        RawHttpServer server([&call](const RawHttpServer::Request&) {
            return call++ == 0 ? okListing()
                               : RawHttpServer::reply("HTTP/1.1 503 Service Unavailable", "");
        });
        TRESTClientFileList client(QString::fromLatin1(server.baseUrl()));
        QVERIFY(client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Count(), 2);
        QVERIFY_THROWS_EXCEPTION(ERESTException, client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Count(), 0);
    }

    void transportFailures_data() {
        QTest::addColumn<bool>("stall");
        QTest::newRow("connection refused") << false;
        QTest::newRow("stalled body") << true;
    }
    void transportFailures() {
        QFETCH(bool, stall);
        std::unique_ptr<RawHttpServer> server;
        QString url = u"http://127.0.0.1:"_s + QString::number(unusedLoopbackPort());
        if (stall) {
            server = std::make_unique<RawHttpServer>(
                answer(withMode(okListing(), Reply::Mode::StallMidBody)));
            url = QString::fromLatin1(server->baseUrl());
        }
        fileserver::TransferLimits limits;
        limits.stallMs = 300;
        TRESTClientFileList list(url);
        list.setLimits(limits);
        try {
            list.Execute(u"\\"_s, u"*.*"_s, true);
            QFAIL("the listing should have failed");
        } catch (const ERESTException& e) {
            QVERIFY2(e.message().startsWith(u"REST request failed: "_s), qPrintable(e.message()));
            QVERIFY(e.message().size() > 22);
        }
        QCOMPARE(list.Count(), 0);

        QTemporaryDir dir;
        const QString target = dir.filePath(u"a.exe"_s);
        writeFile(target, "old");
        TRESTClientDownload download(url);
        download.setLimits(limits);
        QVERIFY(!download.Download(u"a.exe"_s, target));
        QVERIFY(!QFile::exists(target));
        QVERIFY2(download.LastError().startsWith(u"REST request failed: "_s),
                 qPrintable(download.LastError()));
    }

    // --- download answers ----------------------------------------------------

    void downloadAnswers_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<Reply>("next"); // the answer at the end of a redirect
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("content"); // when result is true
        QTest::addColumn<QString>("error");      // LastError() start when false

        const Reply listing = RawHttpServer::reply("HTTP/1.1 200 OK", listingBody);
        QByteArray allBytes;
        for (int i = 0; i < 256; ++i)
            allBytes.append(char(i));
        QTest::newRow("200") << RawHttpServer::reply("HTTP/1.1 200 OK", "MZ content") << listing
                             << true << QByteArray("MZ content") << QString();
        QTest::newRow("200 empty") << RawHttpServer::reply("HTTP/1.1 200 OK", "") << listing << true
                                   << QByteArray() << QString();
        QTest::newRow("bytes taken as they are")
            << RawHttpServer::reply("HTTP/1.1 200 OK", allBytes, "text/plain; charset=ISO-8859-1")
            << listing << true << allBytes << QString();
        QTest::newRow("large body")
            << RawHttpServer::reply("HTTP/1.1 200 OK", QByteArray(3'000'000, 'q')) << listing
            << true << QByteArray(3'000'000, 'q') << QString();
        QTest::newRow("redirect") << RawHttpServer::reply(
                                         "HTTP/1.1 301 Moved Permanently\r\nLocation: /next",
                                         "moved")
                                  << listing << true << listingBody << QString();
        QTest::newRow("redirect to a 404")
            << RawHttpServer::reply("HTTP/1.1 302 Found\r\nLocation: /next", "moved")
            << RawHttpServer::reply("HTTP/1.1 404 Not Found", "gone") << false << QByteArray()
            << u"gone"_s;
        QTest::newRow("404 with body")
            << RawHttpServer::reply("HTTP/1.1 404 Not Found", "no such file") << listing << false
            << QByteArray() << u"no such file"_s;
        QTest::newRow("404 without body") << RawHttpServer::reply("HTTP/1.1 404 Not Found", "")
                                          << listing << false << QByteArray() << u"Not Found"_s;
        QTest::newRow("503") << RawHttpServer::reply("HTTP/1.1 503 Service Unavailable", "busy")
                             << listing << false << QByteArray()
                             << u"HTTP/1.1 503 Service Unavailable"_s;
        QTest::newRow("cut in the body")
            << withMode(RawHttpServer::reply("HTTP/1.1 200 OK", QByteArray(100'000, 'z')),
                        Reply::Mode::CutMidBody)
            << listing << false << QByteArray() << u"REST request failed: "_s;
        const QByteArray exe = "MZ\x90\0\x03\0\0\0" + QByteArray(5000, 'e');
        QTest::newRow("gzip decoded")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: gzip", gzipped(exe))
            << listing << true << exe << QString();
        QTest::newRow("coding not asked for refused")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: x-squash", exe) << listing
            << false << QByteArray() << u"REST request failed: "_s;
        QTest::newRow("broken gzip refused")
            << RawHttpServer::reply("HTTP/1.1 200 OK\r\nContent-Encoding: gzip",
                                    gzipped(exe).chopped(8) + "garbage!")
            << listing << false << QByteArray() << u"REST request failed: "_s;
    }
    void downloadAnswers() {
        QFETCH(Reply, reply);
        QFETCH(Reply, next);
        QFETCH(bool, result);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);

        RawHttpServer server(answer(reply, next));
        QTemporaryDir dir;
        const QString target = dir.filePath(u"Appointments.exe"_s);
        writeFile(target, "the previous content, longer than some answers");
        TRESTClientDownload client(QString::fromLatin1(server.baseUrl()));
        QCOMPARE(client.Download(u"Appointments.exe"_s, target), result);
        if (result) {
            QCOMPARE(readFile(target), content);
        } else {
            QVERIFY(!QFile::exists(target));
            QVERIFY2(client.LastError().startsWith(error), qPrintable(client.LastError()));
        }
    }

    void writeFailures_data() {
        QTest::addColumn<bool>("diskFull");   // else a file-size limit cuts the write short
        QTest::addColumn<QString>("message"); // LastError(); empty for any
        QTest::newRow("short write") << false << QString();
        // Worded as the share path words it (the copy of platform/file_ops).
        QTest::newRow("disk full") << true << u"There is not enough space on the disk"_s;
    }
    void writeFailures() {
        QFETCH(bool, diskFull);
        QFETCH(QString, message);
        RawHttpServer server(
            answer(RawHttpServer::reply("HTTP/1.1 200 OK", QByteArray(200'000, 'w'))));
        QTemporaryDir dir;
        const QString target = dir.filePath(u"big.bin"_s);
        if (diskFull) {
            // The kernel's always-full device behind a link: every write fails with
            // ENOSPC, and the clean-up removes the link, not the device.
            if (!QFile::exists(u"/dev/full"_s))
                QSKIP("no /dev/full here");
            QVERIFY(QFile::link(u"/dev/full"_s, target));
        }
        // A file-size limit makes the write store fewer bytes than received.
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = previous;
        small.rlim_cur = diskFull ? previous.rlim_cur : 50'000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        TRESTClientDownload client(QString::fromLatin1(server.baseUrl()));
        const bool result = client.Download(u"big.bin"_s, target);
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!result);
        QVERIFY(!QFileInfo(target).isSymLink() && !QFile::exists(target));
        QVERIFY(!client.LastError().isEmpty());
        if (!message.isEmpty())
            QCOMPARE(client.LastError(), message);
        if (diskFull)
            QVERIFY(QFile::exists(u"/dev/full"_s));
    }

    void localPathRefused_data() {
        QTest::addColumn<QString>("relative"); // below the temporary folder
        QTest::addColumn<QString>("message");
        QTest::newRow("missing folder")
            << u"no/such/folder/a.exe"_s << u"The specified path was not found"_s;
        QTest::newRow("too long") << QString(300, u'x') << u"The specified path is too long"_s;
        QTest::newRow("invalid characters") << u"a|b.exe"_s << u"Invalid characters in path"_s;
    }
    void localPathRefused() {
        QFETCH(QString, relative);
        QFETCH(QString, message);
        RawHttpServer server(answer(RawHttpServer::reply("HTTP/1.1 200 OK", "x")));
        QTemporaryDir dir;
        TRESTClientDownload client(QString::fromLatin1(server.baseUrl()));
        try {
            client.Download(u"a.exe"_s, dir.filePath(relative));
            QFAIL("the download should have raised");
        } catch (const platform::Exception& e) {
            QCOMPARE(e.message(), message);
        }
        QVERIFY(!QFile::exists(dir.filePath(relative)));
        // Refused before anything was sent.
        QCOMPARE(server.requests().size(), 0);
    }

    void blankLocalPathRefused() {
        TRESTClientDownload client(u"http://127.0.0.1:1"_s);
        QVERIFY_THROWS_EXCEPTION(platform::EArgumentException,
                                 client.Download(u"a.exe"_s, u"  "_s));
    }
};

QTEST_GUILESS_MAIN(TestRestClients)
#include "tst_rest_clients.moc"
