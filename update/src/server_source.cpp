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
        addRemoteFile(list, *item);
    }
}

void updateFileFromServer(const QString& url, const QString& localPath, const QString& localName,
                          const TFileInfoDTO& central, bool executable) {
    const QString target = platform::joinPath(localPath, localName);
    replaceFileStaged(
        target, central.Age(),
        [&url, &central](const TStagedFile& staged) {
            // Into the staged descriptor, counted and hashed as it arrives.
            TRESTClientDownload client(url);
            const TRESTClientDownload::Announced announced = client.DownloadTo(
                central.FileName(),
                [&staged](const char* data, std::size_t size) { staged.append(data, size); });
            staged.expectSha256(announced.sha256);
        },
        executable, TExpectedContent{central.Size(), central.Sha256()});
}
