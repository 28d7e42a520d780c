#include "launcher/elapsed_format.h"
#include "launcher/support_mail.h"
#include "launcher/update_run_queue.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(UpdateRunQueue::Admission)

namespace {
UpdateRunRequest request(const QString& moduleName, bool additionalFiles, bool startsModule) {
    return {moduleName, additionalFiles, startsModule, {}};
}
} // namespace

// The pure rules behind the update cycle: the caption's time, the run queue and
// the mail facility's result texts.
class TestUpdateRules : public QObject {
    Q_OBJECT
private slots:
    void elapsed_data();
    void elapsed();
    void timeSeparatorFollowsLocale_data();
    void timeSeparatorFollowsLocale();
    void queueRunsOneAtATimeInOrder();
    void queueAdmission_data();
    void queueAdmission();
    void mailTexts_data();
    void mailTexts();
};

void TestUpdateRules::elapsed_data() {
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a few milliseconds") << qint64(7) << u":"_s << u"00:00.007"_s;
    QTest::newRow("example") << qint64(1234) << u":"_s << u"00:01.234"_s;
    QTest::newRow("61.5 s") << qint64(61'500) << u":"_s << u"01:01.500"_s;
    QTest::newRow("1 h 2 s") << qint64(3'602'000) << u":"_s << u"00:02.000"_s;
    QTest::newRow("59:59.999") << qint64(3'599'999) << u":"_s << u"59:59.999"_s;
    QTest::newRow("locale separator") << qint64(61'500) << u"."_s << u"01.01.500"_s;
    QTest::newRow("negative clamps") << qint64(-5) << u":"_s << u"00:00.000"_s;
}

void TestUpdateRules::elapsed() {
    QFETCH(qint64, ms);
    QFETCH(QString, separator);
    QFETCH(QString, expected);
    QCOMPARE(formatUpdateElapsed(ms, separator.front()), expected);
}

void TestUpdateRules::timeSeparatorFollowsLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("separator");
    QTest::newRow("pt_BR") << u"pt_BR"_s << u":"_s;
    QTest::newRow("en_US") << u"en_US"_s << u":"_s;
    QTest::newRow("fi_FI") << u"fi_FI"_s << u"."_s;
}

void TestUpdateRules::timeSeparatorFollowsLocale() {
    QFETCH(QString, locale);
    QFETCH(QString, separator);
    QCOMPARE(localeTimeSeparator(QLocale(locale)), separator.front());
}

void TestUpdateRules::queueRunsOneAtATimeInOrder() {
    UpdateRunQueue queue;
    QVERIFY(!queue.busy());
    QCOMPARE(queue.admit(request(QString(), true, false)), UpdateRunQueue::Admission::StartNow);
    QCOMPARE(queue.admit(request(u"Billing.exe"_s, true, true)), UpdateRunQueue::Admission::Queued);
    QCOMPARE(queue.admit(request(u"Supremo.exe"_s, false, true)),
             UpdateRunQueue::Admission::Queued);
    QCOMPARE(queue.admit(request(u"billing.EXE"_s, true, true)),
             UpdateRunQueue::Admission::AlreadyQueued);
    QVERIFY(queue.hasWaiting());

    auto next = queue.finishCurrent();
    QVERIFY(next);
    QCOMPARE(next->moduleName, u"Billing.exe"_s);
    QVERIFY(queue.busy());
    next = queue.finishCurrent();
    QVERIFY(next);
    QCOMPARE(next->moduleName, u"Supremo.exe"_s);
    QVERIFY(!queue.hasWaiting());
    QVERIFY(!queue.finishCurrent());
    QVERIFY(!queue.busy());
    // Once idle, the same module starts a fresh run.
    QCOMPARE(queue.admit(request(u"Billing.exe"_s, true, true)),
             UpdateRunQueue::Admission::StartNow);
}

void TestUpdateRules::queueAdmission_data() {
    QTest::addColumn<QString>("running");
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<UpdateRunQueue::Admission>("admission");
    QTest::newRow("same module while it runs")
        << u"Billing.exe"_s << u"Billing.exe"_s << UpdateRunQueue::Admission::AlreadyQueued;
    QTest::newRow("another module")
        << u"Billing.exe"_s << u"Finance.exe"_s << UpdateRunQueue::Admission::Queued;
    QTest::newRow("module during the start-up refresh")
        << QString() << u"Billing.exe"_s << UpdateRunQueue::Admission::Queued;
}

void TestUpdateRules::queueAdmission() {
    QFETCH(QString, running);
    QFETCH(QString, clicked);
    QFETCH(UpdateRunQueue::Admission, admission);
    UpdateRunQueue queue;
    QCOMPARE(queue.admit(request(running, true, !running.isEmpty())),
             UpdateRunQueue::Admission::StartNow);
    QCOMPARE(queue.admit(request(clicked, true, true)), admission);
}

void TestUpdateRules::mailTexts_data() {
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("success has none") << 0u << QString();
    QTest::newRow("user abort")
        << 1u << u"The user canceled one of the dialog boxes; no message was sent."_s;
    QTest::newRow("logon failure")
        << 3u
        << u"There was no default logon, and the user failed to log on successfully when the logon dialog box was displayed. No message was sent."_s;
    QTest::newRow("bad recipient type")
        << 15u
        << u"The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC. No message was sent."_s;
    QTest::newRow("ambiguous recipient")
        << 21u
        << u"A recipient matched more than one of the recipient descriptor structures and MAPI_DIALOG was not set. No message was sent."_s;
    QTest::newRow("outside the table") << 4u << QString();
    QTest::newRow("large code") << 999u << QString();
}

void TestUpdateRules::mailTexts() {
    QFETCH(uint, code);
    QFETCH(QString, text);
    QCOMPARE(MailResultText(code), text);
}

QTEST_GUILESS_MAIN(TestUpdateRules)
#include "tst_update_rules.moc"
