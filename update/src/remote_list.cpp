#include "update/remote_list.h"

#include "platform/errors.h"
#include "platform/paths.h"

void addRemoteFile(TRemoteList& list, const QString& fileName, platform::TDateTime age) {
    const QString key = platform::fileKey(fileName);
    if (list.contains(key))
        throw platform::EListError(platform::messages::duplicatesNotAllowed());
    list.insert(key, TFileInfoDTO(fileName, age));
}
