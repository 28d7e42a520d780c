#include "platform/errors.h"
#include "platform/file_ops.h"
#include "update/remote_list.h"
#include "update/server_settings.h"
#include "update/staged_replace.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using platform::TDateTime;
using test_files::readFile;
using test_files::writeFile;

namespace {

int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

const TDateTime CentralAge = platform::encodeDateTime(2022, 6, 23, 75'025'123);

} // namespace

// Staged replacement, the central list's keys and the settings file: the small
// shared pieces both update sources stand on.
class TestStagedReplace : public QObject {
    Q_OBJECT
private slots:
    void replacesAndStamps();
    void failedFetchKeepsTarget_data();
    void failedFetchKeepsTarget();
    void fileSwappedInForTheTemporaryIsNotInstalled_data();
    void fileSwappedInForTheTemporaryIsNotInstalled();
    void othersTemporariesAreLeftAlone();
    void overlappingFetchesKeepApart();
    void removesEveryLeftoverOfAFolder();
    void stampIsReadBack_data();
    void stampIsReadBack();
    void permissions_data();
    void permissions();
    void folderInPlaceOfTargetFails();
    void remoteListKeepsTheLaterOfCaseTwins();
    void settings_data();
    void settings();
};

void TestStagedReplace::replacesAndStamps() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"SysAdmin.exe"_s);
    writeFile(target, "old");
    replaceFileStaged(target, CentralAge,
                      [](const TStagedFile& staged) { writeFile(staged.path, "new"); });
    QCOMPARE(readFile(target), QByteArray("new"));
    TDateTime age = -1;
    QVERIFY(platform::tryReadFileAge(target, age));
    QCOMPARE(age, CentralAge);
    QCOMPARE(stagedTemporariesOf(target), QStringList());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestStagedReplace::failedFetchKeepsTarget_data() {
    QTest::addColumn<bool>("writesPartially");
    QTest::addColumn<bool>("writesNothing");
    QTest::newRow("fetch throws after a partial write") << true << false;
    QTest::newRow("fetch throws before writing") << false << false;
    QTest::newRow("fetch removes its file and returns") << false << true;
}

void TestStagedReplace::failedFetchKeepsTarget() {
    QFETCH(bool, writesPartially);
    QFETCH(bool, writesNothing);
    QTemporaryDir dir;
    const QString target = dir.filePath(u"gds32.dll"_s);
    writeFile(target, "working library");
    const TDateTime oldAge = platform::encodeDateTime(2020, 1, 1, 0);
    platform::stampFileAge(target, oldAge);

    bool raised = false;
    try {
        replaceFileStaged(target, CentralAge, [&](const TStagedFile& staged) {
            if (writesPartially)
                writeFile(staged.path, "half");
            if (writesNothing)
                QFile::remove(staged.path);
            else
                throw platform::EInOutError(u"connection lost"_s);
        });
    } catch (const platform::Exception&) {
        raised = true;
    }
    QVERIFY(raised);
    QCOMPARE(readFile(target), QByteArray("working library"));
    TDateTime age = -1;
    QVERIFY(platform::tryReadFileAge(target, age));
    QVERIFY(age == oldAge);
    QCOMPARE(stagedTemporariesOf(target), QStringList());
}

// Whoever can write the folder may put another file under the temporary's name
// while it is written: the staging never installs that one, nor follows a link.
void TestStagedReplace::fileSwappedInForTheTemporaryIsNotInstalled_data() {
    QTest::addColumn<bool>("asLink");
    QTest::newRow("another file") << false;
    QTest::newRow("a link to a file of someone else") << true;
}

