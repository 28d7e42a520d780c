#include "update/server_settings.h"

#include "platform/ini_file.h"
#include "platform/paths.h"

#include <QFile>
#include <QStringDecoder>

ServerSettings readServerSettings(const QString& localPath) {
    ServerSettings settings;
    settings.localPath = platform::withTrailingSeparator(localPath);
    const QString iniPath = settings.localPath + SettingsFileName;
    const QString section = QStringLiteral("Servidor");
    const QString share = platform::readIniString(iniPath, section, QStringLiteral("Local Exe"));
    if (!share.isEmpty())
        settings.remotePath = platform::withTrailingSeparator(share);
    settings.url = platform::readIniString(iniPath, section, QStringLiteral("url"));
    return settings;
}

bool hasNoSource(const ServerSettings& settings) {
    return settings.remotePath.isEmpty() && settings.url.trimmed().isEmpty();
}
