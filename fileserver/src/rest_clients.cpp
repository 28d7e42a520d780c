#include "fileserver/rest_clients.h"

#include "body_text.h"
#include "curl_exchange.h"
#include "fileserver/rest_url.h"
#include "platform/file_descriptor.h"
#include "platform/file_ops.h"
#include "platform/trace.h"

#include <QFile>

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <istream>
#include <utility>

using fileserver::CurlExchange;

namespace {

[[noreturn]] void throwTransport(const CurlExchange::Outcome& out) {
    throw ERESTException(QStringLiteral("REST request failed: %1").arg(out.transportError));
}

} // namespace

// ---------------------------------------------------------------------------

TRESTClientFileList::TRESTClientFileList(const QString& AURL)
    : FURL(AURL), FError(std::make_unique<TFileInfoErrorDTO>()) {}

TRESTClientFileList::~TRESTClientFileList() {
    TFilesInfoDTOHelper::FreeItems(FFiles);
}

const TFileInfoDTO* TRESTClientFileList::Items(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        return nullptr;
    const auto& entry = FFiles[static_cast<std::size_t>(AIndex)];
    return entry ? &*entry : nullptr;
}

bool TRESTClientFileList::Execute(const QString& AFolder, const QString& AMask, bool ARecursive) {
    TFilesInfoDTOHelper::FreeItems(FFiles);
    if (!FExchange)
        FExchange = std::make_unique<CurlExchange>();
    CurlExchange& exchange = *FExchange;

    exchange.begin(fileserver::folderListUrl(FURL, AFolder, AMask, ARecursive),
                   {QByteArrayLiteral("Accept: application/json"),
                    QByteArrayLiteral("Accept-Charset: UTF-8, *;q=0.8")},
                   FLimits, FMaxBodyBytes);
    // Ends the exchange and raises what made it fail: a body past the limit,
    // then a transport failure. One that completed, or that was left once its
    // body could not be read, passes.
    const auto endExchange = [&exchange, this]() {
        const CurlExchange::Ending ending = exchange.end();
        if (ending.tooLarge) {
            TFilesInfoDTOHelper::FreeItems(FFiles);
            const bool wholeMiB = FMaxBodyBytes % (1 << 20) == 0;
            throw ERESTException(QStringLiteral("REST request failed: the answer is larger than %1")
                                     .arg(wholeMiB
                                              ? QStringLiteral("%1 MiB").arg(FMaxBodyBytes >> 20)
                                              : QStringLiteral("%1 bytes").arg(FMaxBodyBytes)));
        }
        if (ending.outcome.code != CURLE_OK) {
            TFilesInfoDTOHelper::FreeItems(FFiles);
            throwTransport(ending.outcome);
        }
        return ending;
    };

    QByteArray first = exchange.read();
    const long status = exchange.status();
    if (status >= 500) // the body is not used: the status line is all there is
        throw ERESTException(endExchange().outcome.statusLine);

    if (status < 300) {
        // Read as it arrives; a body that stops being JSON is not read further.
        fileserver::BodyTextBuffer buffer(exchange, std::move(first), exchange.contentType());
        std::istream text(&buffer);
        std::exception_ptr unreadable;
        try {
            TFilesInfoDTOHelper::FromJSON(FFiles, text);
        } catch (const platform::Exception&) {
            unreadable = std::current_exception();
        }
        endExchange(); // a broken transfer tells more than the half text it left
        if (unreadable)
            std::rethrow_exception(unreadable);
    } else {
        QByteArray body = std::move(first);
        for (QByteArray piece; !(piece = exchange.read()).isEmpty();)
            body += piece;
        endExchange();
        // The record is replaced only once the conversion has worked: after a
        // failure the previous one stays.
        FError = fileserver::fileInfoErrorFromJSONObject(
            fileserver::decodeBody(body, exchange.contentType()));
    }
    return FError->Status() == 0;
}

// ---------------------------------------------------------------------------

TRESTClientDownload::TRESTClientDownload(const QString& AURL) : FBaseURL(AURL) {}

TRESTClientDownload::~TRESTClientDownload() = default;

