#include "launcher/frm_menu.h"

#include "launcher/activity_indicator.h"
#include "launcher/contacts.h"
#include "launcher/elapsed_format.h"
#include "launcher/error_box.h"
#include "launcher/module_starter.h"
#include "launcher/picture.h"
#include "launcher/support_mail.h"

#include "dialogs/message_dialogs.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/files_updater.h"
#include "update/installation_lock.h"
#include "update/server_settings.h"
#include "update/shared_files.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QSystemTrayIcon>
#include <QTimer>

TFrmMenu* FrmMenu = nullptr;

// Resources of a static library must be registered by hand; outside any namespace.
static void initLauncherArtwork() {
    static bool registered = false;
    if (!registered) {
        Q_INIT_RESOURCE(launcher_artwork);
        registered = true;
    }
}

namespace {

enum class Artwork { None, Centred, TopLeft };

struct PictureRow {
    TImage* TFrmMenu::*member;
    const char16_t* name;
    QRect geometry;
    Artwork artwork;
};

// The picture board, bottom to top: later pictures lie above earlier ones.
const PictureRow PictureLayout[] = {
    {&TFrmMenu::Image1, u"Image1", {0, 0, 1018, 662}, Artwork::Centred},
    {&TFrmMenu::imgProntuario, u"imgProntuario", {517, 116, 474, 66}, Artwork::Centred},
    {&TFrmMenu::imgAgendaConsulta, u"imgAgendaConsulta", {33, 114, 465, 68}, Artwork::Centred},
    {&TFrmMenu::imgEstoque, u"imgEstoque", {415, 316, 186, 110}, Artwork::Centred},
    {&TFrmMenu::imgSame, u"imgSame", {517, 210, 471, 66}, Artwork::Centred},
    {&TFrmMenu::imgCompras, u"imgCompras", {127, 447, 178, 110}, Artwork::Centred},
    {&TFrmMenu::imgExames, u"imgExames", {223, 315, 186, 111}, Artwork::Centred},
    {&TFrmMenu::imgFinanceiro, u"imgFinanceiro", {318, 447, 180, 113}, Artwork::Centred},
    {&TFrmMenu::imgFaturamento, u"imgFaturamento", {31, 210, 466, 69}, Artwork::Centred},
    {&TFrmMenu::imgSuporteRemoto1, u"imgSuporteRemoto1", {688, 601, 51, 41}, Artwork::None},
    {&TFrmMenu::imgSuporteRemoto2, u"imgSuporteRemoto2", {809, 595, 48, 47}, Artwork::None},
    {&TFrmMenu::imgEmail, u"imgEmail", {930, 587, 51, 38}, Artwork::None},
    {&TFrmMenu::imgAdmSistema, u"imgAdmSistema", {223, 605, 194, 32}, Artwork::TopLeft},
    {&TFrmMenu::imgCadGeral, u"imgCadGeral", {51, 605, 143, 30}, Artwork::TopLeft},
    {&TFrmMenu::imgAeC, u"imgAeC", {331, 8, 349, 100}, Artwork::None},
    {&TFrmMenu::imgAtendimento, u"imgAtendimento", {31, 315, 178, 111}, Artwork::Centred},
    {&TFrmMenu::imgCustos, u"imgCustos", {517, 447, 180, 113}, Artwork::Centred},
    {&TFrmMenu::imgCentroCirurgico, u"imgCentroCirurgico", {607, 315, 182, 110}, Artwork::Centred},
    {&TFrmMenu::imgGlosas, u"imgGlosas", {717, 447, 173, 113}, Artwork::Centred},
    {&TFrmMenu::imgControEquip, u"imgControEquip", {809, 315, 182, 110}, Artwork::Centred},
};

QString reportFolderError() {
    return QStringLiteral("Não Criou o Diretório Relatorio. Contacte o Quorvia.");
}

} // namespace

