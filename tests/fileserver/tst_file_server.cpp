#include "file_server.h"
#include "fileserver/iso_date_time.h"
#include "fileserver/rest_clients.h"
#include "platform/file_ops.h"
#include "running_file_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

using namespace Qt::StringLiterals;
using fileserver::NameKind;
using fileserver::ResolvedName;
using platform::encodeDateTime;
using platform::TDateTime;

Q_DECLARE_METATYPE(fileserver::NameKind)
Q_DECLARE_METATYPE(fileserver::ResolvedName::Outcome)

namespace {

// The central copy of the tests, below <temp>/central; <temp>/secret.txt lies
// outside it.
struct CentralCopy {
    QTemporaryDir dir;
    QString root = dir.filePath(u"central"_s);

    struct File {
        QString name; // "/" separators
        QByteArray content;
        TDateTime age;
    };
    QList<File> files = {
        {u"Appointments.exe"_s, "MZ appointments", encodeDateTime(2022, 6, 23, 75'025'123)},
        {u"common.ini"_s, "[Servidor]\r\n", encodeDateTime(2021, 1, 2, 3'000)},
        {u"noext"_s, "n", encodeDateTime(2020, 5, 5, 0)},
        {u"Relatorio/RelAppointments.rav"_s, "report", encodeDateTime(2022, 6, 20, 29'700'000)},
        {u"Relatorio/Sub/Deep.rav"_s, "deep", encodeDateTime(2019, 9, 9, 999)},
        {u"Big.dll"_s, QByteArray(5 * 1024 * 1024 + 17, 'b'), encodeDateTime(2023, 3, 3, 1)},
    };

    CentralCopy() {
        for (const File& f : files)
            write(root + u'/' + f.name, f.content, f.age);
        write(dir.filePath(u"secret.txt"_s), "secret", 0.5);
    }

    static void write(const QString& path, const QByteArray& content, TDateTime age) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(content);
        file.close();
        platform::stampFileAge(path, age);
    }

    const File* find(const QString& name) const {
        for (const File& f : files)
            if (f.name == name)
                return &f;
        return nullptr;
    }
};

QStringList listedNames(const TRESTClientFileList& client) {
    QStringList names;
    for (int i = 0; i < client.Count(); ++i)
        names << client.Items(i)->FileName();
    return names;
}

} // namespace

class TestFileServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Each download writes a trace line; they would drown the test output.
        QLoggingCategory::setFilterRules(u"quorvia.trace.debug=false"_s);
    }

    void maskMatches_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("*.* takes names without a dot") << u"*.*"_s << u"noext"_s << true;
        QTest::newRow("empty takes all") << QString() << u"a.b"_s << true;
        QTest::newRow("* takes an empty name") << u"*"_s << QString() << true;
        QTest::newRow("extension, other case") << u"*.exe"_s << u"A.EXE"_s << true;
        QTest::newRow("extension must end the name") << u"*.exe"_s << u"a.exe.bak"_s << false;
        QTest::newRow("? is one character") << u"?.txt"_s << u"a.txt"_s << true;
        QTest::newRow("? is not two") << u"?.txt"_s << u"ab.txt"_s << false;
        QTest::newRow("? is not none") << u"a?"_s << u"a"_s << false;
        QTest::newRow("several stars") << u"a*b*c"_s << u"aXXbYYbc"_s << true;
        QTest::newRow("several stars, no end") << u"a*b*c"_s << u"aXXbYY"_s << false;
        QTest::newRow("prefix without regard to case") << u"REL*"_s << u"relatorio.rav"_s << true;
        QTest::newRow("literal name") << u"common.ini"_s << u"Common.INI"_s << true;
        QTest::newRow("literal name differs") << u"common.ini"_s << u"common.in"_s << false;
        QTest::newRow("non-ASCII case") << u"relatório*"_s << u"RELATÓRIO.rav"_s << true;
    }
    void maskMatches() {
        QFETCH(QString, mask);
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(fileserver::maskMatches(mask, name), matches);
    }

    void resolveName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<NameKind>("kind");
        QTest::addColumn<ResolvedName::Outcome>("outcome");
        QTest::addColumn<QString>("found"); // relative to the root, "/" separators
        using O = ResolvedName::Outcome;
        QTest::newRow("exact") << u"Appointments.exe"_s << NameKind::File << O::Found
                               << u"Appointments.exe"_s;
        QTest::newRow("other case")
            << u"APPOINTMENTS.EXE"_s << NameKind::File << O::Found << u"Appointments.exe"_s;
        QTest::newRow("subfolder, backslash")
            << u"relatorio\\relappointments.RAV"_s << NameKind::File << O::Found
            << u"Relatorio/RelAppointments.rav"_s;
        QTest::newRow("subfolder, slash") << u"Relatorio/Sub/deep.rav"_s << NameKind::File
                                          << O::Found << u"Relatorio/Sub/Deep.rav"_s;
        QTest::newRow("root folder") << u"\\"_s << NameKind::Folder << O::Found << QString();
        QTest::newRow("folder from the root")
            << u"\\RELATORIO"_s << NameKind::Folder << O::Found << u"Relatorio"_s;
        QTest::newRow("missing file")
            << u"Nope.exe"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("folder is not a file")
            << u"Relatorio"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("file is not a folder")
            << u"common.ini"_s << NameKind::Folder << O::NotFound << QString();
        QTest::newRow("through a file")
            << u"common.ini\\x"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("parent") << u"..\\secret.txt"_s << NameKind::File << O::Forbidden
                                << QString();
        QTest::newRow("parent inside")
            << u"Relatorio\\..\\..\\secret.txt"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("parent that stays inside")
            << u"Relatorio\\..\\common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("parent folder") << u".."_s << NameKind::Folder << O::Forbidden << QString();
        QTest::newRow("absolute file")
            << u"/etc/passwd"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("rooted file")
            << u"\\common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("drive") << u"C:\\Windows\\win.ini"_s << NameKind::File << O::Forbidden
                               << QString();
        QTest::newRow("drive-relative")
            << u"c:common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("network path")
            << u"\\\\server\\share\\a"_s << NameKind::Folder << O::Forbidden << QString();
        QTest::newRow("control character")
            << u"common.ini\n"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("link out of the root")
            << u"outside.txt"_s << NameKind::File << O::Forbidden << QString();
    }
    void resolveName() {
        QFETCH(QString, name);
        QFETCH(NameKind, kind);
        QFETCH(ResolvedName::Outcome, outcome);
        QFETCH(QString, found);
        CentralCopy central;
        QVERIFY(
            QFile::link(central.dir.filePath(u"secret.txt"_s), central.root + u"/outside.txt"_s));
        const ResolvedName r = fileserver::resolveName(central.root, name, kind);
        QCOMPARE(r.outcome, outcome);
        if (outcome == ResolvedName::Outcome::Found)
            QCOMPARE(QFileInfo(r.path).canonicalFilePath(),
                     QFileInfo(central.root + u'/' + found).canonicalFilePath());
    }

    void listing_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QStringList>("names"); // relative to the root, "/" separators
        QTest::addColumn<QString>("prefix");    // the listed folder's part of those names
        const QStringList all = {
            u"Appointments.exe"_s,       u"Big.dll"_s,    u"Relatorio/RelAppointments.rav"_s,
            u"Relatorio/Sub/Deep.rav"_s, u"common.ini"_s, u"noext"_s};
        QTest::newRow("the whole tree") << u"\\"_s << u"*.*"_s << true << all << QString();
        QTest::newRow("top level only")
            << u"\\"_s << u"*.*"_s << false
            << QStringList{u"Appointments.exe"_s, u"Big.dll"_s, u"common.ini"_s, u"noext"_s}
            << QString();
        QTest::newRow("no parameters")
            << QString() << QString() << false
            << QStringList{u"Appointments.exe"_s, u"Big.dll"_s, u"common.ini"_s, u"noext"_s}
            << QString();
        QTest::newRow("mask on names in every folder")
            << u"\\"_s << u"*.RAV"_s << true
            << QStringList{u"Relatorio/RelAppointments.rav"_s, u"Relatorio/Sub/Deep.rav"_s}
            << QString();
        QTest::newRow("subfolder, names relative to it")
            << u"relatorio"_s << u"*.*"_s << true
            << QStringList{u"Relatorio/RelAppointments.rav"_s, u"Relatorio/Sub/Deep.rav"_s}
            << u"Relatorio/"_s;
        QTest::newRow("question mark") << u"\\"_s << u"?ppointments.*"_s << true
                                       << QStringList{u"Appointments.exe"_s} << QString();
        QTest::newRow("nothing matches")
            << u"\\"_s << u"*.pdf"_s << true << QStringList{} << QString();
    }
    void listing() {
        QFETCH(QString, folder);
        QFETCH(QString, mask);
        QFETCH(bool, recursive);
        QFETCH(QStringList, names);
        QFETCH(QString, prefix);
        CentralCopy central;
        RunningFileServer server(central.root);
        TRESTClientFileList client(server.url());
        QVERIFY(client.Execute(folder, mask, recursive));
        QStringList expected;
        for (const QString& n : names)
            expected << QString(n).remove(0, prefix.size()).replace(u'/', u'\\');
        QCOMPARE(listedNames(client), expected);
        for (int i = 0; i < client.Count(); ++i) {
            const auto* file = central.find(names[i]);
            QVERIFY(file);
            QCOMPARE(client.Items(i)->Age(), file->age);
        }
    }

    void listingBodyShape() {
        CentralCopy central;
        const QByteArray body =
            fileserver::folderListBody(central.root + u"/Relatorio"_s, u"*.*"_s, false);
        QCOMPARE(
            body,
            QByteArray(R"([{"fileName":"RelAppointments.rav","age":"2022-06-20T08:15:00.000"}])"));
    }

    void refusedRequests_data() {
        QTest::addColumn<bool>("download"); // else a listing of the folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown file") << true << u"Nope.exe"_s << 404;
        QTest::newRow("unknown folder") << false << u"Nope"_s << 404;
        QTest::newRow("parent file") << true << u"..\\secret.txt"_s << 403;
        QTest::newRow("parent through a folder") << true << u"Relatorio/../../secret.txt"_s << 403;
        QTest::newRow("absolute path") << true << u"/etc/passwd"_s << 403;
        QTest::newRow("drive") << true << u"C:\\secret.txt"_s << 403;
        QTest::newRow("parent folder") << false << u"..\\"_s << 403;
        QTest::newRow("network folder") << false << u"\\\\server\\share"_s << 403;
    }
    void refusedRequests() {
        QFETCH(bool, download);
        QFETCH(QString, name);
        QFETCH(int, status);
        CentralCopy central;
        RunningFileServer server(central.root);
        if (download) {
            TRESTClientDownload client(server.url());
            const QString target = central.dir.filePath(u"fetched"_s);
            QVERIFY(!client.Download(name, target));
            QVERIFY(!QFile::exists(target));
            // The message is the error body.
            const auto record = fileserver::fileInfoErrorFromJSONObject(client.LastError());
            QCOMPARE(record->Status(), status);
            QVERIFY(!record->Error().isEmpty());
            QVERIFY(!record->Detail().isEmpty());
        } else {
            TRESTClientFileList client(server.url());
            QVERIFY(!client.Execute(name, u"*.*"_s, true));
            QCOMPARE(client.Error().Status(), status);
            QCOMPARE(client.Count(), 0);
        }
    }

    void downloadsByAnyLetterCase() {
        CentralCopy central;
        RunningFileServer server(central.root);
        TRESTClientDownload client(server.url());
        const QString target = central.dir.filePath(u"r.rav"_s);
        QVERIFY(client.Download(u"RELATORIO\\relappointments.rav"_s, target));
        QFile f(target);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("report"));
    }

    void concurrentClientsAndOneLogLinePerRequest() {
        CentralCopy central;
        RunningFileServer server(central.root, 8);
        constexpr int clients = 12;
        constexpr int rounds = 3;
        std::atomic<int> failures = 0;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                // One client object per thread, reused: keep-alive between requests.
                TRESTClientDownload client(server.url());
                for (int r = 0; r < rounds; ++r) {
                    for (const auto& file : central.files) {
                        const QString target = central.dir.filePath(
                            u"c%1-%2"_s.arg(c).arg(QFileInfo(file.name).fileName()));
                        QFile::remove(target);
                        bool ok = client.Download(QString(file.name).replace(u'/', u'\\'), target);
                        QFile f(target);
                        ok = ok && f.open(QIODevice::ReadOnly) && f.readAll() == file.content;
                        if (!ok)
                            ++failures;
                    }
                }
            });
        }
        for (auto& t : threads)
            t.join();
        QCOMPARE(failures.load(), 0);
        server.stop();
        const QStringList log = server.log();
        QCOMPARE(log.size(), clients * rounds * int(central.files.size()));
        QVERIFY2(log.first().contains(
                     QRegularExpression(
                     uR"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 "GET /download\?file=\S+" 200 \d+ \d+\.\d{3}ms$)"_s)),
                 qPrintable(log.first()));
    }

    // --- the program itself ------------------------------------------------

    void programServesAndStopsOnSignal() {
        CentralCopy central;
        QProcess server;
        server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                     {u"--root"_s, central.root, u"--listen"_s, u"127.0.0.1:0"_s});
        QVERIFY(server.waitForStarted());
        server.setReadChannel(QProcess::StandardError);
        QByteArray output;
        static const QRegularExpression serving(uR"(on http://127\.0\.0\.1:(\d+))"_s);
        QRegularExpressionMatch match;
        while (!(match = serving.match(QString::fromLocal8Bit(output))).hasMatch()) {
            QVERIFY2(server.waitForReadyRead(), output.constData());
            output += server.readAllStandardError();
        }
        const QString url = u"http://127.0.0.1:"_s + match.captured(1);

        {
            // Clients closed before the stop: idle keep-alive connections would
            // hold the stop back until their keep-alive time ends.
            TRESTClientFileList list(url);
            QVERIFY(list.Execute(u"\\"_s, u"*.*"_s, true));
            QCOMPARE(list.Count(), int(central.files.size()));
            TRESTClientDownload download(url);
            const QString target = central.dir.filePath(u"fetched.exe"_s);
            QVERIFY(download.Download(u"appointments.exe"_s, target));
        }
        server.terminate(); // SIGTERM
        QVERIFY(server.waitForFinished());
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
        output += server.readAllStandardError();
        QVERIFY2(output.contains(R"("GET /folderlist?folder=%5C&mask=*.*&recursive=" 200)"),
                 output.constData());
        QVERIFY2(output.contains(R"("GET /download?file=appointments.exe" 200 15)"),
                 output.constData());
    }

    void programUsage_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("nothing") << QStringList{} << 64;
        QTest::newRow("root without value") << QStringList{u"--root"_s} << 64;
        QTest::newRow("unknown option") << QStringList{u"--root"_s, u"."_s, u"--bogus"_s} << 64;
        QTest::newRow("listen without port")
            << QStringList{u"--root"_s, u"."_s, u"--listen"_s, u"localhost"_s} << 64;
        QTest::newRow("port out of range")
            << QStringList{u"--root"_s, u"."_s, u"--listen"_s, u"127.0.0.1:70000"_s} << 64;
        QTest::newRow("no threads")
            << QStringList{u"--root"_s, u"."_s, u"--threads"_s, u"0"_s} << 64;
        QTest::newRow("missing root") << QStringList{u"--root"_s, u"/no/such/folder"_s} << 66;
    }
    void programUsage() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess server;
        server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY), arguments);
        QVERIFY(server.waitForFinished());
        QCOMPARE(server.exitCode(), exitCode);
        QVERIFY(!server.readAllStandardError().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileServer)
#include "tst_file_server.moc"
