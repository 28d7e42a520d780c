#include "launcher/elapsed_format.h"

#include <QRegularExpression>

QChar localeTimeSeparator(const QLocale& locale) {
    // The first character between the hour and minute fields of the format.
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype hour = format.indexOf(QRegularExpression(QStringLiteral("[Hh]")));
    for (qsizetype i = hour < 0 ? 0 : hour; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c != u'H' && c != u'h')
            return (c.isLetter() || c == u'\'' || c.isSpace()) ? QChar(u':') : c;
    }
    return u':';
}

QString formatUpdateElapsed(qint64 elapsedMs, QChar timeSeparator) {
    if (elapsedMs < 0)
        elapsedMs = 0;
    const qint64 withinHour = elapsedMs % (60 * 60 * 1000);
    const qint64 minutes = withinHour / 60'000;
    const qint64 seconds = (withinHour / 1000) % 60;
    const qint64 msec = withinHour % 1000;
    return QStringLiteral("%1%2%3.%4")
        .arg(minutes, 2, 10, QChar(u'0'))
        .arg(timeSeparator)
        .arg(seconds, 2, 10, QChar(u'0'))
        .arg(msec, 3, 10, QChar(u'0'));
}
