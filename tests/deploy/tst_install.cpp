// cmake --install into a staging folder (DESTDIR): the files are where the
// desktop entry and the service unit say they are, and the installed programs run.

#include "test_process.h"
#include "update/server_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using test_process::Outcome;

// An install or a unit check may take minutes on a loaded machine.
constexpr int ProcessTimeoutMs = 300000;

Outcome run(const QString& program, const QStringList& arguments,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    return test_process::run(program, arguments, ProcessTimeoutMs, environment);
}

// "Key=value" lines of a desktop entry or unit file; a key given twice keeps all.
QMultiMap<QString, QString> keyValues(const QString& path) {
    QMultiMap<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        const qsizetype eq = line.indexOf(u'=');
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u'[') || eq < 0)
            continue;
        values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

class InstallTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void desktopEntry();
    void serviceUnit();
    void unitVerifies();
    void manualPages();
    void exampleSettings();
    void installedUpdateRuns();

private:
    QTemporaryDir m_stage;
    QString staged(const QString& absolutePath) const { return m_stage.path() + absolutePath; }
};

void InstallTest::initTestCase() {
    QVERIFY(m_stage.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DESTDIR"_s, m_stage.path());
    const Outcome outcome = run(QStringLiteral(QUORVIA_CMAKE_COMMAND),
                                {u"--install"_s, QStringLiteral(QUORVIA_BUILD_DIR)}, environment);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.out + outcome.err));
}

void InstallTest::desktopEntry() {
    const QString prefix = QStringLiteral(QUORVIA_INSTALL_PREFIX);
    const auto entry = keyValues(staged(prefix + u"/share/applications/quorvia-arvento.desktop"_s));
    QCOMPARE(entry.value(u"Type"_s), u"Application"_s);
    QVERIFY(!entry.value(u"Name"_s).isEmpty());

    // The launcher sits in its own folder, the one it keeps current.
    const QString exec = entry.value(u"Exec"_s);
    QCOMPARE(exec, QStringLiteral(QUORVIA_INSTALL_FOLDER) + u"/quorvia-arvento"_s);
    QVERIFY2(isExecutableFile(staged(exec)), qPrintable(exec));
    QCOMPARE(entry.value(u"Path"_s), QStringLiteral(QUORVIA_INSTALL_FOLDER));
    QVERIFY(QFileInfo(staged(QStringLiteral(QUORVIA_INSTALL_FOLDER) + u"/Relatorio"_s)).isDir());

    // A theme icon name, found in the hicolor theme.
    const QString icon = entry.value(u"Icon"_s);
    QVERIFY(!icon.isEmpty() && !icon.contains(u'/'));
    QDir hicolor(staged(prefix + u"/share/icons/hicolor"_s));
    QStringList found;
    for (const QString& size : hicolor.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString candidate = hicolor.filePath(size + u"/apps/"_s + icon + u".png"_s);
        if (QFileInfo(candidate).isFile())
            found << size;
    }
    QCOMPARE(found, QStringList{u"64x64"_s});
}

void InstallTest::serviceUnit() {
    const QString prefix = QStringLiteral(QUORVIA_INSTALL_PREFIX);
    const QString unitPath = staged(prefix + u"/lib/systemd/system/quorvia-fileserver.service"_s);
    const auto unit = keyValues(unitPath);
    QVERIFY2(!unit.isEmpty(), qPrintable(unitPath));

    const QStringList command = unit.value(u"ExecStart"_s).split(u' ', Qt::SkipEmptyParts);
    QVERIFY(command.size() >= 5);
    QCOMPARE(command[0], prefix + u"/bin/quorvia-fileserver"_s);
    QVERIFY2(isExecutableFile(staged(command[0])), qPrintable(command[0]));
    QCOMPARE(command.mid(1), (QStringList{u"--root"_s, u"${QUORVIA_ROOT}"_s, u"--listen"_s,
                                          u"${QUORVIA_LISTEN}"_s}));

    // The settings file the unit reads is installed and sets both variables.
    QString environmentFile = unit.value(u"EnvironmentFile"_s);
    if (environmentFile.startsWith(u'-'))
        environmentFile.remove(0, 1);
    const auto settings = keyValues(staged(environmentFile));
    QVERIFY2(settings.value(u"QUORVIA_ROOT"_s).startsWith(u"/srv/"_s), qPrintable(environmentFile));
    QVERIFY(!settings.value(u"QUORVIA_LISTEN"_s).isEmpty());

    // Its own user and a read-only system.
    QCOMPARE(unit.value(u"DynamicUser"_s), u"yes"_s);
    QCOMPARE(unit.value(u"ProtectSystem"_s), u"strict"_s);
    QCOMPARE(unit.value(u"NoNewPrivileges"_s), u"yes"_s);
    QCOMPARE(unit.value(u"CapabilityBoundingSet"_s), QString());

    // The cache site the manual page points to.
    QVERIFY(
        QFileInfo(staged(prefix + u"/share/doc/quorvia-fileserver/nginx-site.conf"_s)).isFile());
}

