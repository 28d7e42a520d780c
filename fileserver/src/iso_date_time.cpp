#include "fileserver/iso_date_time.h"

#include "platform/errors.h"

#include <QDate>

namespace fileserver {

namespace {

using platform::EConvertError;
using platform::EDateTimeException;

[[noreturn]] void invalidDateTime(const QString& text) {
    throw EDateTimeException(QStringLiteral("'%1' is not a valid ISO 8601 date-time").arg(text));
}

bool allDigits(QStringView s) {
    if (s.isEmpty())
        return false;
    for (QChar c : s)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

// Digits where digits belong, else the number error of a failed integer read.
int readNumber(QStringView s) {
    if (!allDigits(s) || s.size() > 9)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(s));
    return s.toInt();
}

QDate readDate(QStringView part, const QString& text) {
    if (part.size() < 4)
        invalidDateTime(text);
    int year = 0, month = 1, day = 1;
    if (part.contains(u'-')) {
        const auto fields = part.split(u'-');
        if (fields.size() > 3)
            invalidDateTime(text);
        year = readNumber(fields[0]);
        if (fields.size() > 1)
            month = readNumber(fields[1]);
        if (fields.size() > 2)
            day = readNumber(fields[2]);
    } else {
        // Compact forms: YYYY, YYYYMM, YYYYMMDD.
        if (part.size() != 4 && part.size() != 6 && part.size() != 8)
            invalidDateTime(text);
        year = readNumber(part.first(4));
        if (part.size() >= 6)
            month = readNumber(part.sliced(4, 2));
        if (part.size() == 8)
            day = readNumber(part.sliced(6, 2));
    }
    const QDate date(year, month, day);
    // The calendar of TDateTime: years 1 to 9999.
    if (year < 1 || year > 9999 || !date.isValid())
        invalidDateTime(text);
    return date;
}

// "hh", "hh:mm", "hh:mm:ss" or compact "hhmm", "hhmmss"; each field two digits.
void readClock(QStringView clock, const QString& text, int& h, int& m, int& s) {
    h = m = s = 0;
    QList<QStringView> fields;
    if (clock.contains(u':')) {
        fields = clock.split(u':');
    } else {
        for (qsizetype i = 0; i < clock.size(); i += 2)
            fields.append(clock.sliced(i, qMin<qsizetype>(2, clock.size() - i)));
    }
    if (fields.isEmpty() || fields.size() > 3)
        invalidDateTime(text);
    for (const auto& f : fields)
        if (f.size() != 2)
            invalidDateTime(text);
    h = readNumber(fields[0]);
    if (fields.size() > 1)
        m = readNumber(fields[1]);
    if (fields.size() > 2)
        s = readNumber(fields[2]);
}

// The offset of "+hh:mm", "-hhmm" or "+hh", in milliseconds east of UTC.
qint64 readOffset(QStringView zone, const QString& text) {
    const int sign = zone.front() == u'-' ? -1 : 1;
    QStringView rest = zone.sliced(1);
    int h = 0, m = 0;
    if (rest.size() == 5 && rest[2] == u':') {
        h = readNumber(rest.first(2));
        m = readNumber(rest.sliced(3));
    } else if (rest.size() == 4) {
        h = readNumber(rest.first(2));
        m = readNumber(rest.sliced(2));
    } else if (rest.size() == 2) {
        h = readNumber(rest);
    } else {
        invalidDateTime(text);
    }
    if (h > 23 || m > 59)
        invalidDateTime(text);
    return sign * (qint64(h) * 60 + m) * 60'000;
}

} // namespace

platform::TDateTime isoToDateTime(const QString& text) {
    const qsizetype t = text.indexOf(u'T');
    const QStringView datePart = t < 0 ? QStringView(text) : QStringView(text).first(t);
    QDate date = readDate(datePart, text);
    qint64 msec = 0;

    if (t >= 0) {
        QStringView time = QStringView(text).sliced(t + 1);
        qint64 offset = 0;
        if (time.endsWith(u'Z')) {
            time.chop(1);
        } else {
            const qsizetype sign = qMax(time.lastIndexOf(u'+'), time.lastIndexOf(u'-'));
            if (sign >= 0) {
                offset = readOffset(time.sliced(sign), text);
                time.truncate(sign);
            }
        }
        qsizetype dot = time.indexOf(u'.');
        if (dot < 0)
            dot = time.indexOf(u',');
        int fractionMs = 0;
        if (dot >= 0) {
            QStringView fraction = time.sliced(dot + 1);
            if (fraction.isEmpty())
                invalidDateTime(text);
            if (!allDigits(fraction))
                throw EConvertError(
                    QStringLiteral("'%1' is not a valid integer value").arg(fraction));
            // Kept to the millisecond: further digits are cut.
            fractionMs = readNumber(fraction.first(qMin<qsizetype>(3, fraction.size())));
            for (qsizetype i = fraction.size(); i < 3; ++i)
                fractionMs *= 10;
            time.truncate(dot);
        }
        if (time.isEmpty())
            invalidDateTime(text);
        int h = 0, m = 0, s = 0;
        readClock(time, text, h, m, s);
        const bool endOfDay = h == 24 && m == 0 && s == 0 && fractionMs == 0;
        if ((h > 23 && !endOfDay) || m > 59 || s > 59)
            invalidDateTime(text);
        msec = ((qint64(h) * 60 + m) * 60 + s) * 1000 + fractionMs;
        // Removing the offset gives UTC: -03:00 is three hours later.
        msec -= offset;
        while (msec < 0) {
            date = date.addDays(-1);
            msec += platform::MSecsPerDay;
        }
        while (msec >= platform::MSecsPerDay) {
            date = date.addDays(1);
            msec -= platform::MSecsPerDay;
        }
        if (!date.isValid() || date.year() < 1 || date.year() > 9999)
            invalidDateTime(text);
    }
    return platform::encodeDateTime(date, msec);
}

QString dateTimeToIso(platform::TDateTime value) {
    QDate date;
    qint64 msec = 0;
    if (!platform::decodeDateTime(value, date, msec))
        throw EDateTimeException(QStringLiteral("%1 is not a valid date-time").arg(value));
    const qint64 ms = msec % 1000;
    const qint64 totalSeconds = msec / 1000;
    return QStringLiteral("%1-%2-%3T%4:%5:%6.%7")
        .arg(date.year(), 4, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'))
        .arg(totalSeconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(totalSeconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(totalSeconds % 60, 2, 10, QLatin1Char('0'))
        .arg(ms, 3, 10, QLatin1Char('0'));
}

} // namespace fileserver
