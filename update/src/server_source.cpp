#include "update/server_source.h"

#include "fileserver/rest_clients.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "update/staged_replace.h"

void fillRemoteListFromServer(const QString& url, TRemoteList& list,
                              const std::function<void(const TFileInfoErrorDTO& record)>& refused) {
    TRESTClientFileList client(url);
    // The whole central tree in one request: an error answer the client does not
    // raise for leaves Count() at 0, and only a watcher hears of it.
    if (!client.Execute(QStringLiteral("\\"), QStringLiteral("*.*"), true) && refused)
        refused(client.Error());
    for (int i = 0; i < client.Count(); ++i) {
        const TFileInfoDTO* item = client.Items(i);
        addRemoteFile(list, item->FileName(), item->Age());
    }
}

void updateFileFromServer(const QString& url, const QString& localPath, const QString& localName,
                          const QString& remoteName, platform::TDateTime age, bool executable) {
    const QString target = platform::joinPath(localPath, localName);
    replaceFileStaged(
        target, age,
        [&url, &remoteName](const TStagedFile& staged) {
            // The client writes through the path into the file staged for us; the
            // staging checks afterwards that it still is that file.
            TRESTClientDownload client(url);
            if (!client.Download(remoteName, staged.path))
                throw platform::Exception(client.LastError().isEmpty()
                                              ? QStringLiteral("The download failed")
                                              : client.LastError());
        },
        executable);
}
