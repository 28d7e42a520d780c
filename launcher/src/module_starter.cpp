#include "launcher/module_starter.h"

#include <QProcess>

bool startModuleDetached(const QString& executable) {
    return QProcess::startDetached(executable, {}, QString());
}

ModuleStarter& moduleStarter() {
    static ModuleStarter starter = startModuleDetached;
    return starter;
}