TFrmMenu::TFrmMenu(const QString& installFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_installFolder(installFolder.isEmpty() ? QCoreApplication::applicationDirPath()
                                              : installFolder) {
    initLauncherArtwork();
    createComponents();
    RegisterModules();
    // Like a form's creation handler: an error there is shown, and the panel still opens.
    try {
        FormCreate();
    } catch (const platform::Exception& error) {
        launcher::showStandardErrorBox(this, QCoreApplication::applicationName(), error.message());
    }
}

TFrmMenu::~TFrmMenu() {
    FormDestroy();
}

void TFrmMenu::createComponents() {
    setObjectName(QStringLiteral("FrmMenu"));
    setFixedSize(ClientWidth, ClientHeight);
    QFont formFont(QStringLiteral("Tahoma"));
    formFont.setPixelSize(11);
    setFont(formFont);
    setWindowIcon(QIcon(QStringLiteral(":/artwork/quorvia_icon.png")));

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    AbreoSistemadeGesttoHospitalar1 =
        PopupMenu->addAction(QStringLiteral("Abre o Sistema de Gesttão Hospitalar"));
    AbreoSistemadeGesttoHospitalar1->setObjectName(
        QStringLiteral("AbreoSistemadeGesttoHospitalar1"));
    N1 = PopupMenu->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    FechaoSistemadeGesttoHospitalar1 =
        PopupMenu->addAction(QStringLiteral("Fecha o Sistema de Gesttão Hospitalar"));
    FechaoSistemadeGesttoHospitalar1->setObjectName(
        QStringLiteral("FechaoSistemadeGesttoHospitalar1"));
    connect(AbreoSistemadeGesttoHospitalar1, &QAction::triggered, this,
            &TFrmMenu::AbreoSistemadeGesttoHospitalar1Click);
    connect(FechaoSistemadeGesttoHospitalar1, &QAction::triggered, this,
            &TFrmMenu::FechaoSistemadeGesttoHospitalar1Click);

    for (const PictureRow& row : PictureLayout) {
        const QString name = QString::fromUtf16(row.name);
        TImage* picture = addPicture(name, row.geometry);
        this->*row.member = picture;
        if (row.artwork != Artwork::None)
            picture->setPicture(
                QPixmap(QStringLiteral(":/artwork/") + name + QStringLiteral(".jpg")),
                row.artwork == Artwork::Centred);
        if (picture != Image1)
            picture->setCursor(Qt::PointingHandCursor);
        if (picture != imgAeC)
            picture->setPopupMenu(PopupMenu);
        if (picture != Image1 && picture != imgAeC && picture != imgEmail)
            connect(picture, &TImage::clicked, this, &TFrmMenu::imgClick);
    }
    connect(imgEmail, &TImage::clicked, this, &TFrmMenu::imgEmailClick);
    imgEmail->setToolTip(QStringLiteral("e-mail : ") + launcher::contacts::supportEmail());

    pnlTemporizador = new QFrame(this);
    pnlTemporizador->setObjectName(QStringLiteral("pnlTemporizador"));
    pnlTemporizador->setGeometry(302, 285, 369, 143);
    pnlTemporizador->setFrameShape(QFrame::NoFrame);
    QPalette panelPalette = pnlTemporizador->palette();
    panelPalette.setColor(QPalette::Window, QColor(31, 136, 214));
    pnlTemporizador->setPalette(panelPalette);
    pnlTemporizador->setAutoFillBackground(true);
    pnlTemporizador->setCursor(Qt::BusyCursor);

    Label1 = new QLabel(QStringLiteral("Aguarde Atualizando"), pnlTemporizador);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(43, 67, 271, 37);
    QFont labelFont(QStringLiteral("Segoe UI"));
    labelFont.setPixelSize(27);
    labelFont.setBold(true);
    Label1->setFont(labelFont);
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::WindowText, Qt::white);
    Label1->setPalette(labelPalette);
    // The caption sizes the label, as the designer's auto-size did: where the
    // font stands in with wider letters the label grows rather than clip them.
    const int captionWidth = Label1->sizeHint().width();
    if (captionWidth > Label1->width())
        Label1->resize(captionWidth, Label1->height());

    lblProgresso = new QLabel(pnlTemporizador);
    lblProgresso->setObjectName(QStringLiteral("lblProgresso"));
    lblProgresso->setGeometry(0, 106, pnlTemporizador->width(), 24);
    lblProgresso->setAlignment(Qt::AlignCenter);
    QFont progressFont(QStringLiteral("Segoe UI"));
    progressFont.setPixelSize(15);
    lblProgresso->setFont(progressFont);
    lblProgresso->setPalette(labelPalette);
    lblProgresso->hide();

    lblAguardando = new QLabel(QStringLiteral("Aguardando outra atualização"), pnlTemporizador);
    lblAguardando->setObjectName(QStringLiteral("lblAguardando"));
    lblAguardando->setGeometry(lblProgresso->geometry());
    lblAguardando->setAlignment(Qt::AlignCenter);
    lblAguardando->setFont(progressFont);
    lblAguardando->setPalette(labelPalette);
    lblAguardando->hide();

    aciTemporizador = new TActivityIndicator(pnlTemporizador);
    aciTemporizador->setObjectName(QStringLiteral("aciTemporizador"));
    aciTemporizador->setIndicatorSize(TActivityIndicator::Size::Large);
    aciTemporizador->setIndicatorColor(Qt::white);
    aciTemporizador->setFrameDelay(30);
    aciTemporizador->move(159, 19);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &TFrmMenu::Timer1Timer);

    tmrAguardaLock = new QTimer(this);
    tmrAguardaLock->setObjectName(QStringLiteral("tmrAguardaLock"));
    tmrAguardaLock->setInterval(250);
    tmrAguardaLock->setSingleShot(true);
    connect(tmrAguardaLock, &QTimer::timeout, this, &TFrmMenu::startRunWhenUnlocked);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TImage* TFrmMenu::addPicture(const QString& name, const QRect& geometry) {
    auto* picture = new TImage(this);
    picture->setObjectName(name);
    picture->setGeometry(geometry);
    return picture;
}

