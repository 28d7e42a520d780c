#pragma once

#include "platform/datetime.h"

#include <QString>

namespace platform {

// A file (not a directory) exists; a link counts when its target exists.
bool fileExists(const QString& path);
// A directory exists; links followed.
bool directoryExists(const QString& path);

// Reads the last-write time as local time with the machine's current UTC offset,
// cut to the millisecond. Returns false for a missing file or a directory and then
// leaves age unchanged.
bool tryReadFileAge(const QString& path, TDateTime& age);

// Sets only the last-write time of an existing file, taking age as local time with
// the machine's current UTC offset. Throws EFileNotFoundException for a missing
// file; when the file cannot be opened for writing its time is silently kept.
void stampFileAge(const QString& path, TDateTime age);

// Deletes a file; throws EInOutError with the system's message when it is missing,
// access is denied or it is in use.
void deleteFile(const QString& path);

// Creates a folder and every missing parent; an existing folder is not an error.
void createFolders(const QString& path);

// Creates one folder (not a chain). Returns false when it could not be created.
bool createFolder(const QString& path);

// Copies content and permission bits, never overwriting. Throws
// EFileNotFoundException when the source is missing, EDirectoryNotFoundException
// ("The specified path was not found") when the target's folder is missing,
// EInOutError ("The specified file already exists") when the target exists, and
// EInOutError with the system's message when the copy itself fails (the partial
// target is then removed).
void copyFileNoOverwrite(const QString& source, const QString& target);

// The folder part of a path: everything up to its last separator ("" if none).
QString folderOf(const QString& path);

} // namespace platform
