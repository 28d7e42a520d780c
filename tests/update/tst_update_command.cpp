#include "update_fixtures.h"

#include "raw_http_server.h"
#include "update_command.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::writeFile;

namespace {

const QString None = u"<none>"_s;

QString orNone(const std::optional<QString>& value) {
    return value ? *value : None;
}

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome runBinary(const QStringList& arguments, const QString& workingDirectory = QString()) {
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(QUORVIA_UPDATE_BINARY), arguments);
    if (!process.waitForFinished(60000))
        qFatal("quorvia-update did not finish");
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A share with two shared support files and one module, and an installation.
struct Installation {
    QTemporaryDir share;
    QTemporaryDir dir;

    explicit Installation(const QString& setup) {
        writeFile(share.path(), u"SysAdmin.exe"_s, "exe", centralAge());
        writeFile(share.path(), u"common.ini"_s, "ini", centralAge());
        writeFile(share.path(), u"Relatorio/RelSysAdmin.rav"_s, "rav", centralAge());
        if (setup == u"ini")
            writeFile(dir.path(), u"Quorvia.ini"_s,
                      "[Servidor]\r\nLocal Exe=" + share.path().toUtf8() + "\r\n");
        if (setup == u"ini to nowhere")
            writeFile(dir.path(), u"Quorvia.ini"_s, "[servidor]\nlocal exe=/nowhere/at/all\n");
        if (setup == u"folder in place")
            writeFile(dir.path(), u"common.ini/keep"_s, "keep");
        if (setup == u"file named Relatorio")
            writeFile(dir.path(), u"Relatorio"_s, "not a folder");
        if (setup == u"duplicates")
            writeFile(share.path(), u"COMMON.INI"_s, "twin");
    }

    QStringList expand(const QStringList& arguments) const {
        QStringList result;
        for (QString argument : arguments)
            result << argument.replace(u"{dir}"_s, dir.path()).replace(u"{share}"_s, share.path());
        return result;
    }
};

} // namespace

class UpdateCommandTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void summary_data();
    void summary();
    void command_data();
    void command();
    void jsonSummary();
    void urlWinsOverShare();
    void refusedListing_data();
    void refusedListing();
    void checkedDownloadNamesFileAndReason_data();
    void checkedDownloadNamesFileAndReason();
};

void UpdateCommandTest::parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("problem"); // the parser's or the command's; empty when valid
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("share");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("module");
    QTest::addColumn<bool>("sharedFiles");
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("wait");

    const QString nothingToDo = u"nothing to do: give --module NAME, --shared-files or both"_s;
    QTest::newRow("everything") << QStringList{u"--dir"_s,    u"/inst"_s,     u"--share"_s,
                                               u"/sh"_s,      u"--url"_s,     u"http://h/"_s,
                                               u"--module"_s, u"Costs.exe"_s, u"--shared-files"_s,
                                               u"--json"_s}
                                << QString() << u"/inst"_s << u"/sh"_s << u"http://h/"_s
                                << u"Costs.exe"_s << true << true << 120;
    QTest::newRow("values after =")
        << QStringList{u"--share=/a b"_s, u"--module=Finance.exe"_s} << QString() << QString()
        << u"/a b"_s << None << u"Finance.exe"_s << false << false << 120;
    QTest::newRow("values are trimmed")
        << QStringList{u"--dir"_s,      u" /inst\t"_s, u"--url=  127.0.0.1:8080  "_s,
                       u"--share"_s,    u"\n/sh "_s,   u"--module"_s,
                       u" Costs.exe "_s}
        << QString() << u"/inst"_s << u"/sh"_s << u"127.0.0.1:8080"_s << u"Costs.exe"_s << false
        << false << 120;
    QTest::newRow("empty sources are values")
        << QStringList{u"--url="_s, u"--share"_s, u""_s, u"--shared-files"_s} << QString()
        << QString() << QString() << QString() << QString() << true << false << 120;
    QTest::newRow("nothing to do") << QStringList{} << nothingToDo << QString() << None << None
                                   << QString() << false << false << 120;
    QTest::newRow("only --json is nothing to do")
        << QStringList{u"--json"_s, u"--share=/sh"_s} << nothingToDo << QString() << None << None
        << QString() << false << false << 120;
    QTest::newRow("a blank module") << QStringList{u"--shared-files"_s, u"--module= "_s}
                                    << u"--module needs a value that is not blank"_s << QString()
                                    << None << None << QString() << false << false << 120;
    QTest::newRow("a blank folder") << QStringList{u"--shared-files"_s, u"--dir"_s, u""_s}
                                    << u"--dir needs a value that is not blank"_s << QString()
                                    << None << None << QString() << false << false << 120;
    QTest::newRow("unknown option")
        << QStringList{u"--force"_s} << u"Unknown option 'force'."_s << QString() << None << None
        << QString() << false << false << 120;
    QTest::newRow("missing value")
        << QStringList{u"--shared-files"_s, u"--module"_s} << u"Missing value after '--module'."_s
        << QString() << None << None << QString() << false << false << 120;
    QTest::newRow("value for a flag") << QStringList{u"--shared-files"_s, u"--json=yes"_s}
                                      << u"Unexpected value after '--json'."_s << QString() << None
                                      << None << QString() << false << false << 120;
    QTest::newRow("wait in seconds")
        << QStringList{u"--shared-files"_s, u"--wait"_s, u"0"_s} << QString() << QString() << None
        << None << QString() << true << false << 0;
    QTest::newRow("wait not a number")
        << QStringList{u"--shared-files"_s, u"--wait=soon"_s}
        << u"--wait takes a number of seconds, not 'soon'"_s << QString() << None << None
        << QString() << false << false << 120;
    QTest::newRow("negative wait") << QStringList{u"--shared-files"_s, u"--wait"_s, u"-5"_s}
                                   << u"--wait takes a number of seconds, not '-5'"_s << QString()
                                   << None << None << QString() << false << false << 120;
}

