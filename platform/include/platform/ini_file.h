#pragma once

#include <QString>

namespace platform {

// Reads one value of a Windows-style ini file: section and key names matched
// without regard to case, the value trimmed and cut to 2047 characters, and no
// escape processing at all (backslashes of UNC paths arrive intact). A missing
// file, section or key gives defaultValue. The first matching key wins.
QString readIniString(const QString& fileName, const QString& section, const QString& key,
                      const QString& defaultValue = QString());

// The same on text already read, for callers that read several keys of one file.
QString readIniStringFromText(const QString& text, const QString& section, const QString& key,
                              const QString& defaultValue = QString());

} // namespace platform