void TFrmMenu::RegisterModules() {
    FModuleOptions = std::make_unique<TModuleOptions>();
    FModuleOptions->AddModule(imgAdmSistema, QStringLiteral("SysAdmin.exe"), true);
    FModuleOptions->AddModule(imgCadGeral, QStringLiteral("Registry.exe"), true);
    FModuleOptions->AddModule(imgAgendaConsulta, QStringLiteral("Appointments.exe"), true);
    FModuleOptions->AddModule(imgProntuario, QStringLiteral("Prescriptions.exe"), true);
    FModuleOptions->AddModule(imgFaturamento, QStringLiteral("Billing.exe"), true);
    FModuleOptions->AddModule(imgSame, QStringLiteral("Archive.exe"), true);
    FModuleOptions->AddModule(imgAtendimento, QStringLiteral("Emergency.exe"), true);
    FModuleOptions->AddModule(imgExames, QStringLiteral("Exams.exe"), true);
    FModuleOptions->AddModule(imgEstoque, QStringLiteral("Inventory.exe"), true);
    FModuleOptions->AddModule(imgCentroCirurgico, QStringLiteral("SurgerySchedule.exe"), true);
    FModuleOptions->AddModule(imgControEquip, QStringLiteral("Equipment.exe"), true);
    FModuleOptions->AddModule(imgCompras, QStringLiteral("Purchasing.exe"), true);
    FModuleOptions->AddModule(imgFinanceiro, QStringLiteral("Finance.exe"), true);
    FModuleOptions->AddModule(imgCustos, QStringLiteral("Costs.exe"), true);
    FModuleOptions->AddModule(imgGlosas, QStringLiteral("Denials.exe"), true);
    FModuleOptions->AddModule(imgSuporteRemoto1, QStringLiteral("TeamViewerQS_pt.exe"), false);
    FModuleOptions->AddModule(imgSuporteRemoto2, QStringLiteral("Supremo.exe"), false);
}

void TFrmMenu::FormCreate() {
    imgAeC->setToolTip(QStringLiteral("Telefone : ") + launcher::contacts::telephone() +
                       QStringLiteral("\r\n") + launcher::contacts::salesEmail());
    if (!TrayIconCriado)
        addTrayIcon();
    wfecha = false;
    LoadSettings();
    FLocalPath = platform::withTrailingSeparator(m_installFolder);
    ensureReportFolder();
}

void TFrmMenu::LoadSettings() {
    const ServerSettings settings = readServerSettings(m_installFolder);
    FLocalPath = settings.localPath;
    FRemotePath = settings.remotePath;
    FUrl = settings.url;
    setWindowTitle(QStringLiteral("Quorvia Orbel [2022.01.00]"));
}

