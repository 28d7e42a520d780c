#include "launcher/single_instance.h"

#include <platform/errors.h>

#include <QDir>
#include <QDirIterator>
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
    void registryFolder_data();
    void registryFolder();
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
    // Each copy prepares its own installation folder, after it has claimed its place.
    QTRY_VERIFY(QFileInfo(m_root->filePath(QStringLiteral("install-a/Relatorio"))).isDir());
    QTRY_VERIFY(QFileInfo(m_root->filePath(QStringLiteral("install-b/Relatorio"))).isDir());
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
    // Lock file and socket stay behind in the registry folder under the temporary one.
    QDirIterator left(m_tempFolder, {QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden,
                      QDirIterator::Subdirectories);
    QVERIFY(left.hasNext());

    LauncherProcess next(path, m_tempFolder);
    QVERIFY2(next.waitForOutput(FirstCopyLine), next.errors().constData());

    // And it answers later copies as the first one.
    LauncherProcess later(path, m_tempFolder);
    QVERIFY(later.process().waitForFinished(StartWaitMs));
    QCOMPARE(later.process().exitCode(), 0);
    QVERIFY2(next.waitForOutput(ActivationLine), next.errors().constData());
}

void SingleInstanceTest::registryFolder_data() {
    QTest::addColumn<QString>("session");    // XDG_RUNTIME_DIR: "none", "private" or "open"
    QTest::addColumn<QString>("qtFallback"); // <temp>/runtime-<user>: "", "file" or "other's"
    QTest::addColumn<QString>(
        "ownFallback"); // <temp>/quorvia-arvento-<uid>: "", "open", "link", "file"
    QTest::addColumn<QString>("expected"); // "session", "qt", "own" or "error"

    QTest::newRow("the session's folder") << "private"
                                          << ""
                                          << ""
                                          << "session";
    QTest::newRow("no session folder: runtime-<user>") << "none"
                                                       << ""
                                                       << ""
                                                       << "qt";
    QTest::newRow("session folder open to others") << "open"
                                                   << ""
                                                   << ""
                                                   << "qt";
    QTest::newRow("runtime-<user> taken by a file") << "none"
                                                    << "file"
                                                    << ""
                                                    << "own";
    QTest::newRow("runtime-<user> taken by someone else") << "none"
                                                          << "other's"
                                                          << ""
                                                          << "own";
    QTest::newRow("both names taken") << "none"
                                      << "file"
                                      << "file"
                                      << "error";
    QTest::newRow("own folder open to others") << "none"
                                               << "file"
                                               << "open"
                                               << "error";
    QTest::newRow("own folder a planted link") << "none"
                                               << "file"
                                               << "link"
                                               << "error";
}

void SingleInstanceTest::registryFolder() {
    QFETCH(QString, session);
    QFETCH(QString, qtFallback);
    QFETCH(QString, ownFallback);
    QFETCH(QString, expected);
    if (qtFallback == QStringLiteral("other's") && ::geteuid() != 0)
        QSKIP("Making a folder someone else's needs root");

    const QDir temp(m_tempFolder);
    const QDir root(m_root->path());
    const auto privateOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const auto open =
        privateOnly | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const passwd* me = ::getpwuid(::geteuid());
    QVERIFY(me != nullptr);
    const QString qtName =
        temp.filePath(QStringLiteral("runtime-") + QString::fromLocal8Bit(me->pw_name));
    const QString ownName = temp.filePath(QStringLiteral("quorvia-arvento-%1").arg(::geteuid()));
    const QString sessionName = root.filePath(QStringLiteral("session"));

    QVERIFY(QDir().mkpath(sessionName));
    QVERIFY(
        QFile::setPermissions(sessionName, session == QStringLiteral("open") ? open : privateOnly));
    auto makeFile = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly);
    };
    if (qtFallback == QStringLiteral("file"))
        QVERIFY(makeFile(qtName));
    if (qtFallback == QStringLiteral("other's")) {
        QVERIFY(QDir().mkdir(qtName, privateOnly));
        QCOMPARE(::chown(QFile::encodeName(qtName).constData(), 65534, 65534), 0);
    }
    if (ownFallback == QStringLiteral("file"))
        QVERIFY(makeFile(ownName));
    if (ownFallback == QStringLiteral("open"))
        QVERIFY(QDir().mkdir(ownName, open));
    if (ownFallback == QStringLiteral("link")) {
        // A link to a folder that is ours and closed: still not to be trusted.
        const QString target = root.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkdir(target, privateOnly));
        QVERIFY(QFile::link(target, ownName));
    }

    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QByteArray savedSession = qgetenv("XDG_RUNTIME_DIR");
    const bool hadSession = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(m_tempFolder));
    if (session == QStringLiteral("none"))
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sessionName));
    QString folder;
    QString error;
    try {
        folder = launcher::instanceRegistryFolder();
    } catch (const platform::Exception& e) {
        error = e.message();
    }
    qputenv("TMPDIR", savedTemp);
    if (hadSession)
        qputenv("XDG_RUNTIME_DIR", savedSession);
    else
        qunsetenv("XDG_RUNTIME_DIR");

    if (expected == QStringLiteral("error")) {
        QVERIFY2(folder.isEmpty(), qPrintable(folder));
        QVERIFY(error.contains(ownName));
        return;
    }
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString wanted = expected == QStringLiteral("session") ? sessionName
                           : expected == QStringLiteral("qt")    ? qtName
                                                                 : ownName;
    QCOMPARE(folder, wanted);
    const QFileInfo info(folder);
    QVERIFY(info.isDir());
    QCOMPARE(info.ownerId(), ::geteuid());
    QCOMPARE(info.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             privateOnly);
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
