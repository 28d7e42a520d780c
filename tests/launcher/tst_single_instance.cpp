#include "launcher/single_instance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray FirstCopyLine = QByteArrayLiteral("first copy of this program");
const QByteArray WindowLine = QByteArrayLiteral("window shown");
const QByteArray ActivationLine = QByteArrayLiteral("activation requested by another copy");
constexpr int StartWaitMs = 30'000;

// Who starts a copy: this test's own user, or another person of the workstation.
struct Person {
    std::optional<uid_t> uid; // none: the test's own user
    gid_t gid = 0;
    QString name;
    QString runtimeFolder; // the session's XDG_RUNTIME_DIR; empty: none
};

// A launcher process whose standard error the test reads.
class LauncherProcess {
public:
    LauncherProcess(const QString& program, const QString& tempFolder, const Person& person = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("qt.*=false\nquorvia.instance.info=true"));
        // Without a runtime folder the registry lives under the temporary folder;
        // both are private to this test.
        env.insert(QStringLiteral("TMPDIR"), tempFolder);
        if (person.runtimeFolder.isEmpty())
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        else
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), person.runtimeFolder);
        if (person.uid) {
            env.insert(QStringLiteral("USER"), person.name);
            env.insert(QStringLiteral("LOGNAME"), person.name);
            env.insert(QStringLiteral("HOME"), tempFolder);
            const uid_t uid = *person.uid;
            const gid_t gid = person.gid;
            // The other person's process, as a log-in would start it: their ids only.
            m_process.setChildProcessModifier([uid, gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(127);
            });
        }
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(QFileInfo(program).absolutePath());
        m_process.start(program, {});
    }
    ~LauncherProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(StartWaitMs);
        }
    }
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    QProcess& process() { return m_process; }

    // Waits until standard error holds text; false when the process ended or
    // nothing came in time.
    bool waitForOutput(const QByteArray& text) {
        QDeadlineTimer deadline(StartWaitMs);
        while (!m_errors.contains(text)) {
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(200);
            m_errors += m_process.readAllStandardError();
        }
        return true;
    }

    QByteArray errors() {
        m_errors += m_process.readAllStandardError();
        return m_errors;
    }

private:
    QProcess m_process;
    QByteArray m_errors;
};

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void instanceKeys_data();
    void instanceKeys();
    void secondCopyGivesWay_data();
    void secondCopyGivesWay();
    void copyFromAnotherFolderRunsBeside();
    void lockLeftByACrashIsTakenOver();
    void eachPersonGetsTheirOwnCopy_data();
    void eachPersonGetsTheirOwnCopy();

private:
    QString copyLauncherTo(const QString& folderName, const QString& fileName);
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_tempFolder;
};

void SingleInstanceTest::init() {
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_tempFolder = m_root->filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tempFolder));
}

QString SingleInstanceTest::copyLauncherTo(const QString& folderName, const QString& fileName) {
    const QString folder = m_root->filePath(folderName);
    QDir().mkpath(folder);
    const QString target = QDir(folder).filePath(fileName);
    if (!QFile::exists(target) && !QFile::copy(QStringLiteral(QUORVIA_ARVENTO_BINARY), target))
        return QString();
    return target;
}

void SingleInstanceTest::instanceKeys_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("sameProgram");

    QTest::newRow("same path") << "a/quorvia-arvento"
                               << "a/quorvia-arvento" << true;
    QTest::newRow("file name in other case") << "a/quorvia-arvento"
                                             << "a/Quorvia-Arvento" << true;
    QTest::newRow("folder in other case") << "a/quorvia-arvento"
                                          << "A/quorvia-arvento" << true;
    QTest::newRow("link to the same file") << "a/quorvia-arvento"
                                           << "link-to-a/quorvia-arvento" << true;
    QTest::newRow("other folder") << "a/quorvia-arvento"
                                  << "b/quorvia-arvento" << false;
    QTest::newRow("other file name") << "a/quorvia-arvento"
                                     << "a/quorvia-arvento2" << false;
}

