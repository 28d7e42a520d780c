#include "launcher/activity_indicator.h"
#include "launcher/frm_menu.h"
#include "launcher/module_starter.h"
#include "launcher/picture.h"
#include "launcher/support_mail.h"

#include "dialogs/message_dialogs.h"
#include "dialogs/transparent_memo.h"
#include "platform/file_ops.h"

#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "launcher_test_support.h"
#include "running_file_server.h"
#include "test_files.h"

using namespace Qt::StringLiterals;
using launcher_test::ErrorBoxRecorder;
using launcher_test::writeFile;
using test_files::ageOf;

namespace {

const platform::TDateTime CentralAge = platform::encodeDateTime(2022, 6, 23, 75'025'123);
constexpr int RunTimeoutMs = 20'000;

// An installation folder and a central share beside it, in one temporary folder.
class Installation {
public:
    Installation() {
        QDir(m_root.path()).mkpath(u"install"_s);
        QDir(m_root.path()).mkpath(u"central/Relatorio"_s);
    }
    QString install() const { return m_root.filePath(u"install"_s); }
    QString central() const { return m_root.filePath(u"central"_s); }
    QString marker() const { return m_root.filePath(u"started.log"_s); }

    void configureServer(const QString& url) {
        writeFile(install() + u"/Quorvia.ini"_s, "[Servidor]\nurl=" + url.toUtf8() + "\n");
    }
    void configureShare(const QString& share) {
        writeFile(install() + u"/Quorvia.ini"_s, "[Servidor]\nLocal Exe=" + share.toUtf8() + "\n");
    }
    void addCentralFile(const QString& relative, const QByteArray& content) {
        const QString path = central() + u'/' + relative;
        writeFile(path, content);
        platform::stampFileAge(path, CentralAge);
    }
    // A module program that notes its name and working folder when started.
    void addCentralModule(const QString& name) {
        const QString path = central() + u'/' + name;
        writeFile(path,
                  "#!/bin/sh\necho \"$(basename \"$0\") $PWD\" >> '" + marker().toUtf8() + "'\n");
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner |
                                        QFileDevice::ExeGroup | QFileDevice::ExeOther);
        platform::stampFileAge(path, CentralAge);
    }
    QStringList startedModules() const {
        QFile file(marker());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir m_root;
};

// Records which modules the panel starts, in order, and still starts them.
class StartRecorder {
public:
    StartRecorder() : m_previous(moduleStarter()) {
        moduleStarter() = [this](const QString& executable) {
            started.append(QFileInfo(executable).fileName());
            return m_previous(executable);
        };
    }
    ~StartRecorder() { moduleStarter() = m_previous; }
    StartRecorder(const StartRecorder&) = delete;
    StartRecorder& operator=(const StartRecorder&) = delete;
    QStringList started;

private:
    ModuleStarter m_previous;
};

struct ShownDialog {
    QString caption;
    QString text;
};

// Answers every message dialog with OK and keeps what it showed.
class DialogRecorder {
public:
    DialogRecorder()
        : m_hook([this](dialogs::TMessageForm& form) {
              shown.append({form.windowTitle(), form.Message->toPlainText()});
              return 1;
          }) {}
    QList<ShownDialog> shown;

private:
    dialogs::ScopedModalHook m_hook;
};

bool idle(const TFrmMenu& panel) {
    return !panel.pnlTemporizador->isVisible() && !panel.aciTemporizador->animate();
}

const QRegularExpression
    RunCaption(u"^Quorvia Arvento Tempo do update : \\d\\d:\\d\\d\\.\\d{3}$"_s);

} // namespace

// The panel's update cycle against a real share folder and the real engine.
class UpdateCycleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QCoreApplication::setApplicationName(u"Quorvia Arvento"_s); }
    void startupRefreshFetchesSharedFiles();
    void clickRefreshesAndStartsModule();
    void fileServerRefreshesAndStartsModule();
    void unreachableServerShowsErrorEachAttempt();
    void missingModuleIsReportedWithItsPath();
    void withoutSourceNothingHappens();
    void failedPreparationKeepsPanelUntilLaterRun();
    void clicksDuringRunStartEachModuleOnceInOrder();
    void runWaitsForAnotherProcessOnTheFolder();
    void supportMail_data();
    void supportMail();
};

