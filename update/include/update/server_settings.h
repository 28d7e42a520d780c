#pragma once

#include <QString>

// The two sources of the central copy, as read from Quorvia.ini in the
// installation folder.
struct ServerSettings {
    QString localPath;  // the installation folder, ending in the native separator
    QString remotePath; // share folder ending in a separator, or empty
    QString url;        // file-server address exactly as read, or empty
};

inline const QString SettingsFileName = QStringLiteral("Quorvia.ini");

// Reads section "Servidor", keys "Local Exe" and "url", of localPath/Quorvia.ini.
// A missing file, section or key gives empty values.
ServerSettings readServerSettings(const QString& localPath);

// True when neither a share nor a server address is configured (blanks-only URL
// counts as none).
bool hasNoSource(const ServerSettings& settings);
