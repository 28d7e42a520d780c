#include "update/server_source.h"

#include "platform/errors.h"

// Placeholder until the HTTP client lands: the server source reports clearly that
// it cannot be used yet.
void fillRemoteListFromServer(const QString&, TRemoteList&) {
    throw platform::Exception(QStringLiteral("The file-server source is not available in this build"));
}

void updateFileFromServer(const QString&, const QString&, const QString&, const QString&,
                          platform::TDateTime, bool) {
    throw platform::Exception(QStringLiteral("The file-server source is not available in this build"));
}
