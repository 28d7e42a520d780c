#pragma once

#include "platform/datetime.h"
#include "update/remote_list.h"

#include <QString>

// The file-share half of the update sources.

// Lists every file below remotePath, at any depth and hidden ones included, into
// list: relative names with backslash separators, taken in ordinal order, each with
// its last-write time (-1.0 when that cannot be read). Links to files count as
// files; links to folders are not followed, so a link cannot make the walk loop.
// Throws EDirectoryNotFoundException "The specified path was not found" when the
// share is missing (or not configured), "Invalid characters in path" for a bad
// path, and "Duplicates not allowed" when two names share a key.
void fillRemoteListFromFolder(const QString& remotePath, TRemoteList& list);

// Copies remoteName (the central listing's own spelling) from the share into the
// place of localPath/localName, stamped with age, creating missing folders first.
// The replacement is staged: when anything fails the local file stays as it was.
// executable asks for the execute bits when the file is new locally. The central
// file must still have the listed age and, when given, the listed size.
void updateFileFromFolder(const QString& remotePath, const QString& localPath,
                          const QString& localName, const QString& remoteName,
                          platform::TDateTime age, bool executable, qint64 listedSize = -1);
