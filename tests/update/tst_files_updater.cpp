#include "update_fixtures.h"

#include "platform/errors.h"
#include "update/files_updater.h"
#include "update/shared_files.h"
#include "update/staged_replace.h"

#include <QCoreApplication>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <mutex>

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::readFile;
using fixtures::writeFile;

namespace {

// Everything a run tells: its observer calls and its completions.
struct RunRecord {
    std::mutex lock;
    int completions = 0;
    bool completedInMainThread = false;
    int checked = -1;
    int queued = -1;
    QStringList started;
    QStringList succeeded;
    QMap<QString, QString> failed;
};

struct Run {
    std::shared_ptr<RunRecord> record = std::make_shared<RunRecord>();
    std::weak_ptr<IFilesUpdater> updater;
    QList<TFileInfoDTO> localList;
};

// Creates an updater, executes it, drops the caller's reference at once (as the
// launcher does) and returns; Execute's exceptions pass on.
Run startRun(const QString& localPath, const QString& remotePath, const QString& url,
             const QString& module, bool additional, std::unique_ptr<TInstallationLock> lock = {}) {
    Run run;
    auto record = run.record;
    TUpdateObserver observer;
    observer.filesQueued = [record](int checked, int queued) {
        const std::lock_guard guard(record->lock);
        record->checked = checked;
        record->queued = queued;
    };
    observer.fileStarted = [record](const QString& name) {
        const std::lock_guard guard(record->lock);
        record->started.append(name);
    };
    observer.fileSucceeded = [record](const QString& name) {
        const std::lock_guard guard(record->lock);
        record->succeeded.append(name);
    };
    observer.fileFailed = [record](const QString& name, const QString& message) {
        const std::lock_guard guard(record->lock);
        record->failed.insert(name, message);
    };
    std::shared_ptr<IFilesUpdater> updater = TFilesUpdater::New(
        localPath, remotePath, url,
        [record] {
            const std::lock_guard guard(record->lock);
            ++record->completions;
            record->completedInMainThread =
                QThread::currentThread() == QCoreApplication::instance()->thread();
        },
        observer, std::move(lock));
    run.updater = updater;
    updater->Execute(module, additional);
    const auto concrete = std::dynamic_pointer_cast<TFilesUpdater>(updater);
    if (!concrete)
        qFatal("New returned another kind of updater");
    run.localList = concrete->LocalList();
    return run;
}

bool waitForCompletion(const Run& run) {
    return QTest::qWaitFor(
        [&] {
            const std::lock_guard guard(run.record->lock);
            return run.record->completions > 0;
        },
        20000);
}

} // namespace

class FilesUpdaterTest : public QObject {
    Q_OBJECT

private slots:
    void staleness_data();
    void staleness();
    void secondRunFetchesNothing();
    void caseTwinsDoNotStopTheRun();
    void sharedFilesListedInOrderAndFetchedOnce();
    void unreplaceableTargetFailsAlone();
    void failedCopyKeepsOldFile();
    void leftoversAreCleanedUnderTheLock_data();
    void leftoversAreCleanedUnderTheLock();
    void nothingAskedStillCompletes();
    void preparationFailures_data();
    void preparationFailures();
    void blankUrlSelectsServer();
};

void FilesUpdaterTest::staleness_data() {
    QTest::addColumn<QString>("module");       // name passed to Execute
    QTest::addColumn<QByteArray>("local");     // local content, empty: no local file
    QTest::addColumn<qint64>("localOffsetMs"); // local age relative to the central one
    QTest::addColumn<bool>("fetched");

    QTest::newRow("missing") << u"SysAdmin.exe"_s << QByteArray() << qint64(0) << true;
    QTest::newRow("same age") << u"SysAdmin.exe"_s << QByteArray("local") << qint64(0) << false;
    QTest::newRow("older by a day")
        << u"SysAdmin.exe"_s << QByteArray("local") << qint64(-86'400'000) << true;
    QTest::newRow("older by 1 ms")
        << u"SysAdmin.exe"_s << QByteArray("local") << qint64(-1) << true;
    QTest::newRow("newer by 1 ms") << u"SysAdmin.exe"_s << QByteArray("local") << qint64(1) << true;
    QTest::newRow("other letter case, missing")
        << u"sysadmin.EXE"_s << QByteArray() << qint64(0) << true;
    QTest::newRow("other letter case, same age")
        << u"SYSADMIN.exe"_s << QByteArray("local") << qint64(0) << false;
    QTest::newRow("not central, missing") << u"Billing.exe"_s << QByteArray() << qint64(0) << false;
    QTest::newRow("not central, present")
        << u"Billing.exe"_s << QByteArray("local") << qint64(-5) << false;
}

