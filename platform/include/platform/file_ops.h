#pragma once

#include "platform/datetime.h"

#include <QString>

#include <cstddef>

#include <sys/stat.h>

namespace platform {

// A file (not a directory) exists; a link counts when its target exists.
bool fileExists(const QString& path);
// A directory exists; links followed.
bool directoryExists(const QString& path);

// Reads the last-write time as local time with the machine's current UTC offset,
// cut to the millisecond. Returns false for a missing file or a directory and then
// leaves age unchanged.
bool tryReadFileAge(const QString& path, TDateTime& age);

// The same through a descriptor the caller holds open (a directory is refused).
bool tryReadFileAge(int descriptor, TDateTime& age);

// Sets only the last-write time of an existing file, taking age as local time with
// the machine's current UTC offset. Throws EFileNotFoundException for a missing
// file; when the file cannot be opened for writing its time is silently kept.
void stampFileAge(const QString& path, TDateTime age);

// The same through a descriptor the caller holds open for writing. Throws
// EConvertError for an age outside the calendar and EInOutError when the system
// refuses the time. A file system that cannot hold the time may keep another one
// without a word: read it back to be sure.
void stampFileAge(int descriptor, TDateTime age);

// An age as people read it, with its raw value, e.g. "0001-01-01 00:00:00.000 (-693593)";
// only the raw value when it lies outside the calendar.
QString describeAge(TDateTime age);

// Deletes a file; throws EInOutError with the system's message when it is missing,
// access is denied or it is in use.
void deleteFile(const QString& path);

// Creates a folder and every missing parent; an existing folder is not an error.
// Each folder made takes its parent's group, group permissions and setgid bit,
// whatever the umask, so the other members of an installation's group can write
// in it too.
void createFolders(const QString& path);

// Creates one folder (not a chain), shared with its parent's group as above.
// Returns false when it could not be created.
bool createFolder(const QString& path);

// Copies content and permission bits, never overwriting. Throws
// EFileNotFoundException when the source is missing, EDirectoryNotFoundException
// ("The specified path was not found") when the target's folder is missing,
// EInOutError ("The specified file already exists") when the target exists, and
// EInOutError with the system's message when the copy itself fails (the partial
// target is then removed).
void copyFileNoOverwrite(const QString& source, const QString& target);

// Copies the content of the regular file source into the file open for writing at
// descriptor (from its current position); permission bits are left to the caller.
// The source is opened without waiting (a pipe put in its place cannot hang the
// copy) and no more than the size it had when opened is written. Throws
// EFileNotFoundException when the source is missing or a folder, and EInOutError
// when it is not a regular file, grows while read, or reading or writing fails.
void copyFileInto(const QString& source, int descriptor);

// Opens relative ("/" separators, native encoding) beneath the folder open at
// rootFd: the kernel resolves every step, links included, and refuses any step
// that leaves the folder (EXDEV) or any link through /proc's magic links. Where
// the kernel cannot do so, each component is opened without following links
// (ELOOP at a link). Returns the descriptor, or -1 with errno set.
int openBeneath(int rootFd, const QByteArray& relative, int flags);

// A truncation is not one step for a reader: the new size shows while the old
// blocks are still being freed, and the new time only comes at the end, so for a
// while a file emptied by a copy that keeps times looks whole, empty and with its
// old time. The file systems that hold the inode's lock across a truncation
// (ext4, tmpfs) also take it to look for data: once this returns, no truncation
// that began before is still under way. Leaves the position at the start.
void letTruncationsEnd(int descriptor);

// An empty file that still holds blocks is one whose truncation is under way.
bool beingTruncated(const struct stat& info);

// Copies from in (at its position) into out, at most limit bytes: a source that
// still has data after limit (it grew, or never ends) fails with EInOutError
// before any byte beyond limit is written, as does a failing read or write.
// Returns the number of bytes copied, less than limit when in ended early.
qint64 copyAtMost(int in, int out, qint64 limit);

// Writes all of data to descriptor, again after interruptions. Returns 0, or the
// errno of the write that stopped short (ENOSPC for a full disk).
int writeAll(int descriptor, const char* data, std::size_t size);

// The folder part of a path: everything up to its last separator ("" if none).
QString folderOf(const QString& path);

} // namespace platform
