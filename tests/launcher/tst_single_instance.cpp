#include "launcher/single_instance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QByteArray FirstCopyLine = QByteArrayLiteral("first copy of this program");
const QByteArray ActivationLine = QByteArrayLiteral("activation requested by another copy");
constexpr int StartWaitMs = 30'000;

// A launcher process whose standard error the test reads.
class LauncherProcess {
public:
    LauncherProcess(const QString& program, const QString& tempFolder) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("qt.*=false\nquorvia.instance.info=true"));
        // Lock and socket names live in the temp folder; keep them private to this test.
        env.insert(QStringLiteral("TMPDIR"), tempFolder);
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
    QVERIFY(!QDir(m_tempFolder).entryList(QDir::Files | QDir::System | QDir::Hidden).isEmpty());

    LauncherProcess next(path, m_tempFolder);
    QVERIFY2(next.waitForOutput(FirstCopyLine), next.errors().constData());

    // And it answers later copies as the first one.
    LauncherProcess later(path, m_tempFolder);
    QVERIFY(later.process().waitForFinished(StartWaitMs));
    QCOMPARE(later.process().exitCode(), 0);
    QVERIFY2(next.waitForOutput(ActivationLine), next.errors().constData());
}

QTEST_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
