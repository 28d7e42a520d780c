#include "platform/datetime.h"

#include <cmath>

namespace platform {

namespace {
// Julian day number of 1899-12-30. A constant, not a computed static: ages are
// made during static initialisation of other files too.
constexpr qint64 EpochJulianDay = 2'415'019;
} // namespace

TDateTime encodeDateTime(QDate date, qint64 msecOfDay) {
    const double days = static_cast<double>(date.toJulianDay() - EpochJulianDay);
    const double time = static_cast<double>(msecOfDay) / static_cast<double>(MSecsPerDay);
    // Before the epoch the whole part counts down while the time of day still
    // counts forward, so the fraction is subtracted.
    return days < 0 ? days - time : days + time;
}

TDateTime encodeDateTime(int year, int month, int day, qint64 msecOfDay) {
    return encodeDateTime(QDate(year, month, day), msecOfDay);
}

bool decodeDateTime(TDateTime value, QDate& date, qint64& msecOfDay) {
    if (!std::isfinite(value) || std::fabs(value) > 1.0e7)
        return false;
    double whole = std::trunc(value);
    qint64 msec = std::llround(std::fabs(value - whole) * static_cast<double>(MSecsPerDay));
    if (msec >= MSecsPerDay) {
        msec -= MSecsPerDay;
        whole += value < 0 ? -1.0 : 1.0;
    }
    date = QDate::fromJulianDay(EpochJulianDay + static_cast<qint64>(whole));
    msecOfDay = msec;
    return date.isValid();
}

TDateTime fromClockTime(const QDateTime& clock) {
    return encodeDateTime(clock.date(), clock.time().msecsSinceStartOfDay());
}

QDateTime toClockTime(TDateTime value) {
    QDate date;
    qint64 msec = 0;
    if (!decodeDateTime(value, date, msec))
        return {};
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(msec)));
}

TDateTime now() {
    return fromClockTime(QDateTime::currentDateTime());
}

qint64 currentUtcOffsetMs() {
    return static_cast<qint64>(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
}

TDateTime ageOfFileTime(const struct timespec& time, qint64 utcOffsetMs) {
    constexpr qint64 UnixEpochJulianDay = 2440588;
    // tv_nsec is never negative, so this cuts towards the earlier millisecond.
    const qint64 localMs =
        static_cast<qint64>(time.tv_sec) * 1000 + time.tv_nsec / 1'000'000 + utcOffsetMs;
    qint64 days = localMs / MSecsPerDay;
    qint64 msecOfDay = localMs % MSecsPerDay;
    if (msecOfDay < 0) {
        msecOfDay += MSecsPerDay;
        --days;
    }
    return encodeDateTime(QDate::fromJulianDay(UnixEpochJulianDay + days), msecOfDay);
}

} // namespace platform