void UpdateCommandTest::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, problem);

    QCommandLineParser parser;
    addUpdateOptions(parser);
    if (!parser.parse(QStringList{u"quorvia-update"_s} + arguments)) {
        QCOMPARE(parser.errorText(), problem);
        return;
    }
    const auto parsed = updateOptionsFrom(parser);
    if (const auto* found = std::get_if<QString>(&parsed)) {
        QCOMPARE(*found, problem);
        return;
    }
    QCOMPARE(QString(), problem);
    const auto& options = std::get<UpdateCommandOptions>(parsed);
    QTEST(options.dir, "dir");
    QTEST(orNone(options.share), "share");
    QTEST(orNone(options.url), "url");
    QTEST(options.module, "module");
    QTEST(options.sharedFiles, "sharedFiles");
    QTEST(options.json, "json");
    QTEST(options.waitSeconds, "wait");
}

void UpdateCommandTest::summary_data() {
    QTest::addColumn<int>("checked");
    QTest::addColumn<int>("stale");
    QTest::addColumn<int>("fetched");
    QTest::addColumn<int>("failed");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("missingModule");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("problems"); // {src} is the source's description

    QTest::newRow("nothing") << 0 << 0 << 0 << 0 << qint64(0) << QString() << false
                             << u"checked 0, stale 0, fetched 0, failed 0, elapsed 0.000 s"_s << 0
                             << QStringList{};
    QTest::newRow("all fetched") << 56 << 3 << 3 << 0 << qint64(1234) << QString() << false
                                 << u"checked 56, stale 3, fetched 3, failed 0, elapsed 1.234 s"_s
                                 << 0 << QStringList{};
    QTest::newRow("some failed") << 55 << 5 << 3 << 2 << qint64(61005) << QString() << false
                                 << u"checked 55, stale 5, fetched 3, failed 2, elapsed 61.005 s"_s
                                 << 1
                                 << QStringList{u"/inst/a.dll: boom"_s,
                                                u"/inst/Relatorio/b.rav: boom"_s};
    QTest::newRow("module in neither copy")
        << 1 << 0 << 0 << 0 << qint64(5) << u"Costs.exe"_s << false
        << u"checked 1, stale 0, fetched 0, failed 0, elapsed 0.005 s"_s << 1
        << QStringList{u"Costs.exe: not in the central copy {src}, nor in /inst"_s};
    QTest::newRow("listing refused")
        << 1 << 0 << 0 << 0 << qint64(5) << QString() << true
        << u"checked 1, stale 0, fetched 0, failed 0, elapsed 0.005 s"_s << 2
        << QStringList{
               u"{src} refused the listing: status 403, error \"Forbidden\", detail \"no\""_s};
}

