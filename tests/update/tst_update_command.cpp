#include "update_fixtures.h"

#include "update_command.h"

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
};

void UpdateCommandTest::parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("kind"); // ParsedCommandLine::Kind
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("share");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("module");
    QTest::addColumn<bool>("sharedFiles");
    QTest::addColumn<bool>("json");

    const int run = static_cast<int>(ParsedCommandLine::Kind::Run);
    const int help = static_cast<int>(ParsedCommandLine::Kind::Help);
    const int usage = static_cast<int>(ParsedCommandLine::Kind::UsageError);

    QTest::newRow("nothing") << QStringList{} << run << QString() << None << None << QString()
                             << false << false;
    QTest::newRow("everything") << QStringList{u"--dir"_s,    u"/inst"_s,     u"--share"_s,
                                               u"/sh"_s,      u"--url"_s,     u"http://h/"_s,
                                               u"--module"_s, u"Costs.exe"_s, u"--shared-files"_s,
                                               u"--json"_s}
                                << run << u"/inst"_s << u"/sh"_s << u"http://h/"_s << u"Costs.exe"_s
                                << true << true;
    QTest::newRow("values after =")
        << QStringList{u"--share=/a b"_s, u"--module=Finance.exe"_s} << run << QString()
        << u"/a b"_s << None << u"Finance.exe"_s << false << false;
    QTest::newRow("empty values are values")
        << QStringList{u"--url="_s, u"--share"_s, u""_s} << run << QString() << QString()
        << QString() << QString() << false << false;
    QTest::newRow("help") << QStringList{u"--json"_s, u"--help"_s} << help << QString() << None
                          << None << QString() << false << true;
    QTest::newRow("unknown option") << QStringList{u"--force"_s} << usage << QString() << None
                                    << None << QString() << false << false;
    QTest::newRow("positional argument") << QStringList{u"SysAdmin.exe"_s} << usage << QString()
                                         << None << None << QString() << false << false;
    QTest::newRow("missing value") << QStringList{u"--module"_s} << usage << QString() << None
                                   << None << QString() << false << false;
    QTest::newRow("value for a flag") << QStringList{u"--json=yes"_s} << usage << QString() << None
                                      << None << QString() << false << false;
    QTest::newRow("wait in seconds") << QStringList{u"--wait"_s, u"0"_s} << run << QString() << None
                                     << None << QString() << false << false;
    QTest::newRow("wait not a number") << QStringList{u"--wait=soon"_s} << usage << QString()
                                       << None << None << QString() << false << false;
    QTest::newRow("negative wait") << QStringList{u"--wait"_s, u"-5"_s} << usage << QString()
                                   << None << None << QString() << false << false;
}

void UpdateCommandTest::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(int, kind);

    const ParsedCommandLine parsed = parseUpdateCommandLine(arguments);
    QCOMPARE(static_cast<int>(parsed.kind), kind);
    if (parsed.kind == ParsedCommandLine::Kind::UsageError) {
        QVERIFY(!parsed.message.isEmpty());
        return;
    }
    if (parsed.kind == ParsedCommandLine::Kind::Help)
        return;
    QTEST(parsed.options.dir, "dir");
    QTEST(orNone(parsed.options.share), "share");
    QTEST(orNone(parsed.options.url), "url");
    QTEST(parsed.options.module, "module");
    QTEST(parsed.options.sharedFiles, "sharedFiles");
    QTEST(parsed.options.json, "json");
}

void UpdateCommandTest::summary_data() {
    QTest::addColumn<int>("checked");
    QTest::addColumn<int>("stale");
    QTest::addColumn<int>("fetched");
    QTest::addColumn<int>("failed");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("nothing") << 0 << 0 << 0 << 0 << qint64(0)
                             << u"checked 0, stale 0, fetched 0, failed 0, elapsed 0.000 s"_s << 0;
    QTest::newRow("all fetched") << 56 << 3 << 3 << 0 << qint64(1234)
                                 << u"checked 56, stale 3, fetched 3, failed 0, elapsed 1.234 s"_s
                                 << 0;
    QTest::newRow("some failed") << 55 << 5 << 3 << 2 << qint64(61005)
                                 << u"checked 55, stale 5, fetched 3, failed 2, elapsed 61.005 s"_s
                                 << 1;
}

void UpdateCommandTest::summary() {
    RunSummary summary;
    QFETCH(int, checked);
    QFETCH(int, stale);
    QFETCH(int, fetched);
    QFETCH(int, failed);
    QFETCH(qint64, elapsedMs);
    summary.checked = checked;
    summary.stale = stale;
    summary.fetched = fetched;
    summary.failed = failed;
    summary.elapsedMs = elapsedMs;
    QTEST(summaryLine(summary), "line");
    QTEST(exitCodeFor(summary), "exitCode");
}