void FilesUpdaterTest::staleness() {
    QFETCH(QString, module);
    QFETCH(QByteArray, local);
    QFETCH(qint64, localOffsetMs);
    QFETCH(bool, fetched);

    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"SysAdmin.exe"_s, "central", centralAge());
    writeFile(central.path(), u"Other.exe"_s, "other", centralAge());
    const QString target = installation.path() + u'/' + module;
    const platform::TDateTime localAge = fixtures::plusMs(centralAge(), localOffsetMs);
    if (!local.isEmpty())
        writeFile(installation.path(), module, local, localAge);

    Run run = startRun(installation.path(), central.path(), QString(), module, false);
    QVERIFY(waitForCompletion(run));

    QCOMPARE(run.record->completions, 1);
    QVERIFY(run.record->completedInMainThread);
    QVERIFY(run.record->failed.isEmpty());
    QCOMPARE(run.record->checked, 1);
    QCOMPARE(run.record->queued, fetched ? 1 : 0);
    QCOMPARE(run.record->succeeded, fetched ? QStringList{module} : QStringList());
    QVERIFY(run.updater.expired()); // the keep-alive went with the completion
    if (fetched) {
        QCOMPARE(readFile(target), QByteArray("central"));
        QCOMPARE(fixtures::ageOf(target), centralAge());
    } else if (local.isEmpty()) {
        QVERIFY(!QFileInfo::exists(target));
    } else {
        QCOMPARE(readFile(target), local);
        QCOMPARE(fixtures::ageOf(target), localAge);
    }
    // Only the asked file is touched.
    QVERIFY(!QFileInfo::exists(installation.path() + u"/Other.exe"_s));
}

void FilesUpdaterTest::secondRunFetchesNothing() {
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"Billing.exe"_s, "exe", centralAge());
    writeFile(central.path(), u"common.ini"_s, "ini", fixtures::plusMs(centralAge(), 17));
    writeFile(central.path(), u"Relatorio/RelBilling.rav"_s, "rav",
              fixtures::plusMs(centralAge(), -3));

    Run first = startRun(installation.path(), central.path(), QString(), u"Billing.exe"_s, true);
    QVERIFY(waitForCompletion(first));
    QCOMPARE(first.record->queued, 3);
    QCOMPARE(first.record->succeeded.size(), 3);

    Run second = startRun(installation.path(), central.path(), QString(), u"Billing.exe"_s, true);
    QVERIFY(waitForCompletion(second));
    QCOMPARE(second.record->queued, 0);
    QVERIFY(second.record->started.isEmpty());
    QCOMPARE(second.record->completions, 1);
}

// Two central names that one local file cannot tell apart: the later (in ordinal
// order) is installed and the rest of the run goes on.
void FilesUpdaterTest::caseTwinsDoNotStopTheRun() {
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"SysAdmin.exe"_s, "exe", centralAge());
    writeFile(central.path(), u"Relatorio/RelSysAdmin.rav"_s, "later", centralAge());
    writeFile(central.path(), u"RELATORIO/RELSYSADMIN.RAV"_s, "earlier", centralAge());
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());

    Run run = startRun(installation.path(), central.path(), QString(), u"SysAdmin.exe"_s, true);
    QVERIFY(waitForCompletion(run));
    QVERIFY2(run.record->failed.isEmpty(), qPrintable(run.record->failed.keys().join(u',')));
    QCOMPARE(readFile(installation.path() + u"/SysAdmin.exe"_s), QByteArray("exe"));
    QCOMPARE(readFile(installation.path() + u"/common.ini"_s), QByteArray("ini"));
    QCOMPARE(readFile(installation.path() + u"/Relatorio/RelSysAdmin.rav"_s), QByteArray("later"));
}