void UpdateCommandTest::summary() {
    RunSummary summary;
    QFETCH(int, checked);
    QFETCH(int, stale);
    QFETCH(int, fetched);
    QFETCH(int, failed);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, missingModule);
    QFETCH(bool, refused);
    QFETCH(QStringList, problems);
    summary.checked = checked;
    summary.stale = stale;
    summary.fetched = fetched;
    summary.failed = failed;
    summary.elapsedMs = elapsedMs;
    for (int i = 0; i < failed; ++i)
        summary.failures.append({i == 0 ? u"a.dll"_s : u"Relatorio\\b.rav"_s, u"boom"_s});
    summary.missingModule = missingModule;
    if (refused)
        summary.refused = RefusedListing{403, u"Forbidden"_s, u"no"_s};
    QTEST(summaryLine(summary), "line");
    QTEST(exitCodeFor(summary), "exitCode");

    const QString source = u"file server http://h:1"_s;
    QCOMPARE(problemLines(summary, u"/inst/"_s, source),
             problems.replaceInStrings(u"{src}"_s, source));

    // JSON names the same problems; keys for them only when they apply.
    const QJsonObject json = QJsonDocument::fromJson(summaryJson(summary).toUtf8()).object();
    QCOMPARE(json.value(u"failures"_s).toArray().size(), failed);
    QCOMPARE(json.value(u"missingModule"_s).toString(), missingModule);
    QCOMPARE(json.contains(u"missingModule"_s), !missingModule.isEmpty());
    QCOMPARE(json.value(u"refused"_s).toObject().value(u"status"_s).toInt(), refused ? 403 : 0);
    QCOMPARE(json.contains(u"refused"_s), refused);
}