void TFrmMenu::ensureReportFolder() {
    const QString reportFolder = reportFolderOf(FLocalPath);
    if (platform::directoryExists(reportFolder))
        return;
    if (!platform::createFolder(reportFolder))
        throw platform::EInOutError(reportFolderError());
}

void TFrmMenu::addTrayIcon() {
    // Desktops without a notification area get no icon; the launcher works on.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_trayIcon = std::make_unique<QSystemTrayIcon>(windowIcon());
    m_trayIcon->setToolTip(QCoreApplication::applicationName());
    m_trayIcon->show();
    TrayIconCriado = m_trayIcon->isVisible();
    if (!TrayIconCriado)
        m_trayIcon.reset();
}

void TFrmMenu::FormShow() {
    Timer1->start();
}

void TFrmMenu::FormClose(QCloseEvent* event) {
    if (wfecha) {
        event->accept();
        QCoreApplication::quit();
        return;
    }
    // Closing by the title bar or the keyboard only puts the launcher aside.
    event->ignore();
    showMinimized();
}

void TFrmMenu::FormDestroy() {
    if (m_trayIcon)
        m_trayIcon->hide();
    m_trayIcon.reset();
}

void TFrmMenu::FormActivate() {}

void TFrmMenu::imgClick() {
    TModuleOptions::TModuleInfo info;
    FModuleOptions->TryGetModule(sender(), info);
    OpenModule(info.FModuleName, info.FAdditionalFiles);
}

void TFrmMenu::OpenModule(const QString& AModuleName, bool AAdditionalFiles) {
    const QString selected = platform::joinPath(FLocalPath, AModuleName);
    FSelectedModule = selected;
    // Each run keeps the module it was started for, whatever is clicked meanwhile.
    StartUpdate(AModuleName, AAdditionalFiles, [this, selected] {
        FSelectedModule = selected;
        RunSelectedModule();
    });
}

void TFrmMenu::RunSelectedModule() {
    UpdateFinished();
    if (platform::fileExists(FSelectedModule)) {
        // Nothing is reported when the system refuses to start the file.
        moduleStarter()(FSelectedModule);
        return;
    }
    dialogs::ShowMessageDialogFmt(QStringLiteral("Módulo não instalado.\r\n%s"), {FSelectedModule},
                                  dialogs::mtInformation, {}, 0);
}

void TFrmMenu::imgEmailClick() {
    const unsigned code = supportMailSender()(launcher::contacts::supportEmail());
    if (code == 0)
        return;
    dialogs::ShowMessageDialog(MailResultText(code), dialogs::mtError, {}, 0, -1, -1, QString());
}

void TFrmMenu::Timer1Timer() {
    Timer1->stop();
    StartUpdate(QString(), true, [this] { UpdateFinished(); });
}

void TFrmMenu::StartUpdate(const QString& AModuleName, bool AAdditionalFiles,
                           TThreadMethod AOnTerminate) {
    if (FRemotePath.isEmpty() && FUrl.trimmed().isEmpty())
        return; // no central copy configured: nothing runs, nothing is shown
    UpdateRunRequest request{AModuleName, AAdditionalFiles, !AModuleName.isEmpty(),
                             std::move(AOnTerminate)};
    if (m_runs.admit(request) == UpdateRunQueue::Admission::StartNow)
        startRuns(std::move(request));
    // Otherwise the run waits for the current one; the panel already shows.
}

void TFrmMenu::startRuns(UpdateRunRequest request) {
    m_runDue = std::move(request);
    startRunWhenUnlocked();
}

// Starts the due run once this installation's lock is free. While another process
// (a scheduled command, another workstation on a shared folder) holds it, the
// panel keeps animating and says so, and the timer looks again: the window never
// blocks on the lock, and clicks meanwhile queue up as during any run.
void TFrmMenu::startRunWhenUnlocked() {
    while (m_runDue) {
        auto lock = std::make_unique<TInstallationLock>(FLocalPath);
        try {
            if (!lock->tryLock()) {
                showWaitingForLock();
                tmrAguardaLock->start();
                return;
            }
        } catch (const std::exception&) {
            // No lock file can be made in this folder (read-only for this user):
            // no fetch can write here either, so the run goes on unlocked, its
            // files fail alone and the module still starts.
            lock.reset();
        }
        lblAguardando->hide();
        const UpdateRunRequest request = std::move(*m_runDue);
        m_runDue.reset();
        if (startRun(request, std::move(lock)))
            return; // the run's completion starts the next waiting run
        // The run could not be prepared: the panel keeps animating, the queue goes on.
        m_runDue = m_runs.finishCurrent();
    }
}

