#pragma once

#include "fileserver/file_info_dto.h"

#include <QHash>
#include <QString>

// The central copy's descriptors of one run, keyed by the file key of their
// relative name (upper-cased with the user's locale rules).
using TRemoteList = QHash<QString, TFileInfoDTO>;

// Adds a descriptor under the key of fileName. Throws platform::EListError
// "Duplicates not allowed" when the key is present already.
void addRemoteFile(TRemoteList& list, const QString& fileName, platform::TDateTime age);