void UpdateCommandTest::command_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // a pattern for the whole standard output
    QTest::addColumn<QString>("err"); // text standard error must contain ({dir}, {share} expanded)

    const QString elapsed = uR"(, elapsed \d+\.\d{3} s\n)"_s;
    const QString tryHelp = u"\nTry 'quorvia-update --help' for more information.\n"_s;
    QTest::newRow("cold run") << QString()
                              << QStringList{u"--dir"_s,         u"{dir}"_s,    u"--share"_s,
                                             u"{share}"_s,       u"--module"_s, u"SysAdmin.exe"_s,
                                             u"--shared-files"_s}
                              << 0 << u"checked 56, stale 3, fetched 3, failed 0"_s + elapsed
                              << QString();
    QTest::newRow("share from the settings file")
        << u"ini"_s << QStringList{u"--dir"_s, u"{dir}"_s, u"--shared-files"_s} << 0
        << u"checked 55, stale 2, fetched 2, failed 0"_s + elapsed << QString();
    QTest::newRow("the current folder by default")
        << u"ini"_s << QStringList{u"--shared-files"_s} << 0
        << u"checked 55, stale 2, fetched 2, failed 0"_s + elapsed << QString();
    QTest::newRow("--share wins over the settings file")
        << u"ini to nowhere"_s << QStringList{u"--dir"_s,   u"{dir}"_s,    u"--share"_s,
                                              u"{share}"_s, u"--module"_s, u"sysadmin.EXE"_s}
        << 0 << u"checked 1, stale 1, fetched 1, failed 0"_s + elapsed << QString();
    QTest::newRow("paths and values with blanks around them")
        << QString()
        << QStringList{u"--dir= {dir} "_s, u"--share"_s, u"\t{share} "_s, u"--module"_s,
                       u" SysAdmin.exe"_s}
        << 0 << u"checked 1, stale 1, fetched 1, failed 0"_s + elapsed << QString();
    QTest::newRow("nothing asked")
        << QString() << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s} << 64
        << QString()
        << u"quorvia-update: nothing to do: give --module NAME, --shared-files or both"_s + tryHelp;
    QTest::newRow("module in neither copy")
        << QString() << QStringList{u"--dir"_s,   u"{dir}"_s,    u"--share"_s,
                                    u"{share}"_s, u"--module"_s, u"Costs.exe"_s}
        << 1 << u"checked 1, stale 0, fetched 0, failed 0"_s + elapsed
        << u"Costs.exe: not in the central copy share folder {share}/, nor in {dir}"_s;
    QTest::newRow("one file fails")
        << u"folder in place"_s
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s, u"--shared-files"_s} << 1
        << u"checked 55, stale 2, fetched 1, failed 1"_s + elapsed
        << u"{dir}/common.ini: Is a directory ({dir}/common.ini: Is a directory)"_s;
    QTest::newRow("report folder cannot be made")
        << u"file named Relatorio"_s
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s, u"--shared-files"_s} << 1
        << u"checked 55, stale 2, fetched 1, failed 1"_s + elapsed
        << u"quorvia-update: cannot create the report folder {dir}/Relatorio: File exists\n"_s;
    QTest::newRow("missing share")
        << QString()
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}/nowhere"_s,
                       u"--shared-files"_s}
        << 2 << QString() << u"{share}/nowhere/: No such file or directory"_s;
    QTest::newRow("settings point nowhere")
        << u"ini to nowhere"_s << QStringList{u"--dir"_s, u"{dir}"_s, u"--shared-files"_s} << 2
        << QString() << u"/nowhere/at/all/: No such file or directory"_s;
    // The later of two names that differ only in case wins ("common.ini"), and the run goes on.
    QTest::newRow("names equal but for case in the share")
        << u"duplicates"_s
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s, u"--shared-files"_s} << 0
        << u"checked 55, stale 2, fetched 2, failed 0"_s + elapsed << QString();
    QTest::newRow("bad module name")
        << QString() << QStringList{u"--dir"_s,   u"{dir}"_s,    u"--share"_s,
                                    u"{share}"_s, u"--module"_s, u"a|b.exe"_s}
        << 2 << QString() << u"Invalid characters in path (\"a|b.exe\")"_s;
    QTest::newRow("installation folder missing")
        << QString()
        << QStringList{u"--dir"_s, u"{dir}/nowhere"_s, u"--share"_s, u"{share}"_s,
                       u"--shared-files"_s}
        << 2 << QString()
        << u"quorvia-update: installation folder {dir}/nowhere: No such file or directory\n"_s;
    QTest::newRow("installation folder is a file")
        << QString()
        << QStringList{u"--dir"_s, u"{share}/common.ini"_s, u"--share"_s, u"{share}"_s,
                       u"--shared-files"_s}
        << 2 << QString()
        << u"quorvia-update: installation folder {share}/common.ini: Not a directory\n"_s;
    QTest::newRow("no source") << QString()
                               << QStringList{u"--dir"_s, u"{dir}"_s, u"--shared-files"_s} << 3
                               << QString() << u"No source configured"_s;
    QTest::newRow("blank url is no source")
        << QString()
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--url"_s, u"  "_s, u"--shared-files"_s} << 3
        << QString() << u"No source configured"_s;
    QTest::newRow("blank url leaves the share in charge")
        << QString() << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s,       u"{share}"_s,
                                    u"--url"_s, u" "_s,     u"--shared-files"_s}
        << 0 << u"checked 55, stale 2, fetched 2, failed 0"_s + elapsed << QString();
}

void UpdateCommandTest::command() {
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    Installation installation(setup);
    const Outcome outcome = runBinary(installation.expand(arguments), installation.dir.path());

    QCOMPARE(outcome.exitCode, exitCode);
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(out));
    QVERIFY2(pattern.match(outcome.out).hasMatch(), qPrintable(outcome.out));
    if (err.isEmpty())
        QCOMPARE(outcome.err, QString());
    else
        QVERIFY2(outcome.err.contains(installation.expand({err}).constFirst()),
                 qPrintable(outcome.err));
    QVERIFY(!outcome.err.contains(u'\r')); // no progress line when not on a terminal
    if (exitCode == 0 && arguments.contains(u"--shared-files"_s))
        QCOMPARE(fixtures::readFile(installation.dir.path() + u"/common.ini"_s), QByteArray("ini"));
    if (setup.isEmpty() && exitCode == 0 && arguments.contains(u"--module"_s))
        QCOMPARE(fixtures::readFile(installation.dir.path() + u"/SysAdmin.exe"_s),
                 QByteArray("exe"));
    // Whatever else happened, a run that got going leaves the report folder as the
    // launcher would.
    if (exitCode == 0)
        QVERIFY(QFileInfo(installation.dir.path() + u"/Relatorio"_s).isDir());
}

