#include "platform/ini_file.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringView>

namespace platform {

namespace {

constexpr qsizetype MaxValueLength = 2047;

// A byte-order mark names the encoding (UTF-16 LE is what the usual Windows
// editor saves as "Unicode"); without one, Windows profile files are UTF-8 or,
// when they are not valid UTF-8, in the ANSI code page.
QString decodeIniText(const QByteArray& bytes) {
    if (const auto marked = QStringConverter::encodingForData(bytes)) {
        QStringDecoder decoder(*marked); // the mark itself is skipped
        return decoder.decode(bytes);
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

QStringView trimmedView(QStringView s) {
    return s.trimmed();
}

} // namespace

QString readIniStringFromText(const QString& text, const QString& section, const QString& key,
                              const QString& defaultValue) {
    bool inSection = false;
    const auto lines = QStringView(text).split(u'\n');
    for (QStringView raw : lines) {
        const QStringView line = trimmedView(raw);
        if (line.isEmpty() || line.front() == u';')
            continue;
        if (line.front() == u'[') {
            const qsizetype close = line.indexOf(u']');
            const QStringView name = close < 0 ? line.mid(1) : line.mid(1, close - 1);
            inSection = name.trimmed().compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        if (line.first(eq).trimmed().compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QStringView value = line.mid(eq + 1).trimmed();
        // A value wrapped in matching quotes is read without them.
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value.left(MaxValueLength).toString();
    }
    return defaultValue;
}

QString readIniString(const QString& fileName, const QString& section, const QString& key,
                      const QString& defaultValue) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    return readIniStringFromText(decodeIniText(file.readAll()), section, key, defaultValue);
}

} // namespace platform
