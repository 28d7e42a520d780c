#pragma once

// Small real folders for the update tests: files written with given content and
// stamped with given ages through the same platform calls the engine uses.

#include "platform/datetime.h"
#include "platform/file_ops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTest>

namespace fixtures {

// A fixed central age with a non-zero millisecond part.
inline platform::TDateTime centralAge() {
    return platform::encodeDateTime(2024, 3, 15, (12 * 3600 + 34 * 60 + 56) * 1000 + 789);
}

inline platform::TDateTime plusMs(platform::TDateTime age, qint64 ms) {
    QDate date;
    qint64 msec = 0;
    platform::decodeDateTime(age, date, msec);
    const QDateTime clock = QDateTime(date, QTime(0, 0), Qt::UTC).addMSecs(msec + ms);
    return platform::encodeDateTime(clock.date(), clock.time().msecsSinceStartOfDay());
}

// Writes root/relative ("/" separators) with content, creating folders.
inline QString writeFile(const QString& root, const QString& relative, const QByteArray& content) {
    const QString path = root + u'/' + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write fixture %s", qPrintable(path));
    file.write(content);
    file.close();
    return path;
}

inline QString writeFile(const QString& root, const QString& relative, const QByteArray& content,
                         platform::TDateTime age) {
    const QString path = writeFile(root, relative, content);
    platform::stampFileAge(path, age);
    return path;
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

inline platform::TDateTime ageOf(const QString& path) {
    platform::TDateTime age = -1.0;
    platform::tryReadFileAge(path, age);
    return age;
}

} // namespace fixtures