void TestStagedReplace::fileSwappedInForTheTemporaryIsNotInstalled() {
    QFETCH(bool, asLink);
    QTemporaryDir dir;
    const QString target = dir.filePath(u"qtintf70.dll"_s);
    const QString victim = dir.filePath(u"root-only.key"_s);
    writeFile(target, "old");
    writeFile(victim, "secret");
    QVERIFY(::chmod(QFile::encodeName(victim).constData(), 0600) == 0);
    const TDateTime oldAge = test_files::ageOf(target);
    const TDateTime victimAge = test_files::ageOf(victim);
    bool raised = false;
    try {
        replaceFileStaged(target, CentralAge, [&](const TStagedFile& staged) {
            staged.append("fresh", 5);
            QVERIFY(QFile::remove(staged.path));
            if (asLink)
                QVERIFY(QFile::link(victim, staged.path));
            else
                writeFile(staged.path, "swapped in");
        });
    } catch (const platform::Exception&) {
        raised = true;
    }
    QVERIFY(raised);
    QCOMPARE(readFile(target), QByteArray("old"));
    QCOMPARE(test_files::ageOf(target), oldAge);
    QCOMPARE(readFile(victim), QByteArray("secret"));
    QCOMPARE(modeOf(victim), 0600);
    QCOMPARE(test_files::ageOf(victim), victimAge);
}

void TestStagedReplace::othersTemporariesAreLeftAlone() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"zlib1.dll"_s);
    // Another run's temporary, and the fixed name older versions used.
    const QString foreign = dir.filePath(u".zlib1.dll.4242-0badcafe.quorvia-part"_s);
    const QString older = dir.filePath(u".zlib1.dll.quorvia-part"_s);
    writeFile(foreign, "another run, still writing");
    writeFile(older, "interrupted run");
    QString used;
    replaceFileStaged(target, CentralAge, [&](const TStagedFile& staged) {
        used = staged.path;
        writeFile(staged.path, "fresh");
    });
    QCOMPARE(platform::folderOf(used), dir.path());
    QVERIFY2(used != foreign && used != older, qPrintable(used));
    QVERIFY(isStagedTemporaryName(used.mid(dir.path().size() + 1)));
    QCOMPARE(readFile(target), QByteArray("fresh"));
    QCOMPARE(readFile(foreign), QByteArray("another run, still writing"));
    QCOMPARE(readFile(older), QByteArray("interrupted run"));
    QCOMPARE(stagedTemporariesOf(target), (QStringList{foreign, older}));
}

// Two fetches of one file at once, the second starting and ending inside the
// first: neither touches the other's temporary, and the target ends as one whole
// file with the time of that content.
void TestStagedReplace::overlappingFetchesKeepApart() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"SysAdmin.exe"_s);
    writeFile(target, "old", platform::encodeDateTime(2020, 1, 1, 0));
    const TDateTime firstAge = CentralAge;
    const TDateTime secondAge = platform::encodeDateTime(2023, 2, 3, 4'005'006);

    std::mutex lock;
    std::condition_variable changed;
    bool firstHalfWritten = false;
    bool secondDone = false;
    QString firstPath;
    std::exception_ptr firstError;
    std::thread first([&] {
        try {
            replaceFileStaged(target, firstAge, [&](const TStagedFile& staged) {
                writeFile(staged.path, "first ");
                std::unique_lock guard(lock);
                firstPath = staged.path;
                firstHalfWritten = true;
                changed.notify_all();
                changed.wait(guard, [&] { return secondDone; });
                // Still our own file, with what we wrote so far.
                QFile file(staged.path);
                if (!file.open(QIODevice::Append))
                    throw platform::EInOutError(u"temporary gone"_s);
                file.write("complete");
            });
        } catch (...) {
            firstError = std::current_exception();
        }
    });
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return firstHalfWritten; });
    }
    QString secondPath;
    replaceFileStaged(target, secondAge, [&](const TStagedFile& staged) {
        secondPath = staged.path;
        writeFile(staged.path, "second complete");
    });
    QCOMPARE(readFile(target), QByteArray("second complete"));
    QCOMPARE(test_files::ageOf(target), secondAge);
    QCOMPARE(readFile(firstPath), QByteArray("first "));
    {
        const std::lock_guard guard(lock);
        secondDone = true;
    }
    changed.notify_all();
    first.join();
    QVERIFY(!firstError);
    QVERIFY(firstPath != secondPath);
    QCOMPARE(readFile(target), QByteArray("first complete"));
    QCOMPARE(test_files::ageOf(target), firstAge);
    QCOMPARE(stagedTemporariesOf(target), QStringList());
}