void TFrmMenu::showWaitingForLock() {
    lblProgresso->hide();
    lblAguardando->show();
    pnlTemporizador->show();
    aciTemporizador->setAnimate(true);
}

bool TFrmMenu::startRun(const UpdateRunRequest& request, std::unique_ptr<TInstallationLock> lock) {
    ShowUpdateProgress();
    try {
        QPointer<TFrmMenu> self(this);
        TUpdateObserver observer;
        observer.filesQueued = [this](int, int queued) {
            m_filesToFetch = queued;
            m_filesDone = 0;
            showFileProgress();
        };
        // Pool threads report here; the count is kept in the main thread.
        const auto fileDone = [self] {
            QMetaObject::invokeMethod(
                self.data(),
                [self] {
                    if (TFrmMenu* panel = self.data()) {
                        ++panel->m_filesDone;
                        panel->showFileProgress();
                    }
                },
                Qt::QueuedConnection);
        };
        observer.fileSucceeded = [fileDone](const QString&) {
            fileDone();
        };
        observer.fileFailed = [fileDone](const QString&, const QString&) {
            fileDone();
        };
        const auto updater = TFilesUpdater::New(
            FLocalPath, FRemotePath, FUrl,
            [self, onTerminate = request.onTerminate] {
                if (self)
                    self->runCompleted(onTerminate);
            },
            std::move(observer), std::move(lock));
        updater->Execute(request.moduleName, request.additionalFiles);
        return true;
    } catch (const std::exception& error) {
        launcher::showStandardErrorBox(this, QCoreApplication::applicationName(),
                                       platform::errorMessage(error));
    }
    return false;
}

void TFrmMenu::runCompleted(const TThreadMethod& onTerminate) {
    if (onTerminate)
        onTerminate();
    if (auto next = m_runs.finishCurrent())
        startRuns(std::move(*next));
}

void TFrmMenu::ShowUpdateProgress() {
    FStart = platform::now();
    m_runClock.start();
    m_filesToFetch = 0;
    m_filesDone = 0;
    showFileProgress();
    pnlTemporizador->show();
    aciTemporizador->setAnimate(true);
    // Paint the panel now: the listing that follows keeps this thread busy.
    pnlTemporizador->repaint();
}

void TFrmMenu::UpdateFinished() {
    // With another run waiting, the panel stays until the last one is over.
    if (!m_runs.hasWaiting()) {
        pnlTemporizador->hide();
        aciTemporizador->setAnimate(false);
    }
    const qint64 elapsed = m_runClock.isValid() ? m_runClock.elapsed() : 0;
    setWindowTitle(QCoreApplication::applicationName() + QStringLiteral(" Tempo do update : ") +
                   formatUpdateElapsed(elapsed, localeTimeSeparator(QLocale())));
}

void TFrmMenu::showFileProgress() {
    if (m_filesToFetch <= 0) {
        lblProgresso->hide();
        return;
    }
    lblProgresso->setText(QStringLiteral("%1 de %2 arquivos").arg(m_filesDone).arg(m_filesToFetch));
    lblProgresso->show();
}

void TFrmMenu::ApplicationEvents1Minimize() {
    // Qt has no hidden application window beside the panel, so nothing is left
    // to hide: the panel itself stays minimised on its task-bar button.
}

void TFrmMenu::AbreoSistemadeGesttoHospitalar1Click() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void TFrmMenu::FechaoSistemadeGesttoHospitalar1Click() {
    wfecha = true;
    close();
}

void TFrmMenu::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window is shown once per process; restoring it arms nothing.
    if (!event->spontaneous() && !m_shown) {
        m_shown = true;
        FormShow();
    }
}

void TFrmMenu::closeEvent(QCloseEvent* event) {
    FormClose(event);
}

void TFrmMenu::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        ApplicationEvents1Minimize();
    else if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}