namespace {

// The sha-256 member of a Repr-Digest value ("sha-256=:BASE64:, ..."), raw; empty
// when there is none or it is not 32 bytes.
QByteArray sha256OfReprDigest(const QByteArray& value) {
    for (const QByteArray& member : value.split(',')) {
        const QByteArray m = member.trimmed();
        const qsizetype equals = m.indexOf('=');
        if (equals < 0 || m.first(equals).trimmed().toLower() != "sha-256")
            continue;
        const QByteArray item = m.sliced(equals + 1).trimmed();
        if (item.size() < 2 || !item.startsWith(':') || !item.endsWith(':'))
            return {};
        const auto decoded = QByteArray::fromBase64Encoding(
            item.sliced(1, item.size() - 2), QByteArray::AbortOnBase64DecodingErrors);
        return decoded && decoded.decoded.size() == 32 ? decoded.decoded : QByteArray();
    }
    return {};
}

} // namespace

TRESTClientDownload::Announced TRESTClientDownload::DownloadTo(const QString& ARemoteFileName,
                                                               const BodySink& ASink) {
    platform::traceLine(QString(92, u'>') + ARemoteFileName);
    const QByteArray url = fileserver::downloadUrl(FBaseURL, ARemoteFileName);
    if (!FExchange)
        FExchange = std::make_unique<CurlExchange>();
    QByteArray errorBody;
    long bodyStatus = 0;
    bool unasked = false;
    std::exception_ptr sinkError;
    // Bodies of error answers are kept only up to this size for the message.
    constexpr qsizetype errorBodyLimit = 64 * 1024;
    const auto out =
        FExchange->perform(url, {}, FLimits, [&](long status, const char* data, std::size_t size) {
            if (status != bodyStatus) { // a new answer after a redirect
                bodyStatus = status;
                errorBody.clear();
            }
            if (status >= 300) {
                errorBody.append(data, qMin(qsizetype(size), errorBodyLimit - errorBody.size()));
                return true;
            }
            // Only a whole file is one: a part nobody asked for is not written.
            if (status != 200) {
                unasked = true;
                return false;
            }
            // Runs inside libcurl's callback: the sink's error waits for perform's end.
            try {
                ASink(data, size);
                return true;
            } catch (...) {
                sinkError = std::current_exception();
                return false;
            }
        });
    // The sink's own error, not libcurl's "failure writing output" that follows it.
    if (sinkError)
        std::rethrow_exception(sinkError);
    if (unasked)
        throw ERESTException(
            QStringLiteral("REST request failed: the server answered status %1 instead of the file")
                .arg(bodyStatus));
    if (out.code != CURLE_OK)
        throwTransport(out);
    if (out.status >= 500)
        throw ERESTException(out.statusLine);
    if (out.status >= 300) {
        const QString text = fileserver::decodeBody(errorBody, out.contentType);
        throw ERequestError(text.isEmpty() ? out.reason : text);
    }
    if (out.status != 200)
        throw ERESTException(
            QStringLiteral("REST request failed: the server answered %1 instead of the file")
                .arg(out.statusLine.trimmed()));
    return {sha256OfReprDigest(out.reprDigest)};
}

namespace {

// The local file of a download, written with the system's own calls so that a
// failure carries the system's error number, mapped to the same messages as the
// share path (a full disk reads "There is not enough space on the disk" on both).
platform::FileDescriptor createLocalFile(const QString& path) {
    platform::FileDescriptor fd(::open(QFile::encodeName(path).constData(),
                                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        const int error = errno;
        throw platform::EInOutError(platform::systemErrorMessage(error),
                                    platform::pathDetail(path, error));
    }
    return fd;
}

} // namespace

bool TRESTClientDownload::Download(const QString& ARemoteFileName, const QString& ALocalFileName) {
    platform::FileDescriptor file;
    try {
        fileserver::checkLocalPath(ALocalFileName);
        file = createLocalFile(ALocalFileName);
        DownloadTo(ARemoteFileName, [&file](const char* data, std::size_t size) {
            // Streamed as it arrives; a failed write ends the exchange.
            if (const int error = platform::writeAll(file.get(), data, size); error != 0)
                throw platform::EInOutError(platform::systemErrorMessage(error));
        });
        // Closed now: a late write error shows here on some file systems.
        if (!file.close()) {
            const int closeError = errno;
            throw platform::EInOutError(platform::systemErrorMessage(closeError));
        }
    } catch (const platform::Exception& e) {
        file.reset();
        FError = e.message();
        // When this raises, its error replaces the first one.
        fileserver::guardedDeleteFile(ALocalFileName);
    }
    return platform::fileExists(ALocalFileName);
}
