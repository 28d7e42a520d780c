#pragma once

#include <QByteArray>
#include <QString>

namespace fileserver {

// How the REST clients turn a configured server address into a request URL.

// Blanks at both ends removed, "http://" put in front when no scheme is named,
// every trailing "/" removed, backslashes before the first "?" turned into "/".
QString normaliseBaseUrl(const QString& url);

// A query value of the folder listing: UTF-8 bytes, a space as "+", the reserved
// and unsafe characters as upper-case "%XX"; letters, digits, "*", ".", "-", "_"
// and "%" pass unchanged.
QByteArray encodeListingValue(const QString& value);

// The query of a download request (everything after the first "?"): UTF-8 bytes;
// every byte up to 0x20 and from 0x80 on and the characters * < > % { } \ ^ [ ]
// ' " | ` as upper-case "%XX"; everything else passes.
QByteArray encodeDownloadQuery(const QString& query);

// The file name of a download request: encoded as encodeDownloadQuery does, and
// "#", "&", "+" and "=" too, which would otherwise cut the name short or turn it
// into other parameters on the server.
QByteArray encodeDownloadFileName(const QString& name);

// The full URL of a folder listing; each parameter only when it applies
// (folder and mask when not empty, "recursive=" with no value when true).
QByteArray folderListUrl(const QString& baseUrl, const QString& folder, const QString& mask,
                         bool recursive);

// The full URL of a download: baseUrl + "/download?file=" + remoteName composed
// as plain text, then normalised as a base URL, the query encoded.
QByteArray downloadUrl(const QString& baseUrl, const QString& remoteName);

} // namespace fileserver