void UpdateCommandTest::jsonSummary() {
    Installation installation(u"folder in place"_s);
    const Outcome outcome = runBinary(installation.expand(
        {u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s, u"--shared-files"_s, u"--json"_s}));

    QCOMPARE(outcome.exitCode, 1);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(outcome.out.toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject summary = document.object();
    QCOMPARE(summary.keys(), (QStringList{u"checked"_s, u"elapsedMs"_s, u"failed"_s, u"failures"_s,
                                          u"fetched"_s, u"stale"_s}));
    QCOMPARE(summary.value(u"checked"_s).toInt(), 55);
    QCOMPARE(summary.value(u"stale"_s).toInt(), 2);
    QCOMPARE(summary.value(u"fetched"_s).toInt(), 1);
    QCOMPARE(summary.value(u"failed"_s).toInt(), 1);
    QVERIFY(summary.value(u"elapsedMs"_s).isDouble());
    const QJsonArray failures = summary.value(u"failures"_s).toArray();
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures[0].toObject().value(u"file"_s).toString(), u"common.ini"_s);
    const QString message = failures[0].toObject().value(u"error"_s).toString();
    QVERIFY(!message.isEmpty());
    QVERIFY(outcome.err.contains(u"common.ini: "_s + message));
}

void UpdateCommandTest::urlWinsOverShare() {
    // A fresh folder: the server path creates no folders, so the command must make
    // the report folder itself as the launcher does at start-up.
    Installation installation{QString()};
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                 {u"--root"_s, installation.share.path(), u"--listen"_s, u"127.0.0.1:0"_s});
    QVERIFY(server.waitForStarted());
    const auto stopServer = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished();
    });
    // It names its address on its first line.
    const QRegularExpression address(uR"(http://127\.0\.0\.1:\d+)"_s);
    QString banner;
    while (!address.match(banner).hasMatch() && server.waitForReadyRead(20000))
        banner += QString::fromUtf8(server.readAll());
    const QString url = address.match(banner).captured();
    QVERIFY2(!url.isEmpty(), qPrintable(banner));

    const Outcome outcome = runBinary(installation.expand(
        {u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}/nowhere"_s, u"--url"_s,
         u"  "_s + url + u"  "_s, u"--module"_s, u"SysAdmin.exe"_s, u"--shared-files"_s}));
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(outcome.out.startsWith(u"checked 56, stale 3, fetched 3, failed 0, elapsed "_s),
             qPrintable(outcome.out));
    QCOMPARE(outcome.err, QString()); // the download trace is off by default
    QCOMPARE(fixtures::readFile(installation.dir.path() + u"/Relatorio/RelSysAdmin.rav"_s),
             QByteArray("rav"));
    QCOMPARE(fixtures::ageOf(installation.dir.path() + u"/SysAdmin.exe"_s), centralAge());
}

void UpdateCommandTest::refusedListing_data() {
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("err");

    QTest::newRow("401")
        << QByteArray("HTTP/1.1 401 Unauthorized")
        << QByteArray(R"({"status":401,"error":"Unauthorized","detail":"token"})") << false
        << u"refused the listing: status 401, error \"Unauthorized\", detail \"token\""_s;
    QTest::newRow("403 as JSON")
        << QByteArray("HTTP/1.1 403 Forbidden")
        << QByteArray(R"({"status":403,"error":"Forbidden","detail":"outside the root"})") << true
        << u"refused the listing: status 403, error \"Forbidden\", detail \"outside the root\""_s;
    QTest::newRow("404") << QByteArray("HTTP/1.1 404 Not Found")
                         << QByteArray(R"({"status":404,"error":"Not Found","detail":""})") << false
                         << u"refused the listing: status 404, error \"Not Found\", detail \"\""_s;
}