void UpdateCycleTest::startupRefreshFetchesSharedFiles() {
    Installation inst;
    inst.configureShare(inst.central());
    inst.addCentralFile(u"common.ini"_s, "[suite]\n");
    inst.addCentralFile(u"Relatorio/RelSysAdmin.rav"_s, "report");
    inst.addCentralFile(u"NotShared.dll"_s, "never asked for");

    TFrmMenu panel(inst.install());
    QVERIFY(panel.pnlTemporizador->isVisibleTo(&panel));
    QVERIFY(!panel.aciTemporizador->animate());
    QCOMPARE(panel.windowTitle(), u"Quorvia Orbel [2022.01.00]"_s);
    panel.show();
    QVERIFY(panel.pnlTemporizador->isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    QVERIFY2(RunCaption.match(panel.windowTitle()).hasMatch(), qPrintable(panel.windowTitle()));
    for (const QString& name : {u"common.ini"_s, u"Relatorio/RelSysAdmin.rav"_s}) {
        platform::TDateTime age = -1.0;
        QVERIFY2(platform::tryReadFileAge(inst.install() + u'/' + name, age), qPrintable(name));
        QCOMPARE(age, CentralAge);
    }
    QVERIFY(!QFile::exists(inst.install() + u"/NotShared.dll"_s));
}

void UpdateCycleTest::clickRefreshesAndStartsModule() {
    Installation inst;
    inst.configureShare(inst.central());
    inst.addCentralModule(u"SysAdmin.exe"_s);
    DialogRecorder dialogs;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    panel.setWindowTitle(u"before the click"_s);

    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(inst.startedModules().size(), 1, RunTimeoutMs);
    // Started from the launcher's own current folder, not the installation folder.
    QCOMPARE(inst.startedModules().front(), u"SysAdmin.exe "_s + QDir::currentPath());
    QCOMPARE(panel.selectedModule(), inst.install() + u"/SysAdmin.exe"_s);
    QVERIFY(idle(panel));
    QVERIFY2(RunCaption.match(panel.windowTitle()).hasMatch(), qPrintable(panel.windowTitle()));
    QCOMPARE(ageOf(inst.install() + u"/SysAdmin.exe"_s), CentralAge);
    QVERIFY(dialogs.shown.isEmpty());
}

void UpdateCycleTest::fileServerRefreshesAndStartsModule() {
    Installation inst;
    inst.addCentralFile(u"common.ini"_s, "[suite]\n");
    inst.addCentralFile(u"Relatorio/RelBilling.rav"_s, "report");
    inst.addCentralModule(u"Billing.exe"_s);
    RunningFileServer server(inst.central());
    inst.configureServer(server.url());
    StartRecorder starts;
    DialogRecorder dialogs;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    QVERIFY(QFile::exists(inst.install() + u"/common.ini"_s));
    QVERIFY(QFile::exists(inst.install() + u"/Relatorio/RelBilling.rav"_s));

    QTest::mouseClick(panel.imgFaturamento, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(inst.startedModules().size(), 1, RunTimeoutMs);
    QCOMPARE(starts.started, QStringList{u"Billing.exe"_s});
    QCOMPARE(ageOf(inst.install() + u"/Billing.exe"_s), CentralAge);
    QVERIFY(dialogs.shown.isEmpty());
}

void UpdateCycleTest::unreachableServerShowsErrorEachAttempt() {
    Installation inst;
    QTcpServer probe; // a loopback port that nobody listens on once closed
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    inst.configureServer(u"http://127.0.0.1:%1"_s.arg(port));
    ErrorBoxRecorder errors;
    StartRecorder starts;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_COMPARE_WITH_TIMEOUT(errors.calls.size(), 1, RunTimeoutMs);
    QCOMPARE(errors.calls.front().title, u"Quorvia Arvento"_s);
    QVERIFY2(errors.calls.front().text.startsWith(u"REST request failed: "_s),
             qPrintable(errors.calls.front().text));
    QVERIFY(panel.aciTemporizador->animate());

    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(errors.calls.size(), 2, RunTimeoutMs);
    QVERIFY(panel.pnlTemporizador->isVisible());
    QVERIFY(panel.aciTemporizador->animate());
    QCOMPARE(panel.windowTitle(), u"Quorvia Orbel [2022.01.00]"_s);
    QVERIFY(starts.started.isEmpty());
}

void UpdateCycleTest::missingModuleIsReportedWithItsPath() {
    Installation inst;
    inst.configureShare(inst.central());
    DialogRecorder dialogs;
    StartRecorder starts;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    QTest::mouseClick(panel.imgFaturamento, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.shown.size(), 1, RunTimeoutMs);
    QCOMPARE(dialogs.shown.front().caption, u"Informação"_s);
    const QStringList lines = dialogs.shown.front().text.split(u'\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).trimmed(), u"Módulo não instalado."_s);
    QCOMPARE(lines.at(1).trimmed(), inst.install() + u"/Billing.exe"_s);
    QVERIFY(idle(panel)); // the run was over before the message
    QVERIFY(starts.started.isEmpty());
}

void UpdateCycleTest::withoutSourceNothingHappens() {
    Installation inst; // no settings file at all
    inst.addCentralModule(u"SysAdmin.exe"_s);
    DialogRecorder dialogs;
    ErrorBoxRecorder errors;
    StartRecorder starts;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_VERIFY(!panel.Timer1->isActive()); // the start-up timer has fired
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTest::qWait(300);
    QVERIFY(panel.pnlTemporizador->isVisible());
    QVERIFY(!panel.aciTemporizador->animate());
    QCOMPARE(panel.windowTitle(), u"Quorvia Orbel [2022.01.00]"_s);
    QVERIFY(dialogs.shown.isEmpty());
    QVERIFY(errors.calls.isEmpty());
    QVERIFY(starts.started.isEmpty());
}

void UpdateCycleTest::failedPreparationKeepsPanelUntilLaterRun() {
    Installation inst;
    const QString share = inst.central() + u"-not-yet"_s;
    inst.configureShare(share);
    inst.addCentralModule(u"SysAdmin.exe"_s); // reachable only once renamed to the share
    ErrorBoxRecorder errors;
    DialogRecorder dialogs;
    StartRecorder starts;

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_COMPARE_WITH_TIMEOUT(errors.calls.size(), 1, RunTimeoutMs);
    QCOMPARE(errors.calls.front().title, u"Quorvia Arvento"_s);
    QCOMPARE(errors.calls.front().text, u"The specified path was not found"_s);
    QVERIFY(panel.pnlTemporizador->isVisible());
    QVERIFY(panel.aciTemporizador->animate());
    QCOMPARE(panel.windowTitle(), u"Quorvia Orbel [2022.01.00]"_s);

    // Every attempt while the share is missing shows the box again and starts nothing.
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(errors.calls.size(), 2, RunTimeoutMs);
    QVERIFY(panel.aciTemporizador->animate());
    QVERIFY(starts.started.isEmpty());

    // Once the share is back, the next run completes and hides the panel.
    QVERIFY(QDir().rename(inst.central(), share));
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    QCOMPARE(errors.calls.size(), 2);
    QCOMPARE(starts.started, QStringList{u"SysAdmin.exe"_s});
    QVERIFY(dialogs.shown.isEmpty());
    QVERIFY2(RunCaption.match(panel.windowTitle()).hasMatch(), qPrintable(panel.windowTitle()));
}

void UpdateCycleTest::clicksDuringRunStartEachModuleOnceInOrder() {
    Installation inst;
    inst.configureShare(inst.central());
    inst.addCentralModule(u"SysAdmin.exe"_s);
    inst.addCentralModule(u"Billing.exe"_s);
    inst.addCentralModule(u"Supremo.exe"_s);
    inst.addCentralFile(u"common.ini"_s, "[suite]\n");
    StartRecorder starts;

    TFrmMenu panel(inst.install());
    panel.show();
    // All in one turn of the event loop: the first run is still going on when the
    // others arrive, and so is the start-up refresh the timer adds behind them.
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTest::mouseClick(panel.imgFaturamento, Qt::LeftButton);
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTest::mouseClick(panel.imgSuporteRemoto2, Qt::LeftButton);
    QTest::mouseClick(panel.imgFaturamento, Qt::LeftButton);
    QVERIFY(panel.pnlTemporizador->isVisible());

    QTRY_COMPARE_WITH_TIMEOUT(starts.started.size(), 3, RunTimeoutMs);
    QCOMPARE(starts.started, (QStringList{u"SysAdmin.exe"_s, u"Billing.exe"_s, u"Supremo.exe"_s}));
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs); // after the queued start-up refresh
    QCOMPARE(starts.started.size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(inst.startedModules().size(), 3, RunTimeoutMs);
    QStringList names;
    for (const QString& line : inst.startedModules())
        names.append(line.section(u' ', 0, 0));
    names.sort();
    QCOMPARE(names, (QStringList{u"Billing.exe"_s, u"Supremo.exe"_s, u"SysAdmin.exe"_s}));
}

// Another process (the command, another workstation) is updating the folder: the
// panel waits without blocking, says so, and its clicks start once that is over.
void UpdateCycleTest::runWaitsForAnotherProcessOnTheFolder() {
    Installation inst;
    inst.configureShare(inst.central());
    inst.addCentralModule(u"SysAdmin.exe"_s);
    inst.addCentralModule(u"Billing.exe"_s);
    inst.addCentralFile(u"common.ini"_s, "[suite]\n");
    StartRecorder starts;
    QProcess holder;
    holder.start(QStringLiteral(UPDATE_RUN_HELPER_BINARY), {u"hold"_s, inst.install()});
    QVERIFY(holder.waitForStarted());
    const auto stopHolder = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished();
    });
    QVERIFY(holder.waitForReadyRead(RunTimeoutMs));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));

    TFrmMenu panel(inst.install());
    panel.show();
    QTRY_VERIFY(panel.lblAguardando->isVisible()); // the start-up refresh is due
    QCOMPARE(panel.lblAguardando->text(), u"Aguardando outra atualização"_s);
    QVERIFY(panel.pnlTemporizador->isVisible());
    QVERIFY(panel.aciTemporizador->animate());
    // The window goes on: clicks are taken and wait their turn.
    QTest::mouseClick(panel.imgAdmSistema, Qt::LeftButton);
    QTest::mouseClick(panel.imgFaturamento, Qt::LeftButton);
    QTest::qWait(700);
    QVERIFY(panel.lblAguardando->isVisible());
    QVERIFY(panel.aciTemporizador->animate());
    QVERIFY(starts.started.isEmpty());
    QVERIFY(!QFile::exists(inst.install() + u"/common.ini"_s));

    holder.write("\n");
    QVERIFY(holder.waitForFinished(RunTimeoutMs));
    QTRY_COMPARE_WITH_TIMEOUT(starts.started.size(), 2, RunTimeoutMs);
    QCOMPARE(starts.started, (QStringList{u"SysAdmin.exe"_s, u"Billing.exe"_s}));
    QTRY_VERIFY_WITH_TIMEOUT(idle(panel), RunTimeoutMs);
    QVERIFY(!panel.lblAguardando->isVisible());
    QCOMPARE(platform::fileExists(inst.install() + u"/common.ini"_s), true);
}

