#pragma once

#include "platform/datetime.h"

#include <QString>
#include <QStringList>

#include <functional>

// The temporary file of one fetch: created for it alone, open for writing.
struct TStagedFile {
    QString path;
    int descriptor = -1;
};

// Replaces target with fresh content without ever leaving it broken: fetch writes
// the content into a temporary file of its own beside target (through the
// descriptor, or through the path into the same file), which is then stamped with
// age through the descriptor, read back, and renamed over target in one step. On
// any failure that temporary is removed, target stays exactly as it was, and the
// error passes on.
//
// Each call creates its temporary exclusively under a name no other call can pick
// (target's name, the process id and a random part), so runs that meet on one
// folder never write, stamp, rename or delete each other's files.
//
// A time the file system cannot hold (it reads back as another one) fails the
// replacement with a message that names the age.
//
// The new file keeps the permission bits of the file it replaces; a new file keeps
// what fetch gave it. When executable is true the file ends with execute bits for
// everyone who may read it.
void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const TStagedFile& staged)>& fetch,
                       bool executable = false);

// True for the name of a staged temporary (a plain name, no folder).
bool isStagedTemporaryName(const QString& fileName);

// The staged temporaries of target that exist now (full paths); what the tests
// look for after a run, since the names carry a process id and a random part.
QStringList stagedTemporariesOf(const QString& target);

// Removes every staged temporary directly in folder, whoever left it. Only safe
// while holding the installation's lock, when no other run can be writing one.
// Returns how many were removed.
int removeStagedTemporaries(const QString& folder);
