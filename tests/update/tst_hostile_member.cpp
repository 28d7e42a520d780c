#include "platform/errors.h"
#include "platform/sha256.h"
#include "raw_http_server.h"
#include "update/folder_source.h"
#include "update/server_source.h"
#include "update/staged_replace.h"
#include "update_fixtures.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "test_process.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::readFile;
using fixtures::writeFile;

namespace {

// Someone else, in the installation folder's group.
constexpr uid_t MemberUid = 4243;
constexpr gid_t GroupGid = 4242;

int modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode) : -1;
}

QByteArray sha256(const QByteArray& bytes) {
    platform::Sha256 sha;
    sha.update(bytes.constData(), std::size_t(bytes.size()));
    return sha.finish();
}

// A scratch root that everyone may pass through, holding a share and an
// installation folder of the group, as the package makes it (02775).
struct GroupInstallation {
    QTemporaryDir root;
    QString installation = root.filePath(u"install"_s);
    QString share = root.filePath(u"share"_s);

    bool make() {
        return ::chmod(QFile::encodeName(root.path()).constData(), 0755) == 0 &&
               QDir().mkpath(installation) && QDir().mkpath(share) &&
               ::chown(QFile::encodeName(installation).constData(), 0, GroupGid) == 0 &&
               ::chmod(QFile::encodeName(installation).constData(), 02775) == 0;
    }
};

} // namespace

// A member of the group who swaps every staged temporary for a link to a
// root-only file, while root refreshes the installation (as an administrator
// checking a workstation from a terminal would): the file behind the link keeps
// its mode and content, and no link is installed.
class HostileMemberTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void linkSwapIsNeverFollowed_data();
    void linkSwapIsNeverFollowed();
    void reportFolderLinkOfAMember_data();
    void reportFolderLinkOfAMember();

private:
    QString m_setpriv;
};

void HostileMemberTest::init() {
    if (::geteuid() != 0)
        QSKIP("needs root to act as a second user");
    m_setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
    if (m_setpriv.isEmpty())
        QSKIP("setpriv is not installed");
}

void HostileMemberTest::linkSwapIsNeverFollowed_data() {
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("share") << false;
    QTest::newRow("file server") << true;
}

void HostileMemberTest::linkSwapIsNeverFollowed() {
    QFETCH(bool, overHttp);
    GroupInstallation folders;
    QVERIFY(folders.make());
    const QString& installation = folders.installation;
    const QString& share = folders.share;
    const QString secrets = folders.root.filePath(u"secrets"_s);
    QVERIFY(QDir().mkpath(secrets));
    const QString victim = secrets + u"/root-only.key"_s;
    writeFile(secrets, u"root-only.key"_s, "secret");
    QVERIFY(::chmod(QFile::encodeName(victim).constData(), 0600) == 0);

    const QByteArray module = QByteArray("MZ module ").repeated(20'000);
    writeFile(share, u"SysAdmin.exe"_s, module, centralAge());
    RawHttpServer server([&module](const RawHttpServer::Request&) {
        return RawHttpServer::reply("HTTP/1.1 200 OK", module);
    });

    QProcess member;
    member.start(m_setpriv, {u"--reuid=%1"_s.arg(MemberUid), u"--regid=%1"_s.arg(GroupGid),
                             u"--clear-groups"_s, QStringLiteral(HOSTILE_MEMBER_BINARY),
                             installation, victim, u"20"_s});
    QVERIFY(member.waitForReadyRead(10000));
    QCOMPARE(member.readLine().trimmed(), QByteArray("watching"));

    const TFileInfoDTO central(u"SysAdmin.exe"_s, centralAge(), module.size(), sha256(module));
    int failures = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        try {
            if (overHttp)
                updateFileFromServer(QString::fromLatin1(server.baseUrl()), installation,
                                     u"SysAdmin.exe"_s, central, true);
            else
                updateFileFromFolder(share, installation, u"SysAdmin.exe"_s, u"SysAdmin.exe"_s,
                                     centralAge(), true);
        } catch (const std::exception&) {
            ++failures;
        }
    }
    member.kill();
    member.waitForFinished();

    QVERIFY2(failures > 0, "the member never got in: the test proves nothing");
    QCOMPARE(readFile(victim), QByteArray("secret"));
    QCOMPARE(modeOf(victim) & 07777, 0600);
    const int installed = modeOf(installation + u"/SysAdmin.exe"_s);
    if (installed != -1) {
        QVERIFY(S_ISREG(installed));
        QCOMPARE(readFile(installation + u"/SysAdmin.exe"_s), module);
    }
}

void HostileMemberTest::reportFolderLinkOfAMember_data() {
    QTest::addColumn<bool>("byMember");
    QTest::newRow("a member's link is not followed") << true;
    QTest::newRow("root's own link is") << false;
}

// The report folder replaced by a link to somewhere else: where a member of the
// group put it, nothing is written through it.
void HostileMemberTest::reportFolderLinkOfAMember() {
    QFETCH(bool, byMember);
    GroupInstallation folders;
    QVERIFY(folders.make());
    const QString& installation = folders.installation;
    const QString& share = folders.share;
    const QString elsewhere = folders.root.filePath(u"elsewhere"_s);
    QVERIFY(QDir().mkpath(elsewhere));
    writeFile(share, u"Relatorio/RelSysAdmin.rav"_s, "report", centralAge());
    const QString link = installation + u"/Relatorio"_s;
    if (byMember) {
        const test_process::Outcome made =
            test_process::run(m_setpriv,
                              {u"--reuid=%1"_s.arg(MemberUid), u"--regid=%1"_s.arg(GroupGid),
                               u"--clear-groups"_s, u"ln"_s, u"-s"_s, elsewhere, link},
                              10000);
        QCOMPARE(made.exitCode, 0);
    } else {
        QVERIFY(QFile::link(elsewhere, link));
    }

    QString message;
    try {
        updateFileFromFolder(share, installation, u"Relatorio\\RelSysAdmin.rav"_s,
                             u"Relatorio\\RelSysAdmin.rav"_s, centralAge(), false);
    } catch (const std::exception& e) {
        message = platform::errorReport(e);
    }
    if (byMember) {
        QVERIFY2(message.contains(u"not followed"_s), qPrintable(message));
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    } else {
        QCOMPARE(message, QString());
        QCOMPARE(readFile(elsewhere + u"/RelSysAdmin.rav"_s), QByteArray("report"));
    }
}

QTEST_GUILESS_MAIN(HostileMemberTest)
#include "tst_hostile_member.moc"
