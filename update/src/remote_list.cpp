#include "update/remote_list.h"

#include "platform/errors.h"
#include "platform/paths.h"

void addRemoteFile(TRemoteList& list, const QString& fileName, platform::TDateTime age) {
    const QString key = platform::fileKey(fileName);
    if (const auto existing = list.constFind(key); existing != list.constEnd())
        throw platform::EListError(platform::messages::duplicatesNotAllowed(),
                                   QStringLiteral("\"%1\" and \"%2\" differ only in letter case")
                                       .arg(existing->FileName(), fileName));
    list.insert(key, TFileInfoDTO(fileName, age));
}
