#pragma once

#include "fileserver/file_info_error_dto.h"
#include "platform/datetime.h"
#include "update/remote_list.h"

#include <QString>

#include <functional>

// The file-server half of the update sources.

// Lists the whole central tree of the server at url into list (one request).
// Errors of the listing pass on unchanged; a repeated key throws
// "Duplicates not allowed". An error answer the client turns into an empty
// listing is handed to refused, when given.
void fillRemoteListFromServer(
    const QString& url, TRemoteList& list,
    const std::function<void(const TFileInfoErrorDTO& record)>& refused = {});

// Downloads central (by the central listing's own spelling) from the server at
// url and puts it in place of localPath/localName, stamped with its age, through
// a staged replacement: on failure the local file stays as it was. The bytes must
// have the size and SHA-256 the listing gives, and the digest the server
// announces, when they are given. executable asks for the execute bits.
void updateFileFromServer(const QString& url, const QString& localPath, const QString& localName,
                          const TFileInfoDTO& central, bool executable);
