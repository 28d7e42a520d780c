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

#include "test_files.h"

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

using test_files::ageOf;
using test_files::readFile;

// Writes root/relative ("/" separators) with content, creating folders, stamped
// with age unless it is negative.
inline QString writeFile(const QString& root, const QString& relative, const QByteArray& content,
                         platform::TDateTime age = -1.0) {
    const QString path = root + u'/' + relative;
    test_files::writeFile(path, content, age);
    return path;
}

} // namespace fixtures