void UpdateCommandTest::command_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // a pattern for the whole standard output
    QTest::addColumn<QString>("err"); // text standard error must contain

    const QString elapsed = uR"(, elapsed \d+\.\d{3} s\n)"_s;
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
    QTest::newRow("nothing asked")
        << QString() << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s} << 0
        << u"checked 0, stale 0, fetched 0, failed 0"_s + elapsed << QString();
    QTest::newRow("one file fails")
        << u"folder in place"_s
        << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s, u"--shared-files"_s} << 1
        << u"checked 55, stale 2, fetched 1, failed 1"_s + elapsed << u"common.ini: "_s;
    QTest::newRow("missing share") << QString()
                                   << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s,
                                                  u"{share}/nowhere"_s, u"--shared-files"_s}
                                   << 2 << QString() << u"The specified path was not found"_s;
    QTest::newRow("settings point nowhere")
        << u"ini to nowhere"_s << QStringList{u"--dir"_s, u"{dir}"_s} << 2 << QString()
        << u"The specified path was not found"_s;
    QTest::newRow("duplicate names in the share")
        << u"duplicates"_s << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}"_s} << 2
        << QString() << u"Duplicates not allowed"_s;
    QTest::newRow("bad module name")
        << QString() << QStringList{u"--dir"_s,   u"{dir}"_s,    u"--share"_s,
                                    u"{share}"_s, u"--module"_s, u"a|b.exe"_s}
        << 2 << QString() << u"Invalid characters in path"_s;
    QTest::newRow("installation folder missing")
        << QString() << QStringList{u"--dir"_s, u"{dir}/nowhere"_s, u"--share"_s, u"{share}"_s} << 2
        << QString() << u"The specified path was not found"_s;
    QTest::newRow("no source") << QString() << QStringList{u"--dir"_s, u"{dir}"_s} << 3 << QString()
                               << u"No source configured"_s;
    QTest::newRow("blank url is no source")
        << QString() << QStringList{u"--dir"_s, u"{dir}"_s, u"--url"_s, u"  "_s} << 3 << QString()
        << u"No source configured"_s;
    QTest::newRow("blank url with a share still selects the server")
        << QString() << QStringList{u"--dir"_s, u"{dir}"_s, u"--share"_s,       u"{share}"_s,
                                    u"--url"_s, u" "_s,     u"--shared-files"_s}
        << 2 << QString() << u"\n"_s; // some message, whatever the server client says
    QTest::newRow("unknown option")
        << QString() << QStringList{u"--all"_s} << 64 << QString() << u"unknown argument: --all"_s;
    QTest::newRow("missing value")
        << QString() << QStringList{u"--dir"_s} << 64 << QString() << u"missing value for --dir"_s;
    QTest::newRow("help") << QString() << QStringList{u"--help"_s} << 0 << u"Usage: (.|\n)*"_s
                          << QString();
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
        QVERIFY2(outcome.err.contains(err), qPrintable(outcome.err));
    QVERIFY(!outcome.err.contains(u'\r')); // no progress line when not on a terminal
    if (exitCode == 0 && arguments.contains(u"--shared-files"_s))
        QCOMPARE(fixtures::readFile(installation.dir.path() + u"/common.ini"_s), QByteArray("ini"));
    if (setup.isEmpty() && exitCode == 0 && arguments.contains(u"--module"_s))
        QCOMPARE(fixtures::readFile(installation.dir.path() + u"/SysAdmin.exe"_s),
                 QByteArray("exe"));
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
#ifndef QUORVIA_FILESERVER_BINARY
    QSKIP("the file server is not part of this build");
#else
    Installation installation{QString()};
    // The server path creates no folders: the launcher makes this one at start-up.
    QVERIFY(QDir(installation.dir.path()).mkdir(u"Relatorio"_s));
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

    const Outcome outcome = runBinary(
        installation.expand({u"--dir"_s, u"{dir}"_s, u"--share"_s, u"{share}/nowhere"_s, u"--url"_s,
                             url, u"--module"_s, u"SysAdmin.exe"_s, u"--shared-files"_s}));
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(outcome.out.startsWith(u"checked 56, stale 3, fetched 3, failed 0, elapsed "_s),
             qPrintable(outcome.out));
    QCOMPARE(outcome.err, QString()); // the download trace is off by default
    QCOMPARE(fixtures::readFile(installation.dir.path() + u"/Relatorio/RelSysAdmin.rav"_s),
             QByteArray("rav"));
    QCOMPARE(fixtures::ageOf(installation.dir.path() + u"/SysAdmin.exe"_s), centralAge());
#endif
}

QTEST_GUILESS_MAIN(UpdateCommandTest)
#include "tst_update_command.moc"
