#include "update_fixtures.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "test_process.h"

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::writeFile;

// A power cut must never leave a short file that already carries the central
// time: the real command, traced, syncs each staged file before its rename and
// the folder once after the renames.
class DurableInstallTest : public QObject {
    Q_OBJECT
private slots:
    void syncedBeforeEveryRename();
};

void DurableInstallTest::syncedBeforeEveryRename() {
    const QString strace = QStandardPaths::findExecutable(u"strace"_s);
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    QTemporaryDir share;
    QTemporaryDir installation;
    writeFile(share.path(), u"SysAdmin.exe"_s, "MZ module", centralAge());
    writeFile(share.path(), u"common.ini"_s, "[common]", centralAge());
    writeFile(share.path(), u"gds32.dll"_s, "library", centralAge());
    writeFile(share.path(), u"Relatorio/RelSysAdmin.rav"_s, "report", centralAge());
    const QString log = installation.filePath(u"trace.log"_s);

    // LeakSanitizer cannot run under a tracer; sanitizer builds leave it out here.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"ASAN_OPTIONS"_s,
                       environment.value(u"ASAN_OPTIONS"_s) + u":detect_leaks=0"_s);
    const test_process::Outcome outcome = test_process::run(
        strace,
        {u"-f"_s, u"-qq"_s, u"-e"_s, u"trace=fsync,fdatasync,rename,renameat,renameat2"_s, u"-o"_s,
         log, QStringLiteral(QUORVIA_UPDATE_BINARY), u"--dir"_s, installation.path(), u"--share"_s,
         share.path(), u"--module"_s, u"SysAdmin.exe"_s, u"--shared-files"_s},
        60000, environment);
    QCOMPARE(outcome.exitCode, 0);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // "PID call(args) = result", or "PID call(args <unfinished ...>" when another
    // thread's call came in between: a thread's calls run one after the other, so
    // the start of each tells the order.
    const QRegularExpression call(uR"(^(\d+)\s+(\w+)\((.*)$)"_s);
    QMap<QString, bool> syncedSinceRename; // per thread
    int renames = 0;
    bool syncedAfterLastRename = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const QRegularExpressionMatch m = call.match(line);
        if (!m.hasMatch() || m.captured(3).endsWith(u"= -1"_s) ||
            m.captured(3).contains(u"= -1 "_s))
            continue;
        const QString thread = m.captured(1);
        if (m.captured(2).startsWith(u"rename")) {
            if (!m.captured(3).contains(u".quorvia-part"_s))
                continue; // not one of ours (the lock, say)
            QVERIFY2(syncedSinceRename.value(thread), qPrintable(line));
            syncedSinceRename[thread] = false;
            ++renames;
            syncedAfterLastRename = false;
        } else {
            syncedSinceRename[thread] = true;
            syncedAfterLastRename = true;
        }
    }
    QCOMPARE(renames, 4);
    QVERIFY2(syncedAfterLastRename, "the folder is not synced after the renames");
}

QTEST_GUILESS_MAIN(DurableInstallTest)
#include "tst_durable_install.moc"
