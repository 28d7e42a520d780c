#pragma once

#include "fileserver/file_info_error_dto.h"
#include "fileserver/file_list_json.h"
#include "platform/errors.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <memory>

// Failures of an HTTP exchange: the transport ("REST request failed: ...") or a
// server error answer (its status line, as "HTTP/1.1 503 Service Unavailable").
class ERESTException : public platform::Exception {
public:
    using platform::Exception::Exception;
};
// An answer of status 300 to 499 to a download; the message is its body as text.
class ERequestError : public platform::Exception {
public:
    using platform::Exception::Exception;
};

namespace fileserver {

// Time limits of one exchange. It fails when no byte at all moves for stallMs:
// while sending, while waiting for the answer and at each wait while receiving.
// (The stall is noticed to within about a second.)
struct TransferLimits {
    long connectTimeoutMs = 30'000;
    long stallMs = 30'000;
};

class CurlExchange;

} // namespace fileserver

// Asks a file server for the files under a folder (GET folderlist) and keeps the
// answer as descriptors. Blocks the calling thread; one object per thread.
class TRESTClientFileList {
public:
    explicit TRESTClientFileList(const QString& AURL);
    ~TRESTClientFileList();
    TRESTClientFileList(const TRESTClientFileList&) = delete;
    TRESTClientFileList& operator=(const TRESTClientFileList&) = delete;

    // One listing, its body read into descriptors as it arrives. Returns
    // whether Error().Status() is 0 afterwards. Throws ERESTException for
    // transport failures, answers of 500 and above and bodies past the limit
    // below, the JSON errors for bodies that cannot be read.
    bool Execute(const QString& AFolder, const QString& AMask, bool ARecursive);

    // The error record: replaced only by a converted error answer, never reset.
    const TFileInfoErrorDTO& Error() const { return *FError; }
    int Count() const { return static_cast<int>(FFiles.size()); }
    // The descriptor at AIndex, or null outside 0..Count()-1. Owned by this
    // object until the next Execute.
    const TFileInfoDTO* Items(int AIndex) const;

    void setLimits(const fileserver::TransferLimits& limits) { FLimits = limits; }
    // The largest body accepted, after any content coding is undone; a larger
    // one fails the listing with ERESTException. Generous: a listing of half a
    // million files takes about 50 MB.
    static constexpr qint64 DefaultMaxBodyBytes = qint64(64) << 20;
    void setMaxBodyBytes(qint64 bytes) { FMaxBodyBytes = bytes; }

private:
    QString FURL;
    std::unique_ptr<TFileInfoErrorDTO> FError;
    TFilesInfoDTO FFiles;
    fileserver::TransferLimits FLimits;
    qint64 FMaxBodyBytes = DefaultMaxBodyBytes;
    std::unique_ptr<fileserver::CurlExchange> FExchange;
};

// Fetches one file of a file server (GET /download?file=NAME) into a local file.
// Blocks the calling thread; one object per thread.
class TRESTClientDownload {
public:
    explicit TRESTClientDownload(const QString& AURL);
    ~TRESTClientDownload();
    TRESTClientDownload(const TRESTClientDownload&) = delete;
    TRESTClientDownload& operator=(const TRESTClientDownload&) = delete;

    // Streams the body to ALocalFileName as it arrives. Returns true with the
    // complete file, or false with no file left (the message in LastError()).
    // Throws only when removing the failed file is refused (see the messages of
    // platform/errors.h).
    bool Download(const QString& ARemoteFileName, const QString& ALocalFileName);

    // Streams the body of the file to ASink as it arrives and returns what the
    // server announced of it. Only a 200 answer carries the file: any other
    // success (204, a 206 nobody asked for) fails with ERESTException. Throws the
    // errors of an exchange, and ASink's own, which stops the exchange at once.
    using BodySink = std::function<void(const char* AData, std::size_t ASize)>;
    struct Announced {
        QByteArray sha256; // raw, from Repr-Digest; empty when the server gave none
    };
    Announced DownloadTo(const QString& ARemoteFileName, const BodySink& ASink);

    // The message of the failure that ended the last failed Download.
    const QString& LastError() const { return FError; }

    void setLimits(const fileserver::TransferLimits& limits) { FLimits = limits; }

private:
    QString FBaseURL;
    QString FError;
    fileserver::TransferLimits FLimits;
    std::unique_ptr<fileserver::CurlExchange> FExchange;
};

namespace fileserver {

// The deletion that follows a failed download: refuses paths that could not have
// been created (too long, unsupported, invalid characters, missing folder), then
// deletes, raising platform::EInOutError only when the file is missing, access is
// denied or it is busy; any other failure to delete is ignored.
void guardedDeleteFile(const QString& path);

// The checks of guardedDeleteFile without the deletion; throws their errors.
void checkLocalPath(const QString& path);

} // namespace fileserver
