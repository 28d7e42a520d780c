#pragma once

#include <QString>

namespace platform {

// The native separator of this file system.
QChar nativeSeparator();

// True when name holds characters not allowed in a path (control characters,
// " < > | * ?).
bool hasInvalidPathChars(const QString& name);

// True when name is rooted: a drive ("C:"), a leading separator or a network prefix.
bool isRootedPath(const QString& name);

// Joins a folder and a relative name. Either empty gives the other; otherwise both
// are checked for invalid characters (EArgumentException "Invalid characters in
// path"), a rooted name is returned unchanged, and else the folder, one separator
// unless it already ends in "\", "/" or ":", and the name.
// Backslashes of relative names are their logical separators: on a file system
// whose separator is "/" they become "/" in the result.
QString joinPath(const QString& folder, const QString& name);

// A relative name with backslashes (the logical form) in native form, and back.
QString toNativeSeparators(const QString& name);
QString toLogicalSeparators(const QString& name);

// Appends the native separator unless the path already ends in one.
QString withTrailingSeparator(const QString& path);

// The key under which a relative name is matched: every character upper-cased on
// its own (one character in, one out), the same under every locale, so that names
// match without regard to letter case.
QString fileKey(const QString& relativeName);

} // namespace platform