void FilesUpdaterTest::sharedFilesListedInOrderAndFetchedOnce() {
    QTemporaryDir central;
    QTemporaryDir installation;
    QSet<QString> distinct;
    for (const QString& name : AdditionalFiles) {
        QString relative = name;
        relative.replace(u'\\', u'/');
        writeFile(central.path(), relative, name.toUtf8(), centralAge());
        distinct.insert(name);
    }
    writeFile(central.path(), u"SysAdmin.exe"_s, "exe", centralAge());
    QCOMPARE(distinct.size(), 55);

    Run run = startRun(installation.path(), central.path(), QString(), u"SysAdmin.exe"_s, true);
    QVERIFY(waitForCompletion(run));

    QCOMPARE(run.localList.size(), 60);
    QCOMPARE(run.localList.first().FileName(), u"SysAdmin.exe"_s);
    for (int i = 0; i < AdditionalFilesCount; ++i) {
        QCOMPARE(run.localList[i + 1].FileName(), AdditionalFiles[static_cast<size_t>(i)]);
        QCOMPARE(run.localList[i + 1].Age(), -1.0);
    }
    // Repeated names are fetched once each.
    QCOMPARE(run.record->checked, 56);
    QCOMPARE(run.record->queued, 56);
    QCOMPARE(run.record->started.size(), 56);
    QCOMPARE(QSet<QString>(run.record->started.begin(), run.record->started.end()).size(), 56);
    QVERIFY(run.record->failed.isEmpty());
    QCOMPARE(readFile(installation.path() + u"/Relatorio/RelClaimsXml.rav"_s),
             QByteArray("Relatorio\\RelClaimsXml.rav"));
    // The module executable gets execute bits when it is new; other files do not.
    QVERIFY(QFileInfo(installation.path() + u"/SysAdmin.exe"_s).permissions() & QFile::ExeOwner);
    QVERIFY(!(QFileInfo(installation.path() + u"/common.ini"_s).permissions() & QFile::ExeOwner));
}

void FilesUpdaterTest::unreplaceableTargetFailsAlone() {
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());
    writeFile(central.path(), u"gds32.dll"_s, "dll", centralAge());
    writeFile(central.path(), u"Relatorio/RelSysAdmin.rav"_s, "rav", centralAge());
    // A folder where a file should be: it cannot be replaced.
    writeFile(installation.path(), u"common.ini/keep.txt"_s, "keep");

    Run run = startRun(installation.path(), central.path(), QString(), QString(), true);
    QVERIFY(waitForCompletion(run));

    QCOMPARE(run.record->completions, 1);
    QCOMPARE(run.record->queued, 3);
    QCOMPARE(run.record->failed.keys(), QStringList{u"common.ini"_s});
    QVERIFY(!run.record->failed.value(u"common.ini"_s).isEmpty());
    QCOMPARE(run.record->succeeded.size(), 2);
    QCOMPARE(readFile(installation.path() + u"/gds32.dll"_s), QByteArray("dll"));
    QCOMPARE(readFile(installation.path() + u"/Relatorio/RelSysAdmin.rav"_s), QByteArray("rav"));
    QCOMPARE(readFile(installation.path() + u"/common.ini/keep.txt"_s), QByteArray("keep"));
}

void FilesUpdaterTest::failedCopyKeepsOldFile() {
    QTemporaryDir central;
    QTemporaryDir installation;
    // Listed centrally but unreadable: a link whose target is gone.
    QVERIFY(QFile::link(central.path() + u"/gone.dll"_s, central.path() + u"/gds32.dll"_s));
    writeFile(central.path(), u"zlib1.dll"_s, "new zlib", centralAge());
    const platform::TDateTime oldAge = fixtures::plusMs(centralAge(), -60'000);
    const QString target = writeFile(installation.path(), u"gds32.dll"_s, "old gds", oldAge);

    Run run = startRun(installation.path(), central.path(), QString(), QString(), true);
    QVERIFY(waitForCompletion(run));

    QCOMPARE(run.record->failed.keys(), QStringList{u"gds32.dll"_s});
    QCOMPARE(readFile(target), QByteArray("old gds"));
    QCOMPARE(fixtures::ageOf(target), oldAge);
    QCOMPARE(stagedTemporariesOf(target), QStringList());
    QCOMPARE(readFile(installation.path() + u"/zlib1.dll"_s), QByteArray("new zlib"));
}

void FilesUpdaterTest::leftoversAreCleanedUnderTheLock_data() {
    QTest::addColumn<bool>("holdsLock");
    QTest::newRow("run holding the installation's lock") << true;
    QTest::newRow("run without it leaves them") << false;
}

// Leftovers of interrupted runs go, whether their file is stale now or not, but
// only when the run holds the lock and so knows that nobody is writing them.
void FilesUpdaterTest::leftoversAreCleanedUnderTheLock() {
    QFETCH(bool, holdsLock);
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"Costs.exe"_s, "costs", centralAge());
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());
    writeFile(central.path(), u"Relatorio/RelCosts.rav"_s, "rav", centralAge());
    // common.ini and the report are current: nothing of theirs is fetched.
    writeFile(installation.path(), u"common.ini"_s, "ini", centralAge());
    writeFile(installation.path(), u"Relatorio/RelCosts.rav"_s, "rav", centralAge());
    const QStringList leftovers = {
        writeFile(installation.path(), u".Costs.exe.311-0a0b0c0d.quorvia-part"_s, "half"),
        writeFile(installation.path(), u".common.ini.312-01020304.quorvia-part"_s, "half"),
        writeFile(installation.path(), u"Relatorio/.RelCosts.rav.313-aabbccdd.quorvia-part"_s,
                  "half"),
        writeFile(installation.path(), u".qtintf70.dll.quorvia-part"_s, "older version's"),
    };

    std::unique_ptr<TInstallationLock> lock;
    if (holdsLock) {
        lock = std::make_unique<TInstallationLock>(installation.path());
        QVERIFY(lock->tryLock());
    }
    Run run = startRun(installation.path(), central.path(), QString(), u"Costs.exe"_s, true,
                       std::move(lock));
    QVERIFY(waitForCompletion(run));

    QVERIFY(run.record->failed.isEmpty());
    QCOMPARE(run.record->succeeded, QStringList{u"Costs.exe"_s});
    QCOMPARE(readFile(installation.path() + u"/Costs.exe"_s), QByteArray("costs"));
    for (const QString& leftover : leftovers)
        QVERIFY2(QFileInfo::exists(leftover) != holdsLock, qPrintable(leftover));
    // The run let go of the lock before its completion.
    TInstallationLock next(installation.path());
    QVERIFY(next.tryLock());
}