void TestStagedReplace::removesEveryLeftoverOfAFolder() {
    QTemporaryDir dir;
    writeFile(dir.filePath(u".gds32.dll.17-00ff00ff.quorvia-part"_s), "half");
    writeFile(dir.filePath(u".common.ini.quorvia-part"_s), "half");
    writeFile(dir.filePath(u"gds32.dll"_s), "library");
    writeFile(dir.filePath(u"notes.quorvia-part.txt"_s), "not a temporary");
    QVERIFY(QDir(dir.path()).mkdir(u"folder.quorvia-part"_s));
    // A name that does not decode is still a leftover to remove.
    const QByteArray raw = QFile::encodeName(dir.path()) + "/.bad\xff.1-2.quorvia-part";
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);

    QCOMPARE(removeStagedTemporaries(dir.path()), 3);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{u"folder.quorvia-part"_s, u"gds32.dll"_s, u"notes.quorvia-part.txt"_s}));
    QCOMPARE(removeStagedTemporaries(dir.filePath(u"missing"_s)), 0);
}

void TestStagedReplace::stampIsReadBack_data() {
    QTest::addColumn<TDateTime>("age");
    QTest::addColumn<bool>("outOfRange"); // holds only where the file system can hold it
    QTest::addColumn<bool>("holds");
    QTest::newRow("whole milliseconds") << CentralAge << false << true;
    QTest::newRow("a fraction of a millisecond")
        << CentralAge + 0.4 / 86'400'000.0 << false << false;
    QTest::newRow("year 0001") << platform::encodeDateTime(1, 1, 1, 0) << true << false;
    QTest::newRow("year 1900") << platform::encodeDateTime(1900, 6, 1, 0) << true << false;
    QTest::newRow("year 9999") << platform::encodeDateTime(9999, 12, 31, 0) << true << false;
    QTest::newRow("null age") << 0.0 << true << false;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << false << false;
}

void TestStagedReplace::stampIsReadBack() {
    QFETCH(TDateTime, age);
    QFETCH(bool, outOfRange);
    QFETCH(bool, holds);
    QTemporaryDir dir;
    if (outOfRange) {
        // Some file systems keep any time; there the stamp is simply right.
        const QString probe = dir.filePath(u"probe"_s);
        writeFile(probe, "");
        platform::stampFileAge(probe, age);
        if (test_files::ageOf(probe) == age)
            QSKIP("this file system holds the time");
    }
    const QString target = dir.filePath(u"Finance.exe"_s);
    const TDateTime oldAge = platform::encodeDateTime(2021, 5, 6, 7'000);
    writeFile(target, "old", oldAge);
    QString message;
    try {
        replaceFileStaged(target, age,
                          [](const TStagedFile& staged) { writeFile(staged.path, "new"); });
    } catch (const platform::Exception& e) {
        message = e.message();
    }
    if (holds) {
        QCOMPARE(message, QString());
        QCOMPARE(readFile(target), QByteArray("new"));
        QCOMPARE(test_files::ageOf(target), age);
    } else {
        QVERIFY2(message.contains(platform::describeAge(age)), qPrintable(message));
        QCOMPARE(readFile(target), QByteArray("old"));
        QCOMPARE(test_files::ageOf(target), oldAge);
    }
    QCOMPARE(stagedTemporariesOf(target), QStringList());
}

void TestStagedReplace::permissions_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("existingMode"); // -1: no local file yet
    QTest::addColumn<int>("fetchedMode");  // what the fetch left on its file
    QTest::addColumn<bool>("executable");
    QTest::addColumn<int>("expectedMode");
    QTest::newRow("new module") << 0755 << -1 << 0600 << true << 0755;
    QTest::newRow("new support file") << 0755 << -1 << 0600 << false << 0644;
    QTest::newRow("module without execute bits gets them") << 0755 << 0640 << 0600 << true << 0755;
    QTest::newRow("what ran before keeps running") << 0755 << 0750 << 0600 << false << 0755;
    QTest::newRow("support file open to all is narrowed") << 0755 << 0666 << 0666 << false << 0644;
    QTest::newRow("set-id bits of the source never pass") << 0755 << -1 << 06777 << true << 0755;
    QTest::newRow("group folder: module") << 02775 << -1 << 0600 << true << 0775;
    QTest::newRow("group folder: support file") << 02775 << 0644 << 0600 << false << 0664;
}

