#pragma once

#include "launcher/module_options.h"
#include "launcher/update_run_queue.h"

#include "platform/datetime.h"

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class TActivityIndicator;
class TImage;
class TInstallationLock;

// The launcher's one window: a fixed picture board whose pictures start the
// suite's modules, with a waiting panel shown during update runs.
class TFrmMenu : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 1018;
    static constexpr int ClientHeight = 662;

    // installFolder is where the program lives (settings file, modules, report
    // folder); empty means the folder of the running executable.
    explicit TFrmMenu(const QString& installFolder = QString(), QWidget* parent = nullptr);
    ~TFrmMenu() override;

    // Components, named as in the window's layout.
    TImage* Image1 = nullptr;
    TImage* imgProntuario = nullptr;
    TImage* imgAgendaConsulta = nullptr;
    TImage* imgEstoque = nullptr;
    TImage* imgSame = nullptr;
    TImage* imgCompras = nullptr;
    TImage* imgExames = nullptr;
    TImage* imgFinanceiro = nullptr;
    TImage* imgFaturamento = nullptr;
    TImage* imgSuporteRemoto1 = nullptr;
    TImage* imgSuporteRemoto2 = nullptr;
    TImage* imgEmail = nullptr;
    TImage* imgAdmSistema = nullptr;
    TImage* imgCadGeral = nullptr;
    TImage* imgAeC = nullptr;
    TImage* imgAtendimento = nullptr;
    TImage* imgCustos = nullptr;
    TImage* imgCentroCirurgico = nullptr;
    TImage* imgGlosas = nullptr;
    TImage* imgControEquip = nullptr;
    QFrame* pnlTemporizador = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lblProgresso = nullptr;  // "N de M arquivos" while stale files are fetched
    QLabel* lblAguardando = nullptr; // while another process updates this installation
    TActivityIndicator* aciTemporizador = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* AbreoSistemadeGesttoHospitalar1 = nullptr;
    QAction* N1 = nullptr;
    QAction* FechaoSistemadeGesttoHospitalar1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* tmrAguardaLock = nullptr; // looks again whether the installation's lock is free

    bool TrayIconCriado = false;

    // Read-only views of the state, for the parts of the program that follow it.
    const TModuleOptions& moduleOptions() const { return *FModuleOptions; }
    const QString& selectedModule() const { return FSelectedModule; }
    const QString& localPath() const { return FLocalPath; }
    const QString& remotePath() const { return FRemotePath; }
    const QString& url() const { return FUrl; }
    bool closingRequested() const { return wfecha; }
    QSystemTrayIcon* trayIcon() const { return m_trayIcon.get(); }

public slots:
    void imgClick();
    void imgEmailClick();
    void Timer1Timer();
    void ApplicationEvents1Minimize();
    void AbreoSistemadeGesttoHospitalar1Click();
    void FechaoSistemadeGesttoHospitalar1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void createComponents();
    TImage* addPicture(const QString& name, const QRect& geometry);
    void RegisterModules();
    void FormCreate();
    void FormShow();
    void FormClose(QCloseEvent* event);
    void FormDestroy();
    void FormActivate();
    void LoadSettings();
    void ensureReportFolder();
    void addTrayIcon();
    void OpenModule(const QString& AModuleName, bool AAdditionalFiles);
    void RunSelectedModule();

    // The update cycle: one run at a time; clicks during a run wait their turn.
    using TThreadMethod = std::function<void()>;
    void StartUpdate(const QString& AModuleName, bool AAdditionalFiles, TThreadMethod AOnTerminate);
    void startRuns(UpdateRunRequest request);
    void startRunWhenUnlocked();
    bool startRun(const UpdateRunRequest& request, std::unique_ptr<TInstallationLock> lock);
    void showWaitingForLock();
    void runCompleted(const TThreadMethod& onTerminate);
    void ShowUpdateProgress();
    void UpdateFinished();
    void showFileProgress();

    std::unique_ptr<TModuleOptions> FModuleOptions;
    QString FSelectedModule;
    platform::TDateTime FStart = 0.0;
    QString FLocalPath;
    QString FRemotePath;
    QString FUrl;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    bool wfecha = false;

    UpdateRunQueue m_runs;
    std::optional<UpdateRunRequest> m_runDue; // admitted, waiting for the installation's lock
    QElapsedTimer m_runClock;                 // the elapsed time shown, immune to clock changes
    int m_filesToFetch = 0;
    int m_filesDone = 0;
    bool m_shown = false;

    QString m_installFolder;
};

// The running panel, set by the program entry.
extern TFrmMenu* FrmMenu;
