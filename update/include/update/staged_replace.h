#pragma once

#include "platform/datetime.h"

#include <QString>

#include <functional>

// Replaces target with fresh content without ever leaving it broken: fetch writes
// the content into a temporary file in target's folder, which is then stamped with
// age and renamed over target in one step. On any failure the temporary file is
// removed, target stays exactly as it was, and the error passes on.
//
// The new file keeps the permission bits of the file it replaces; a new file gets
// the execute bits when executable is true.
//
// The temporary file's name is derived from target's, so a leftover of an
// interrupted run is cleaned up by the next replacement of the same file.
void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const QString& temporaryPath)>& fetch,
                       bool executable = false);

// The temporary file name used for target (exposed for tests).
QString stagedTemporaryPath(const QString& target);