void TestStagedReplace::permissions() {
    QFETCH(int, folderMode);
    QFETCH(int, existingMode);
    QFETCH(int, fetchedMode);
    QFETCH(bool, executable);
    QFETCH(int, expectedMode);
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), mode_t(folderMode)) == 0);
    const QString target = dir.filePath(u"Billing.exe"_s);
    if (existingMode >= 0) {
        writeFile(target, "old");
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(existingMode)) == 0);
    }
    replaceFileStaged(
        target, CentralAge,
        [fetchedMode](const TStagedFile& staged) {
            staged.append("new", 3);
            QVERIFY(::fchmod(staged.descriptor, mode_t(fetchedMode)) == 0);
        },
        executable);
    QCOMPARE(readFile(target), QByteArray("new"));
    QCOMPARE(modeOf(target), expectedMode);
}

void TestStagedReplace::folderInPlaceOfTargetFails() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"Relatorio"_s);
    QVERIFY(QDir(dir.path()).mkdir(u"Relatorio"_s));
    writeFile(target + u"/keep.rav"_s, "report");
    QVERIFY_THROWS_EXCEPTION(platform::EInOutError,
                             replaceFileStaged(target, CentralAge, [](const TStagedFile& staged) {
                                 writeFile(staged.path, "file");
                             }));
    QCOMPARE(readFile(target + u"/keep.rav"_s), QByteArray("report"));
    QCOMPARE(stagedTemporariesOf(target), QStringList());
}

void TestStagedReplace::remoteListKeepsTheLaterOfCaseTwins() {
    TRemoteList list;
    addRemoteFile(list, u"Relatorio\\RelSysAdmin.rav"_s, 1.0);
    QCOMPARE(list.value(u"RELATORIO\\RELSYSADMIN.RAV"_s).FileName(),
             u"Relatorio\\RelSysAdmin.rav"_s);
    addRemoteFile(list, TFileInfoDTO(u"relatorio\\relsysadmin.RAV"_s, 2.0, 7, QByteArray(32, 'x')));
    QCOMPARE(list.size(), 1);
    const TFileInfoDTO kept = list.value(u"RELATORIO\\RELSYSADMIN.RAV"_s);
    QCOMPARE(kept.FileName(), u"relatorio\\relsysadmin.RAV"_s);
    QCOMPARE(kept.Age(), 2.0);
    QCOMPARE(kept.Size(), qint64(7));
    QCOMPARE(kept.Sha256(), QByteArray(32, 'x'));
}

void TestStagedReplace::settings_data() {
    QTest::addColumn<QByteArray>("ini"); // empty: no settings file
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("noSource");
    QTest::newRow("no file") << QByteArray() << QString() << QString() << true;
    QTest::newRow("share without separator")
        << QByteArray("[Servidor]\nLocal Exe=\\\\srv\\share\\Quorvia\n")
        << u"\\\\srv\\share\\Quorvia/"_s << QString() << false;
    QTest::newRow("share with backslash") << QByteArray("[Servidor]\nLocal Exe=\\\\srv\\q\\\n")
                                          << u"\\\\srv\\q\\"_s << QString() << false;
    QTest::newRow("share with slash")
        << QByteArray("[Servidor]\nLocal Exe=/mnt/q/\n") << u"/mnt/q/"_s << QString() << false;
    QTest::newRow("url kept as read") << QByteArray("[Servidor]\nurl=central:8080/ \n") << QString()
                                      << u"central:8080/"_s << false;
    QTest::newRow("empty values") << QByteArray("[Servidor]\nLocal Exe=\nurl=   \n") << QString()
                                  << QString() << true;
}

void TestStagedReplace::settings() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, remotePath);
    QFETCH(QString, url);
    QFETCH(bool, noSource);
    QTemporaryDir dir;
    if (!ini.isEmpty())
        writeFile(dir.filePath(SettingsFileName), ini);
    const ServerSettings settings = readServerSettings(dir.path());
    QCOMPARE(settings.localPath, dir.path() + u'/');
    QCOMPARE(settings.remotePath, remotePath);
    QCOMPARE(settings.url, url);
    QCOMPARE(hasNoSource(settings), noSource);
}

QTEST_GUILESS_MAIN(TestStagedReplace)
#include "tst_staged_replace.moc"
