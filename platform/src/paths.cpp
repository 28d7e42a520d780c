#include "platform/paths.h"

#include "platform/errors.h"

#include <QDir>
#include <QLocale>

namespace platform {

QChar nativeSeparator() { return QDir::separator(); }

bool hasInvalidPathChars(const QString& name) {
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == u'"' || u == u'<' || u == u'>' || u == u'|' || u == u'*' ||
            u == u'?')
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

QString toLogicalSeparators(const QString& name) { return QString(name).replace(u'/', u'\\'); }

QString joinPath(const QString& folder, const QString& name) {
    if (folder.isEmpty())
        return toNativeSeparators(name);
    if (name.isEmpty())
        return toNativeSeparators(folder);
    if (hasInvalidPathChars(folder) || hasInvalidPathChars(name))
        throw EArgumentException(messages::invalidPathChars(),
                                 QStringLiteral("\"%1\"").arg(hasInvalidPathChars(name) ? name
                                                                                      : folder));
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

QString fileKey(const QString& relativeName) { return QLocale::system().toUpper(relativeName); }

} // namespace platform