void UpdateCycleTest::supportMail_data() {
    QTest::addColumn<uint>("code");
    QTest::addColumn<bool>("dialogShown");
    QTest::addColumn<QString>("text");
    QTest::newRow("sent") << 0u << false << QString();
    QTest::newRow("no mail program")
        << 1u << true << u"The user canceled one of the dialog boxes; no message was sent."_s;
    QTest::newRow("code outside the table") << 4u << true << QString();
}

void UpdateCycleTest::supportMail() {
    QFETCH(uint, code);
    QFETCH(bool, dialogShown);
    QFETCH(QString, text);
    Installation inst;
    DialogRecorder dialogs;
    QStringList recipients;
    const MailSender previous = supportMailSender();
    supportMailSender() = [&](const QString& recipient) {
        recipients.append(recipient);
        return unsigned(code);
    };
    TFrmMenu panel(inst.install());
    QTest::mouseClick(panel.imgEmail, Qt::LeftButton);
    supportMailSender() = previous;

    QCOMPARE(recipients.size(), 1);
    QVERIFY(panel.imgEmail->toolTip().endsWith(recipients.front()));
    QCOMPARE(dialogs.shown.size(), dialogShown ? 1 : 0);
    if (dialogShown) {
        QCOMPARE(dialogs.shown.front().caption, u"Falha"_s);
        QCOMPARE(dialogs.shown.front().text, text);
    }
}

QTEST_MAIN(UpdateCycleTest)
#include "tst_update_cycle.moc"