void FilesUpdaterTest::nothingAskedStillCompletes() {
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());

    Run run = startRun(installation.path(), central.path(), QString(), QString(), false);
    QCOMPARE(run.record->completions, 0); // never inside Execute
    QVERIFY(waitForCompletion(run));
    QCOMPARE(run.record->checked, 0);
    QCOMPARE(run.record->queued, 0);
    QVERIFY(run.record->completedInMainThread);
    QVERIFY(run.localList.isEmpty());
    QVERIFY(!QFileInfo::exists(installation.path() + u"/common.ini"_s));
    // Once only.
    QTest::qWait(300);
    QCOMPARE(run.record->completions, 1);
}

void FilesUpdaterTest::preparationFailures_data() {
    QTest::addColumn<QString>("share"); // "" none, "missing", "fine"
    QTest::addColumn<QString>("module");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing share")
        << u"missing"_s << u"SysAdmin.exe"_s << u"The specified path was not found"_s;
    QTest::newRow("no share at all")
        << QString() << u"SysAdmin.exe"_s << u"The specified path was not found"_s;
    QTest::newRow("bad module name")
        << u"fine"_s << u"Sys|Admin.exe"_s << u"Invalid characters in path"_s;
}

void FilesUpdaterTest::preparationFailures() {
    QFETCH(QString, share);
    QFETCH(QString, module);
    QFETCH(QString, message);

    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"SysAdmin.exe"_s, "exe", centralAge());
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());
    QString remotePath;
    if (share == u"missing")
        remotePath = central.path() + u"/nowhere"_s;
    else if (!share.isEmpty())
        remotePath = central.path();

    auto completions = std::make_shared<int>(0);
    std::weak_ptr<IFilesUpdater> weak;
    QString raised;
    {
        std::shared_ptr<IFilesUpdater> updater = TFilesUpdater::New(
            installation.path(), remotePath, QString(), [completions] { ++*completions; });
        weak = updater;
        try {
            updater->Execute(module, true);
        } catch (const platform::Exception& e) {
            raised = e.message();
        }
    }
    QCOMPARE(raised, message);
    // The keep-alive was given up before the error left Execute.
    QVERIFY(weak.expired());
    QTest::qWait(300);
    QCOMPARE(*completions, 0);
    QVERIFY(!QFileInfo::exists(installation.path() + u"/common.ini"_s));
}

void FilesUpdaterTest::blankUrlSelectsServer() {
    QTemporaryDir central;
    QTemporaryDir installation;
    writeFile(central.path(), u"common.ini"_s, "ini", centralAge());

    auto completions = std::make_shared<int>(0);
    auto updater = TFilesUpdater::New(installation.path(), central.path(), u"  "_s,
                                      [completions] { ++*completions; });
    // Blanks are a (bad) server address, never a fallback to the share.
    QVERIFY_THROWS_EXCEPTION(std::exception, updater->Execute(QString(), true));
    updater.reset();
    QTest::qWait(300);
    QCOMPARE(*completions, 0);
    QVERIFY(!QFileInfo::exists(installation.path() + u"/common.ini"_s));
}

QTEST_GUILESS_MAIN(FilesUpdaterTest)
#include "tst_files_updater.moc"
