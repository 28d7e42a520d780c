#include "platform/paths.h"

#include "platform/errors.h"

#include <QDir>

namespace platform {

QChar nativeSeparator() {
    return QDir::separator();
}

bool hasInvalidPathChars(const QString& name) {
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == u'"' || u == u'<' || u == u'>' || u == u'|' || u == u'*' || u == u'?')
            return true;
    }
    return false;
}

bool isRootedPath(const QString& name) {
    if (name.isEmpty())
        return false;
    const QChar first = name.front();
    if (first == u'\\' || first == u'/')
        return true; // also covers the network prefix "\\"
    return name.size() >= 2 && name.at(1) == u':' && first.isLetter();
}

QString toNativeSeparators(const QString& name) {
    if (nativeSeparator() == u'\\')
        return QString(name).replace(u'/', u'\\');
    return QString(name).replace(u'\\', u'/');
}

QString toLogicalSeparators(const QString& name) {
    return QString(name).replace(u'/', u'\\');
}

QString joinPath(const QString& folder, const QString& name) {
    if (folder.isEmpty())
        return toNativeSeparators(name);
    if (name.isEmpty())
        return toNativeSeparators(folder);
    if (hasInvalidPathChars(folder) || hasInvalidPathChars(name))
        throw EArgumentException(
            messages::invalidPathChars(),
            QStringLiteral("\"%1\"").arg(hasInvalidPathChars(name) ? name : folder));
    if (isRootedPath(name))
        return toNativeSeparators(name);
    const QChar last = folder.back();
    const bool hasSeparator = last == u'\\' || last == u'/' || last == u':';
    return toNativeSeparators(hasSeparator ? folder + name : folder + u'\\' + name);
}

QString withTrailingSeparator(const QString& path) {
    if (path.endsWith(u'/') || path.endsWith(u'\\'))
        return path;
    return path + nativeSeparator();
}

QString fileKey(const QString& relativeName) {
    // Not the user's locale: under a Turkish one "i" becomes "İ", so a central
    // COMMON.INI would never match the local common.ini, and a full mapping makes
    // "ß" two letters, so straße.dll and STRASSE.dll would claim one key. File
    // systems fold letter case one character at a time whatever the language, and
    // so does this key; for ASCII and the Portuguese letters it is what it was.
    QString key(relativeName.size(), Qt::Uninitialized);
    QChar* out = key.data();
    const QChar* in = relativeName.constData();
    const qsizetype size = relativeName.size();
    for (qsizetype i = 0; i < size; ++i) {
        if (in[i].isHighSurrogate() && i + 1 < size && in[i + 1].isLowSurrogate()) {
            const char32_t upper = QChar::toUpper(QChar::surrogateToUcs4(in[i], in[i + 1]));
            // Simple mappings keep a character in its plane: still two units.
            out[i] = QChar(QChar::highSurrogate(upper));
            out[i + 1] = QChar(QChar::lowSurrogate(upper));
            ++i;
        } else {
            out[i] = in[i].toUpper();
        }
    }
    return key;
}

} // namespace platform