void InstallTest::unitVerifies() {
    const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed (Debian package systemd)");
    const QString prefix = QStringLiteral(QUORVIA_INSTALL_PREFIX);
    // verify looks for ExecStart's program on this machine: a copy of the unit
    // names the staged one.
    QFile unit(staged(prefix + u"/lib/systemd/system/quorvia-fileserver.service"_s));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QByteArray text = unit.readAll();
    const QByteArray binary = (prefix + u"/bin/quorvia-fileserver"_s).toUtf8();
    QVERIFY(text.contains("ExecStart=" + binary + ' '));
    text.replace("ExecStart=" + binary,
                 "ExecStart=" + staged(prefix).toUtf8() + "/bin/quorvia-fileserver");
    QTemporaryDir units;
    QFile copy(units.filePath(u"quorvia-fileserver.service"_s));
    QVERIFY(copy.open(QIODevice::WriteOnly));
    copy.write(text);
    copy.close();

    // Settings it does not understand are only warned about: the output must be empty.
    const Outcome verify = run(analyze, {u"verify"_s, u"--man=no"_s, copy.fileName()});
    QVERIFY2(verify.exitCode == 0 && verify.out.isEmpty() && verify.err.isEmpty(),
             qPrintable(verify.out + verify.err));

    // The hardening as systemd itself rates it (0 best, 10 worst).
    const Outcome security =
        run(analyze, {u"security"_s, u"--offline=yes"_s, u"--no-pager"_s, copy.fileName()});
    const QRegularExpressionMatch level =
        QRegularExpression(uR"(Overall exposure level for \S+: (\d+\.\d+))"_s).match(security.out);
    QVERIFY2(level.hasMatch(), qPrintable(security.out + security.err));
    QVERIFY2(level.captured(1).toDouble() <= 2.0, qPrintable(level.captured()));
}

void InstallTest::manualPages() {
    const QString man1 = staged(QStringLiteral(QUORVIA_INSTALL_PREFIX) + u"/share/man/man1/"_s);
    for (const QString& page :
         {u"quorvia-arvento"_s, u"quorvia-update"_s, u"quorvia-fileserver"_s}) {
        QFile file(man1 + page + u".1.gz"_s);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QCOMPARE(file.read(2), QByteArray("\x1f\x8b")); // gzip
    }
}

void InstallTest::exampleSettings() {
    // The example, copied beside a launcher, configures a share and no server.
    QTemporaryDir folder;
    QVERIFY(QFile::copy(staged(QStringLiteral(QUORVIA_INSTALL_PREFIX) +
                               u"/share/doc/quorvia-arvento/examples/Quorvia.ini"_s),
                        folder.filePath(SettingsFileName)));
    const ServerSettings settings = readServerSettings(folder.path());
    QCOMPARE(settings.remotePath, u"/mnt/quorvia/"_s);
    QCOMPARE(settings.url, QString());
}

void InstallTest::installedUpdateRuns() {
    const QString program =
        staged(QStringLiteral(QUORVIA_INSTALL_PREFIX) + u"/bin/quorvia-update"_s);
    const Outcome outcome = run(program, {u"--version"_s});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.out, u"quorvia-update "_s + QStringLiteral(QUORVIA_VERSION) + u'\n');
}

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
