#include "fileserver/rest_url.h"

#include <QRegularExpression>

namespace fileserver {

namespace {

QByteArray percentEncode(const QString& value, bool spaceAsPlus, QByteArrayView reserved,
                         bool encodeSpaceAndBelow) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == ' ' && spaceAsPlus) {
            out.append('+');
        } else if ((encodeSpaceAndBelow && b <= 0x20) || b < 0x20 || b >= 0x80 ||
                   reserved.contains(ch)) {
            out.append('%');
            out.append(hex[b >> 4]);
            out.append(hex[b & 0x0F]);
        } else {
            out.append(ch);
        }
    }
    return out;
}

constexpr char listingReserved[] = "!#$&'()+,/:;<=>?@[\\]^{}~\"|` ";
constexpr char downloadReserved[] = "*<>%{}\\^[]'\"|`";
constexpr char fileNameReserved[] = "*<>%{}\\^[]'\"|`#&+=";

} // namespace

QString normaliseBaseUrl(const QString& url) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    QString result = url.trimmed();
    if (!scheme.match(result).hasMatch())
        result.prepend(QStringLiteral("http://"));
    while (result.endsWith(u'/'))
        result.chop(1);
    const qsizetype query = result.indexOf(u'?');
    const qsizetype end = query < 0 ? result.size() : query;
    for (qsizetype i = 0; i < end; ++i)
        if (result[i] == u'\\')
            result[i] = u'/';
    return result;
}

QByteArray encodeListingValue(const QString& value) {
    return percentEncode(value, true, QByteArrayView(listingReserved), true);
}

QByteArray encodeDownloadQuery(const QString& query) {
    return percentEncode(query, false, QByteArrayView(downloadReserved), true);
}

QByteArray encodeDownloadFileName(const QString& name) {
    return percentEncode(name, false, QByteArrayView(fileNameReserved), true);
}

QByteArray folderListUrl(const QString& baseUrl, const QString& folder, const QString& mask,
                         bool recursive) {
    QByteArray url = normaliseBaseUrl(baseUrl).toUtf8() + "/folderlist";
    const auto add = [&url](const char* name, const QByteArray& value) {
        url += url.contains('?') ? '&' : '?';
        url += name;
        url += '=';
        url += value;
    };
    // A text counts as empty only when its length is 0: blanks are sent.
    if (!folder.isEmpty())
        add("folder", encodeListingValue(folder));
    if (!mask.isEmpty())
        add("mask", encodeListingValue(mask));
    if (recursive)
        add("recursive", QByteArray());
    return url;
}

QByteArray downloadUrl(const QString& baseUrl, const QString& remoteName) {
    static const QString marker = QStringLiteral("/download?file=");
    const QString composed = normaliseBaseUrl(baseUrl + marker + remoteName);
    const qsizetype query = composed.indexOf(u'?');
    if (query < 0)
        return composed.toUtf8();
    const QByteArray head = composed.first(query + 1).toUtf8();
    const QString rest = composed.sliced(query + 1);
    // With a plain base URL the query is our own "file=" and the name.
    if (rest.startsWith(QLatin1StringView("file=")))
        return head + "file=" + encodeDownloadFileName(rest.sliced(5));
    return head + encodeDownloadQuery(rest);
}

} // namespace fileserver