void SingleInstanceTest::instanceKeys() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, sameProgram);

    const QDir root(m_root->path());
    for (const char* folder : {"a", "A", "b"})
        QVERIFY(root.mkpath(QString::fromLatin1(folder)));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("a")),
                        root.filePath(QStringLiteral("link-to-a"))));
    for (const QString& name : {first, second}) {
        QFile file(root.filePath(name));
        if (!file.exists())
            QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString firstKey = launcher::instanceKeyFor(root.filePath(first));
    const QString secondKey = launcher::instanceKeyFor(root.filePath(second));
    QCOMPARE(firstKey == secondKey, sameProgram);
    // The key names a lock file and a local socket: keep it short and plain.
    QVERIFY(firstKey.size() < 64);
    QVERIFY(!firstKey.contains(u'/'));
}

void SingleInstanceTest::secondCopyGivesWay_data() {
    QTest::addColumn<QString>("secondFileName");
    QTest::newRow("same path") << "quorvia-arvento";
    // Paths are compared without regard to case, even where the file system tells them apart.
    QTest::newRow("same path in other case") << "QUORVIA-ARVENTO";
}

void SingleInstanceTest::secondCopyGivesWay() {
    QFETCH(QString, secondFileName);
    const QString firstPath =
        copyLauncherTo(QStringLiteral("install"), QStringLiteral("quorvia-arvento"));
    const QString secondPath = copyLauncherTo(QStringLiteral("install"), secondFileName);
    QVERIFY(!firstPath.isEmpty() && !secondPath.isEmpty());

    LauncherProcess first(firstPath, m_tempFolder);
    QVERIFY2(first.waitForOutput(FirstCopyLine), first.errors().constData());

    LauncherProcess second(secondPath, m_tempFolder);
    QVERIFY(second.process().waitForFinished(StartWaitMs));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);
    QVERIFY2(!second.errors().contains(FirstCopyLine), second.errors().constData());

    QVERIFY2(first.waitForOutput(ActivationLine), first.errors().constData());
    QCOMPARE(first.process().state(), QProcess::Running);
}

void SingleInstanceTest::copyFromAnotherFolderRunsBeside() {
    const QString firstPath =
        copyLauncherTo(QStringLiteral("install-a"), QStringLiteral("quorvia-arvento"));
    const QString otherPath =
        copyLauncherTo(QStringLiteral("install-b"), QStringLiteral("quorvia-arvento"));
    QVERIFY(!firstPath.isEmpty() && !otherPath.isEmpty());

    LauncherProcess first(firstPath, m_tempFolder);
    QVERIFY2(first.waitForOutput(FirstCopyLine), first.errors().constData());
    LauncherProcess other(otherPath, m_tempFolder);
    QVERIFY2(other.waitForOutput(FirstCopyLine), other.errors().constData());

    QCOMPARE(first.process().state(), QProcess::Running);
    QCOMPARE(other.process().state(), QProcess::Running);
    QVERIFY(!first.errors().contains(ActivationLine));
    // Each copy prepared its own installation folder.
    QVERIFY(QFileInfo(m_root->filePath(QStringLiteral("install-a/Relatorio"))).isDir());
    QVERIFY(QFileInfo(m_root->filePath(QStringLiteral("install-b/Relatorio"))).isDir());
}

void SingleInstanceTest::lockLeftByACrashIsTakenOver() {
    const QString path =
        copyLauncherTo(QStringLiteral("install"), QStringLiteral("quorvia-arvento"));
    QVERIFY(!path.isEmpty());
    {
        LauncherProcess crashed(path, m_tempFolder);
        QVERIFY2(crashed.waitForOutput(FirstCopyLine), crashed.errors().constData());
        crashed.process().kill(); // no clean-up: lock file and socket stay behind
        QVERIFY(crashed.process().waitForFinished(StartWaitMs));
    }
    // Without a runtime folder the registry is this user's private folder in the temporary one.
    const QDir registry(
        QDir(m_tempFolder).filePath(QStringLiteral("quorvia-arvento-%1").arg(::geteuid())));
    QVERIFY(!registry.entryList(QDir::Files | QDir::System | QDir::Hidden).isEmpty());

    LauncherProcess next(path, m_tempFolder);
    QVERIFY2(next.waitForOutput(FirstCopyLine), next.errors().constData());

    // And it answers later copies as the first one.
    LauncherProcess later(path, m_tempFolder);
    QVERIFY(later.process().waitForFinished(StartWaitMs));
    QCOMPARE(later.process().exitCode(), 0);
    QVERIFY2(next.waitForOutput(ActivationLine), next.errors().constData());
}

