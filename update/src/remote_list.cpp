#include "update/remote_list.h"

#include "platform/paths.h"
#include "platform/trace.h"

void addRemoteFile(TRemoteList& list, const TFileInfoDTO& file) {
    const QString key = platform::fileKey(file.FileName());
    // One stray name must not stop every run of every workstation.
    if (const auto existing = list.constFind(key); existing != list.constEnd())
        platform::traceLine(
            QStringLiteral(
                "Central names \"%1\" and \"%2\" differ only in letter case: \"%2\" is used")
                .arg(existing->FileName(), file.FileName()));
    list.insert(key, file);
}

void addRemoteFile(TRemoteList& list, const QString& fileName, platform::TDateTime age) {
    addRemoteFile(list, TFileInfoDTO(fileName, age));
}
