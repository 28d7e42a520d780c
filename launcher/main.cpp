#include "launcher/frm_menu.h"
#include "launcher/single_instance.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvia Arvento"));
    // The launcher ends only through its menu, never because its window went aside.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second copy from the same executable hands over to the first before it
    // reads settings or makes any window.
    launcher::SingleInstanceGuard guard(
        launcher::instanceKeyFor(QCoreApplication::applicationFilePath()));
    if (!guard.claim())
        return 0;

    auto panel = std::make_unique<TFrmMenu>();
    FrmMenu = panel.get();
    QObject::connect(&guard, &launcher::SingleInstanceGuard::activationRequested, panel.get(),
                     &TFrmMenu::AbreoSistemadeGesttoHospitalar1Click);
    panel->show();
    qCInfo(lcQuorviaInstance) << "window shown";
    const int result = QApplication::exec();
    FrmMenu = nullptr;
    return result;
}