void SingleInstanceTest::eachPersonGetsTheirOwnCopy_data() {
    QTest::addColumn<bool>("firstHasRuntimeFolder");
    QTest::addColumn<QString>("secondRuntimeFolder"); // "", "own" or "first's"
    QTest::newRow("only the shared temporary folder") << false << QString();
    QTest::newRow("first with a runtime folder, second without") << true << QString();
    QTest::newRow("both with their own runtime folder") << true << QStringLiteral("own");
    // As after su: the session's folder still names the first person's.
    QTest::newRow("second inherits the first's runtime folder")
        << true << QStringLiteral("first's");
}

void SingleInstanceTest::eachPersonGetsTheirOwnCopy() {
    QFETCH(bool, firstHasRuntimeFolder);
    QFETCH(QString, secondRuntimeFolder);
    if (::geteuid() != 0)
        QSKIP("Starting a copy as another person needs root");
    const passwd* other = ::getpwnam("nobody");
    if (other == nullptr)
        QSKIP("No unprivileged user \"nobody\" on this machine");

    // One installation both people can run, as on a shared workstation; the
    // temporary folder is shared like /tmp.
    const QString program =
        copyLauncherTo(QStringLiteral("install"), QStringLiteral("quorvia-arvento"));
    QVERIFY(!program.isEmpty());
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(m_root->path(), open)); // QTemporaryDir makes it 0700
    QVERIFY(QFile::setPermissions(m_root->filePath(QStringLiteral("install")), open));
    QVERIFY(QFile::setPermissions(program, open));
    QVERIFY(QDir().mkpath(m_root->filePath(QStringLiteral("install/Relatorio"))));
    QCOMPARE(::chmod(QFile::encodeName(m_tempFolder).constData(), 01777), 0);

    auto runtimeFolderOwnedBy = [&](const QString& name, uid_t uid, gid_t gid) {
        const QString folder = m_root->filePath(name);
        if (!QDir().mkpath(folder) ||
            !QFile::setPermissions(folder,
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
            ::chown(QFile::encodeName(folder).constData(), uid, gid) != 0)
            return QString();
        return folder;
    };
    Person first;
    if (firstHasRuntimeFolder)
        first.runtimeFolder = runtimeFolderOwnedBy(QStringLiteral("run-first"), 0, 0);
    Person second{other->pw_uid, other->pw_gid, QString::fromLocal8Bit(other->pw_name), {}};
    if (secondRuntimeFolder == QStringLiteral("own"))
        second.runtimeFolder =
            runtimeFolderOwnedBy(QStringLiteral("run-second"), other->pw_uid, other->pw_gid);
    else if (secondRuntimeFolder == QStringLiteral("first's"))
        second.runtimeFolder = first.runtimeFolder;
    QVERIFY(firstHasRuntimeFolder == !first.runtimeFolder.isEmpty());
    QVERIFY(secondRuntimeFolder.isEmpty() == second.runtimeFolder.isEmpty());

    LauncherProcess firstCopy(program, m_tempFolder, first);
    QVERIFY2(firstCopy.waitForOutput(WindowLine), firstCopy.errors().constData());

    // The second person gets a launcher of their own, at once.
    LauncherProcess secondCopy(program, m_tempFolder, second);
    QVERIFY2(secondCopy.waitForOutput(FirstCopyLine), secondCopy.errors().constData());
    QVERIFY2(secondCopy.waitForOutput(WindowLine), secondCopy.errors().constData());

    // Starting again, the second person brings their own copy forward, not the first's.
    LauncherProcess secondAgain(program, m_tempFolder, second);
    QVERIFY(secondAgain.process().waitForFinished(StartWaitMs));
    QCOMPARE(secondAgain.process().exitCode(), 0);
    QVERIFY2(!secondAgain.errors().contains(FirstCopyLine), secondAgain.errors().constData());
    QVERIFY2(secondCopy.waitForOutput(ActivationLine), secondCopy.errors().constData());

    QCOMPARE(firstCopy.process().state(), QProcess::Running);
    QCOMPARE(secondCopy.process().state(), QProcess::Running);
    QVERIFY2(!firstCopy.errors().contains(ActivationLine), firstCopy.errors().constData());
}

QTEST_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
