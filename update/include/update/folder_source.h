#pragma once

#include "platform/datetime.h"
#include "update/remote_list.h"

#include <QString>

// The file-share half of the update sources.

// Lists every regular file below remotePath, at any depth and hidden ones
// included, into list: relative names with backslash separators, taken in
// ordinal order, each with its last-write time (-1.0 when that cannot be read).
// Links count as the regular file they lead to when it lies in the share; links
// to folders are not followed, so a link cannot make the walk loop. Links out of
// the share, pipes, sockets and devices, and names that cannot be ours (a
// backslash in them, bytes not valid in the file-name encoding) are left out with
// one trace line each. Throws EDirectoryNotFoundException "The specified path was
// not found" when the share is missing (or not configured), "Invalid characters
// in path" for a bad path, and "Duplicates not allowed" when two names share a
// key.
void fillRemoteListFromFolder(const QString& remotePath, TRemoteList& list);

// Copies remoteName (the central listing's own spelling) from the share into the
// place of localPath/localName, stamped with age, creating missing folders first
// (with the installation folder's group). Only a regular file beneath the share
// is copied, never its permission bits, and only when its time is still age (the
// listed one) and it stays the same file, size and times while it is read;
// otherwise it fails with "The central file X changed while it was copied" and
// the next run tries again. The replacement is staged: when anything fails the
// local file stays as it was. executable asks for the execute bits when the file
// is new locally. When listedSize is given the file must have that size too.
void updateFileFromFolder(const QString& remotePath, const QString& localPath,
                          const QString& localName, const QString& remoteName,
                          platform::TDateTime age, bool executable, qint64 listedSize = -1);
