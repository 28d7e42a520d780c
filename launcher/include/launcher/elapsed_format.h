#pragma once

#include <QLocale>
#include <QString>

// The time separator of a locale's short time format (":" for most, "." for some).
QChar localeTimeSeparator(const QLocale& locale);

// An update run's elapsed time as minutes, the time separator, seconds, "." and
// milliseconds ("01:01.500"). Hours are not shown: minutes count within the hour.
QString formatUpdateElapsed(qint64 elapsedMs, QChar timeSeparator);
