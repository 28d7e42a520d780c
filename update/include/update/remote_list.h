#pragma once

#include "fileserver/file_info_dto.h"

#include <QHash>
#include <QString>

// The central copy's descriptors of one run, keyed by the file key of their
// relative name (upper-cased with the user's locale rules).
using TRemoteList = QHash<QString, TFileInfoDTO>;

// Adds a descriptor under the key of its name. Two central names that differ only
// in letter case cannot both be local files: the later one wins, as a later value
// wins in the listing's own objects, and a trace line names both. Listings come in
// ordinal order, so every workstation keeps the same one.
void addRemoteFile(TRemoteList& list, const TFileInfoDTO& file);
void addRemoteFile(TRemoteList& list, const QString& fileName, platform::TDateTime age);