void UpdateCommandTest::refusedListing() {
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, record);
    QFETCH(bool, json);
    QFETCH(QString, err);

    RawHttpServer server([&](const RawHttpServer::Request&) {
        return RawHttpServer::reply(statusLine, record, "application/json");
    });
    Installation installation{QString()};
    // A module present locally: a refused listing must not pass for "up to date".
    writeFile(installation.dir.path(), u"SysAdmin.exe"_s, "old");
    const QString url = QString::fromLatin1(server.baseUrl());
    QStringList arguments{u"--dir"_s, installation.dir.path(), u"--url"_s,
                          url,        u"--module"_s,           u"SysAdmin.exe"_s};
    if (json)
        arguments << u"--json"_s;
    const Outcome outcome = runBinary(arguments);

    QCOMPARE(outcome.exitCode, 2);
    QVERIFY2(outcome.err.contains(u"file server "_s + url + u' ' + err), qPrintable(outcome.err));
    if (json) {
        const QJsonObject summary = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
        const QJsonObject refused = summary.value(u"refused"_s).toObject();
        QCOMPARE(refused.value(u"status"_s).toInt(), 403);
        QCOMPARE(refused.value(u"error"_s).toString(), u"Forbidden"_s);
        QCOMPARE(refused.value(u"detail"_s).toString(), u"outside the root"_s);
    } else {
        QVERIFY2(outcome.out.startsWith(u"checked 1, stale 0, fetched 0, failed 0"_s),
                 qPrintable(outcome.out));
    }
    QCOMPARE(fixtures::readFile(installation.dir.path() + u"/SysAdmin.exe"_s), QByteArray("old"));
}

void UpdateCommandTest::checkedDownloadNamesFileAndReason_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("reason");
    QTest::newRow("cut short") << QByteArray("MZ new")
                               << u"Received 6 bytes, the central copy has 12"_s;
    QTest::newRow("other bytes") << QByteArray("MZ new BUILX") << u"Received SHA-256 "_s;
}

// A file whose bytes are not the listed ones fails alone, and both the line on
// standard error and the JSON summary say which file and why.
void UpdateCommandTest::checkedDownloadNamesFileAndReason() {
    QFETCH(QByteArray, body);
    QFETCH(QString, reason);
    const QByteArray central = "MZ new BUILD";
    const QByteArray digest = QCryptographicHash::hash(central, QCryptographicHash::Sha256).toHex();
    const QByteArray listing =
        R"([{"fileName":"SysAdmin.exe","age":"2022-06-23T20:50:25.000","size":12,"sha256":")" +
        digest + R"("}])";
    RawHttpServer server([&](const RawHttpServer::Request& request) {
        if (request.target().startsWith("/folderlist"))
            return RawHttpServer::reply("HTTP/1.1 200 OK", listing, "application/json");
        return RawHttpServer::reply("HTTP/1.1 200 OK", body);
    });
    Installation installation{QString()};
    writeFile(installation.dir.path(), u"SysAdmin.exe"_s, "old");
    const Outcome outcome = runBinary({u"--dir"_s, installation.dir.path(), u"--url"_s,
                                       QString::fromLatin1(server.baseUrl()), u"--module"_s,
                                       u"SysAdmin.exe"_s, u"--json"_s});

    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.contains(installation.dir.path() + u"/SysAdmin.exe: "_s + reason),
             qPrintable(outcome.err));
    const QJsonObject summary = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
    QCOMPARE(summary.value(u"failed"_s).toInt(), 1);
    const QJsonObject failure = summary.value(u"failures"_s).toArray().at(0).toObject();
    QCOMPARE(failure.value(u"file"_s).toString(), u"SysAdmin.exe"_s);
    QVERIFY2(failure.value(u"error"_s).toString().startsWith(reason),
             qPrintable(failure.value(u"error"_s).toString()));
    QCOMPARE(fixtures::readFile(installation.dir.path() + u"/SysAdmin.exe"_s), QByteArray("old"));
}

QTEST_GUILESS_MAIN(UpdateCommandTest)
#include "tst_update_command.moc"
