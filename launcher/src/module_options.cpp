#include "launcher/module_options.h"

#include "platform/errors.h"

TModuleOptions::TModuleInfo TModuleOptions::TModuleInfo::Create(const QString& AModuleName,
                                                                bool AAdditionalFiles) {
    return TModuleInfo{AModuleName, AAdditionalFiles};
}

void TModuleOptions::AddModule(const QObject* APicture, const QString& AModuleName,
                               bool AAdditionalFiles) {
    if (FModules.contains(APicture))
        throw platform::EListError(platform::messages::duplicatesNotAllowed());
    FModules.insert(APicture, TModuleInfo::Create(AModuleName, AAdditionalFiles));
}

bool TModuleOptions::TryGetModule(const QObject* APicture, TModuleInfo& AInfo) const {
    const auto it = FModules.constFind(APicture);
    if (it == FModules.constEnd()) {
        AInfo = TModuleInfo{};
        return false;
    }
    AInfo = it.value();
    return true;
}
