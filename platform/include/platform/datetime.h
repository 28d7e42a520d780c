#pragma once

#include <QDateTime>

#include <ctime>

namespace platform {

// Days since 1899-12-30 00:00 as a double; the fraction is the time of day.
using TDateTime = double;

inline constexpr qint64 MSecsPerDay = 86'400'000;

// The one conversion from a calendar date and a millisecond of the day. Every
// producer of ages goes through it, so equal clock times give bit-equal values.
TDateTime encodeDateTime(int year, int month, int day, qint64 msecOfDay);
TDateTime encodeDateTime(QDate date, qint64 msecOfDay);

// Splits a value back into its date and millisecond of the day (rounded to the
// nearest millisecond). Returns false for values outside the calendar.
bool decodeDateTime(TDateTime value, QDate& date, qint64& msecOfDay);

// The clock fields of a QDateTime (its own time zone is ignored), cut to the ms.
TDateTime fromClockTime(const QDateTime& clock);
// A local QDateTime with the clock fields of value.
QDateTime toClockTime(TDateTime value);

// The current local date and time.
TDateTime now();

// The machine's current offset from UTC, in milliseconds.
qint64 currentUtcOffsetMs();

// The age of a file-system time: local time with the given offset from UTC, cut
// to the millisecond. The one rule for every age read from a file, local or
// central: if two readers differed, a refreshed file would look stale forever or
// a stale one current.
TDateTime ageOfFileTime(const struct timespec& time, qint64 utcOffsetMs);

} // namespace platform
