#include "platform/datetime.h"

#include <QTest>

using platform::TDateTime;

class TestDateTime : public QObject {
    Q_OBJECT
private slots:
    void encode_data();
    void encode();
    void roundTrip_data();
    void roundTrip();
    void equalClockTimesAreBitEqual();
    void invalidValuesDoNotDecode();
    void ageOfFileTime_data();
    void ageOfFileTime();
};

void TestDateTime::ageOfFileTime_data() {
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<qint64>("offsetMs");
    QTest::addColumn<QDateTime>("clock"); // the local clock fields expected, to the ms
    const auto at = [](int y, int mo, int d, int h, int mi, int s, int ms) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
    };
    QTest::newRow("Unix epoch, UTC")
        << qint64(0) << qint64(0) << qint64(0) << at(1970, 1, 1, 0, 0, 0, 0);
    QTest::newRow("nanoseconds are cut, not rounded")
        << qint64(1'656'017'425) << qint64(123'999'999) << qint64(0)
        << at(2022, 6, 23, 20, 50, 25, 123);
    QTest::newRow("an offset west crosses midnight back")
        << qint64(1'656'028'800) << qint64(0) << qint64(-3 * 3'600'000)
        << at(2022, 6, 23, 21, 0, 0, 0);
    QTest::newRow("an offset east crosses midnight forward")
        << qint64(1'656'021'600) << qint64(500'000'000) << qint64(5 * 3'600'000 + 1'800'000)
        << at(2022, 6, 24, 3, 30, 0, 500);
    QTest::newRow("before 1970, cut towards the earlier ms")
        << qint64(-1) << qint64(999'500'000) << qint64(0) << at(1969, 12, 31, 23, 59, 59, 999);
    QTest::newRow("before the 1899 epoch")
        << qint64(-2'209'248'000) << qint64(0) << qint64(0) << at(1899, 12, 29, 0, 0, 0, 0);
}

void TestDateTime::ageOfFileTime() {
    QFETCH(qint64, seconds);
    QFETCH(qint64, nanoseconds);
    QFETCH(qint64, offsetMs);
    QFETCH(QDateTime, clock);
    const struct timespec time = {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    // Bit-equal to the one conversion every other age goes through.
    QCOMPARE(platform::ageOfFileTime(time, offsetMs), platform::fromClockTime(clock));
}

void TestDateTime::encode_data() {
    QTest::addColumn<QDate>("date");
    QTest::addColumn<qint64>("msec");
    QTest::addColumn<double>("expected");
    QTest::newRow("epoch") << QDate(1899, 12, 30) << qint64(0) << 0.0;
    QTest::newRow("epoch noon") << QDate(1899, 12, 30) << qint64(43'200'000) << 0.5;
    QTest::newRow("1900-01-01") << QDate(1900, 1, 1) << qint64(0) << 2.0;
    QTest::newRow("day before epoch, 06:00") << QDate(1899, 12, 29) << qint64(21'600'000) << -1.25;
    QTest::newRow("2022-06-23 18:00") << QDate(2022, 6, 23) << qint64(64'800'000) << 44735.75;
}

void TestDateTime::encode() {
    QFETCH(QDate, date);
    QFETCH(qint64, msec);
    QFETCH(double, expected);
    QCOMPARE(platform::encodeDateTime(date, msec), expected);
}

void TestDateTime::roundTrip_data() {
    QTest::addColumn<QDateTime>("clock");
    QTest::newRow("with milliseconds") << QDateTime(QDate(2022, 6, 23), QTime(20, 50, 25, 123));
    QTest::newRow("last millisecond of a day")
        << QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999));
    QTest::newRow("midnight") << QDateTime(QDate(2001, 1, 1), QTime(0, 0));
    QTest::newRow("far future") << QDateTime(QDate(2099, 12, 31), QTime(12, 0, 0, 1));
    QTest::newRow("before epoch") << QDateTime(QDate(1899, 12, 1), QTime(6, 30, 0, 250));
}

void TestDateTime::roundTrip() {
    QFETCH(QDateTime, clock);
    const TDateTime value = platform::fromClockTime(clock);
    const QDateTime back = platform::toClockTime(value);
    QCOMPARE(back.date(), clock.date());
    QCOMPARE(back.time(), clock.time());
    QCOMPARE(platform::fromClockTime(back), value);
}

void TestDateTime::equalClockTimesAreBitEqual() {
    // Ages from different sources (file times, JSON text) must compare with ==.
    const TDateTime a =
        platform::encodeDateTime(2022, 6, 23, (20 * 3600 + 50 * 60 + 25) * 1000 + 123);
    const TDateTime b =
        platform::fromClockTime(QDateTime(QDate(2022, 6, 23), QTime(20, 50, 25, 123), Qt::UTC));
    QVERIFY(a == b);
    const TDateTime c =
        platform::encodeDateTime(2022, 6, 23, (20 * 3600 + 50 * 60 + 25) * 1000 + 124);
    QVERIFY(a != c);
}

void TestDateTime::invalidValuesDoNotDecode() {
    QDate date;
    qint64 msec = 0;
    QVERIFY(!platform::decodeDateTime(std::numeric_limits<double>::quiet_NaN(), date, msec));
    QVERIFY(!platform::decodeDateTime(1.0e12, date, msec));
    QVERIFY(!platform::toClockTime(std::numeric_limits<double>::infinity()).isValid());
}

QTEST_GUILESS_MAIN(TestDateTime)
#include "tst_datetime.moc"
