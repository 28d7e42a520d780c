#pragma once

// What the server's own files share: the state of one request, the folder
// being served and owned engine answers.

#include "callback_guard.h"
#include "file_server.h"

#include <microhttpd.h>

#include <chrono>
#include <memory>

#include <sys/stat.h>

namespace fileserver {

struct FileServer::Request {
    QByteArray method;
    QByteArray target; // as the client sent it, escapes and all
    QByteArray address;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    int socket = -1;
    quint64 ackedBefore = 0;
    bool countAcked = false;
    int status = 0;
    quint64 bodyBytes = 0;
    bool headersSeen = false;
    bool answered = false;
};

struct FileServer::Served {
    ServedRoot root;
    FileCatalogue catalogue;
    struct stat identity {}; // of the folder opened, to compare with the root path's

    explicit Served(const QString& path, const DigestMap& known = {})
        : root(path), catalogue(path, root.fd(), known) {
        ::fstat(root.fd(), &identity);
    }
};

struct ResponseDestroy {
    void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};
// An answer until it is queued; the engine keeps its own reference then.
using Response = std::unique_ptr<MHD_Response, ResponseDestroy>;

QByteArray clientAddress(MHD_Connection* connection);
int connectionSocket(MHD_Connection* connection);

// A JSON error answer (an error record); MHD_NO when it cannot be queued.
MHD_Result sendError(MHD_Connection* connection, FileServer::Request& request, int status,
                     const QString& error, const QString& detail);

} // namespace fileserver
