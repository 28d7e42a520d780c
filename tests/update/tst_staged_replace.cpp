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

#include <sys/stat.h>

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
    void leftoverTemporaryIsCleanedUp();
    void permissions_data();
    void permissions();
    void folderInPlaceOfTargetFails();
    void remoteListRejectsDuplicateKeys();
    void settings_data();
    void settings();
};

void TestStagedReplace::replacesAndStamps() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"SysAdmin.exe"_s);
    writeFile(target, "old");
    replaceFileStaged(target, CentralAge, [](const QString& tmp) { writeFile(tmp, "new"); });
    QCOMPARE(readFile(target), QByteArray("new"));
    TDateTime age = -1;
    QVERIFY(platform::tryReadFileAge(target, age));
    QCOMPARE(age, CentralAge);
    QVERIFY(!QFile::exists(stagedTemporaryPath(target)));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestStagedReplace::failedFetchKeepsTarget_data() {
    QTest::addColumn<bool>("writesPartially");
    QTest::addColumn<bool>("writesNothing");
    QTest::newRow("fetch throws after a partial write") << true << false;
    QTest::newRow("fetch throws before writing") << false << false;
    QTest::newRow("fetch returns without a file") << false << true;
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
        replaceFileStaged(target, CentralAge, [&](const QString& tmp) {
            if (writesPartially)
                writeFile(tmp, "half");
            if (!writesNothing)
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
    QVERIFY(!QFile::exists(stagedTemporaryPath(target)));
}

void TestStagedReplace::leftoverTemporaryIsCleanedUp() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"zlib1.dll"_s);
    writeFile(stagedTemporaryPath(target), "interrupted run");
    // Copy-style fetches refuse to overwrite, so the leftover must be gone first.
    replaceFileStaged(target, CentralAge, [&](const QString& tmp) {
        QVERIFY(!QFile::exists(tmp));
        writeFile(tmp, "fresh");
    });
    QCOMPARE(readFile(target), QByteArray("fresh"));
    QVERIFY(!QFile::exists(stagedTemporaryPath(target)));
}

void TestStagedReplace::permissions_data() {
    QTest::addColumn<int>("existingMode"); // -1: no local file yet
    QTest::addColumn<bool>("executable");
    QTest::addColumn<int>("expectedMode");
    QTest::newRow("keeps the replaced file's bits") << 0750 << false << 0750;
    QTest::newRow("keeps non-executable bits of a module") << 0640 << true << 0640;
    QTest::newRow("new module gets execute bits") << -1 << true << 0755;
    QTest::newRow("new support file stays plain") << -1 << false << 0644;
}

void TestStagedReplace::permissions() {
    QFETCH(int, existingMode);
    QFETCH(bool, executable);
    QFETCH(int, expectedMode);
    QTemporaryDir dir;
    const QString target = dir.filePath(u"Billing.exe"_s);
    if (existingMode >= 0) {
        writeFile(target, "old");
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(existingMode)) == 0);
    }
    replaceFileStaged(
        target, CentralAge,
        [](const QString& tmp) {
            writeFile(tmp, "new");
            ::chmod(QFile::encodeName(tmp).constData(), 0644);
        },
        executable);
    QCOMPARE(modeOf(target), expectedMode);
}

void TestStagedReplace::folderInPlaceOfTargetFails() {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"Relatorio"_s);
    QVERIFY(QDir(dir.path()).mkdir(u"Relatorio"_s));
    writeFile(target + u"/keep.rav"_s, "report");
    QVERIFY_THROWS_EXCEPTION(
        platform::EInOutError,
        replaceFileStaged(target, CentralAge, [](const QString& tmp) { writeFile(tmp, "file"); }));
    QCOMPARE(readFile(target + u"/keep.rav"_s), QByteArray("report"));
    QVERIFY(!QFile::exists(stagedTemporaryPath(target)));
}

void TestStagedReplace::remoteListRejectsDuplicateKeys() {
    TRemoteList list;
    addRemoteFile(list, u"Relatorio\\RelSysAdmin.rav"_s, 1.0);
    QCOMPARE(list.value(u"RELATORIO\\RELSYSADMIN.RAV"_s).FileName(),
             u"Relatorio\\RelSysAdmin.rav"_s);
    try {
        addRemoteFile(list, u"relatorio\\relsysadmin.RAV"_s, 2.0);
        QFAIL("duplicate accepted");
    } catch (const platform::EListError& e) {
        QCOMPARE(e.message(), u"Duplicates not allowed"_s);
    }
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.value(u"RELATORIO\\RELSYSADMIN.RAV"_s).Age(), 1.0);
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
