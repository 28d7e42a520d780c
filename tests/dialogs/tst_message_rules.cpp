// Pure rules of the message dialogs: rounding, colour, geometry, button roles and
// text formatting. No window is created here.
#include <dialogs/format_text.h>
#include <dialogs/message_layout.h>

#include <platform/errors.h>

#include <QtTest>

using namespace dialogs;

using CaptionWidths = std::array<int, dialogs::ButtonCount>;
Q_DECLARE_METATYPE(dialogs::TMsgDlgButtons)
Q_DECLARE_METATYPE(CaptionWidths)

namespace {

std::array<int, ButtonCount> widths(int all,
                                    std::initializer_list<std::pair<TMsgDlgBtn, int>> some) {
    std::array<int, ButtonCount> w{};
    w.fill(all);
    for (const auto& [button, width] : some)
        w[button] = width;
    return w;
}

QList<QRect> rowOf(int x, int y, int w, int h, int step, int count) {
    QList<QRect> rects;
    for (int i = 0; i < count; ++i)
        rects.append(QRect(x + i * step, y, w, h));
    return rects;
}

} // namespace

class MessageRulesTest : public QObject {
    Q_OBJECT

private slots:
    void mulDivRoundsHalvesAwayFromZero_data();
    void mulDivRoundsHalvesAwayFromZero();
    void colorWithLuminance_data();
    void colorWithLuminance();
    void layout_data();
    void layout();
    void buttonRoles_data();
    void buttonRoles();
    void upperBitsOfTheSetAreIgnored();
    void format_data();
    void format();
    void formatErrors_data();
    void formatErrors();
};

void MessageRulesTest::mulDivRoundsHalvesAwayFromZero_data() {
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("c");
    QTest::addColumn<int>("expected");
    QTest::newRow("exact") << 8 << 9 << 4 << 18;
    QTest::newRow("quarter down") << 10 << 21 << 8 << 26;
    QTest::newRow("three quarters up") << 14 << 21 << 8 << 37;
    QTest::newRow("half up") << 50 << 9 << 4 << 113;
    QTest::newRow("half up, even below") << 5 << 1 << 2 << 3;
    QTest::newRow("half up, odd below") << 3 << 1 << 2 << 2;
    QTest::newRow("negative half away from zero") << -50 << 7 << 4 << -88;
    QTest::newRow("negative divisor") << 5 << 1 << -2 << -3;
    QTest::newRow("both negative") << -5 << 1 << -2 << 3;
    QTest::newRow("no overflow of the product") << 2000000000 << 3 << 4 << 1500000000;
    QTest::newRow("division by zero") << 1 << 1 << 0 << -1;
}

void MessageRulesTest::mulDivRoundsHalvesAwayFromZero() {
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, c);
    QFETCH(int, expected);
    QCOMPARE(MulDiv(a, b, c), expected);
}

void MessageRulesTest::colorWithLuminance_data() {
    QTest::addColumn<QColor>("color");
    QTest::addColumn<int>("luminance");
    QTest::addColumn<QColor>("expected");
    // The dialog's band: truncating grey conversion, not Qt's rounding (213).
    QTest::newRow("dialog band") << QColor(245, 245, 245) << 200 << QColor(212, 212, 212);
    QTest::newRow("grey to black") << QColor(128, 128, 128) << 0 << QColor(0, 0, 0);
    QTest::newRow("grey to white") << QColor(10, 10, 10) << 240 << QColor(255, 255, 255);
    QTest::newRow("red kept") << QColor(255, 0, 0) << 120 << QColor(255, 0, 0);
    QTest::newRow("red darkened") << QColor(255, 0, 0) << 60 << QColor(128, 0, 0);
    QTest::newRow("red lightened") << QColor(255, 0, 0) << 180 << QColor(255, 128, 128);
    QTest::newRow("luminance clamped") << QColor(245, 245, 245) << 999 << QColor(255, 255, 255);
}

void MessageRulesTest::colorWithLuminance() {
    QFETCH(QColor, color);
    QFETCH(int, luminance);
    QFETCH(QColor, expected);
    QCOMPARE(ColorWithLuminance(color, luminance), expected);
}

void MessageRulesTest::layout_data() {
    QTest::addColumn<QSize>("charSize");
    QTest::addColumn<CaptionWidths>("captionWidths");
    QTest::addColumn<TMsgDlgButtons>("buttons");
    QTest::addColumn<QSize>("textSize");
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("hasIcon");
    // expected metrics: mx, my, gy, bw, bh, bs
    QTest::addColumn<QList<int>>("metrics");
    // expected bands: W1, A, G, W2, MH
    QTest::addColumn<QList<int>>("bands");
    QTest::addColumn<bool>("scrollBar");
    QTest::addColumn<QRect>("iconRect");
    QTest::addColumn<int>("titleTop");
    QTest::addColumn<QRect>("memoRect");
    QTest::addColumn<QSize>("clientSize");
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<QRect>("panelRect");
    QTest::addColumn<QList<QRect>>("buttonRects");

    const QSize fullHd(1920, 1080);
    QTest::newRow("short message, OK: 350 minimum")
        << QSize(9, 21) << widths(40, {}) << TMsgDlgButtons{mbOK} << QSize(200, 21) << fullHd
        << true << QList<int>{18, 21, 26, 113, 37, 9} << QList<int>{294, 74, 113, 350, 27} << false
        << QRect(18, 10, 32, 32) << 15 << QRect(50, 53, 300, 27) << QSize(359, 179)
        << QPoint(779, 449) << QRect(0, 95, 359, 84) << rowOf(123, 26, 113, 37, 0, 1);

    QTest::newRow("text at half screen, no icon")
        << QSize(9, 21) << widths(40, {}) << TMsgDlgButtons{mbYes, mbNo} << QSize(960, 105)
        << fullHd << false << QList<int>{18, 21, 26, 113, 37, 9}
        << QList<int>{996, 158, 235, 1002, 111} << false << QRect(18, 10, 32, 32) << 15
        << QRect(18, 53, 984, 111) << QSize(1011, 263) << QPoint(453, 407)
        << QRect(0, 179, 1011, 84) << rowOf(388, 26, 113, 37, 122, 2);

    QTest::newRow("tall text capped at half screen with scroll bar")
        << QSize(9, 21) << widths(40, {}) << TMsgDlgButtons{mbOK} << QSize(500, 2000) << fullHd
        << true << QList<int>{18, 21, 26, 113, 37, 9} << QList<int>{594, 540, 113, 600, 498} << true
        << QRect(18, 10, 32, 32) << 15 << QRect(50, 53, 550, 498) << QSize(609, 645)
        << QPoint(654, 216) << QRect(0, 561, 609, 84) << rowOf(248, 26, 113, 37, 0, 1);

    QTest::newRow("buttons wider than text, widest caption wins")
        << QSize(9, 21) << widths(60, {{mbYesToAll, 150}})
        << TMsgDlgButtons{mbYes, mbNo, mbCancel, mbYesToAll} << QSize(100, 21) << fullHd << true
        << QList<int>{18, 21, 26, 150, 37, 9} << QList<int>{194, 74, 627, 350, 27} << false
        << QRect(18, 10, 32, 32) << 15 << QRect(50, 53, 300, 27) << QSize(636, 179)
        << QPoint(640, 449) << QRect(0, 95, 636, 84) << rowOf(4, 26, 150, 37, 159, 4);

    QTest::newRow("captions of buttons not shown are ignored")
        << QSize(9, 21) << widths(40, {{mbCancel, 500}}) << TMsgDlgButtons{mbOK} << QSize(200, 21)
        << fullHd << true << QList<int>{18, 21, 26, 113, 37, 9} << QList<int>{294, 74, 113, 350, 27}
        << false << QRect(18, 10, 32, 32) << 15 << QRect(50, 53, 300, 27) << QSize(359, 179)
        << QPoint(779, 449) << QRect(0, 95, 359, 84) << rowOf(123, 26, 113, 37, 0, 1);

    QTest::newRow("smaller font, rounding of half widths")
        << QSize(7, 16) << widths(40, {}) << TMsgDlgButtons{mbOK} << QSize(300, 16)
        << QSize(1280, 1024) << true << QList<int>{14, 16, 20, 88, 28, 7}
        << QList<int>{380, 64, 88, 386, 22} << false << QRect(14, 8, 32, 32) << 10
        << QRect(46, 48, 340, 22) << QSize(393, 144) << QPoint(442, 438) << QRect(0, 80, 393, 64)
        << rowOf(152, 20, 88, 28, 0, 1);
}

void MessageRulesTest::layout() {
    QFETCH(QSize, charSize);
    QFETCH(CaptionWidths, captionWidths);
    QFETCH(TMsgDlgButtons, buttons);
    QFETCH(QSize, textSize);
    QFETCH(QSize, screen);
    QFETCH(bool, hasIcon);
    QFETCH(QList<int>, metrics);
    QFETCH(QList<int>, bands);
    QFETCH(bool, scrollBar);
    QFETCH(QRect, iconRect);
    QFETCH(int, titleTop);
    QFETCH(QRect, memoRect);
    QFETCH(QSize, clientSize);
    QFETCH(QPoint, position);
    QFETCH(QRect, panelRect);
    QFETCH(QList<QRect>, buttonRects);

    MessageLayoutInput in;
    in.averageCharSize = charSize;
    in.captionWidths = captionWidths;
    in.buttons = buttons;
    in.textSize = textSize;
    in.screenSize = screen;
    in.frameSize = QSize(4, 4);
    in.hasIcon = hasIcon;
    const MessageLayout L = ComputeMessageLayout(in);

    QCOMPARE((QList<int>{L.mx, L.my, L.gy, L.bw, L.bh, L.bs}), metrics);
    QCOMPARE((QList<int>{L.W1, L.A, L.G, L.W2, L.MH}), bands);
    QCOMPARE(L.iw, hasIcon ? 32 : 0);
    QCOMPARE(L.needsScrollBar, scrollBar);
    QCOMPARE(L.iconRect, iconRect);
    QCOMPARE(L.titleTop, titleTop);
    QCOMPARE(L.memoRect, memoRect);
    QCOMPARE(L.clientSize, clientSize);
    QCOMPARE(L.position, position);
    QCOMPARE(L.panelRect, panelRect);
    QCOMPARE(L.buttonRects, buttonRects);
}

void MessageRulesTest::buttonRoles_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<TMsgDlgButtons>("asked");
    QTest::addColumn<TMsgDlgButtons>("shown");
    QTest::addColumn<int>("requestedDefault");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("cancelButton");

    QTest::newRow("warning, empty") << int(mtWarning) << TMsgDlgButtons{} << TMsgDlgButtons{mbOK}
                                    << int(mbRetry) << int(mbOK) << int(mbOK);
    QTest::newRow("custom, empty") << int(mtCustom) << TMsgDlgButtons{} << TMsgDlgButtons{mbOK}
                                   << int(mbRetry) << int(mbOK) << int(mbOK);
    QTest::newRow("confirmation, empty")
        << int(mtConfirmation) << TMsgDlgButtons{} << TMsgDlgButtons{mbYes, mbNo} << int(mbRetry)
        << int(mbYes) << int(mbNo);
    QTest::newRow("abort retry ignore")
        << int(mtError) << TMsgDlgButtons{mbAbort, mbRetry, mbIgnore}
        << TMsgDlgButtons{mbAbort, mbRetry, mbIgnore} << int(mbRetry) << int(mbRetry) << int(mbOK);
    QTest::newRow("no and cancel")
        << int(mtWarning) << TMsgDlgButtons{mbNo, mbCancel} << TMsgDlgButtons{mbNo, mbCancel}
        << int(mbRetry) << int(mbNo) << int(mbCancel);
    QTest::newRow("yes and no") << int(mtInformation) << TMsgDlgButtons{mbYes, mbNo}
                                << TMsgDlgButtons{mbYes, mbNo} << int(mbYes) << int(mbYes)
                                << int(mbNo);
    QTest::newRow("OK wins over yes")
        << int(mtConfirmation) << TMsgDlgButtons{mbYes, mbOK} << TMsgDlgButtons{mbYes, mbOK}
        << int(mbOK) << int(mbOK) << int(mbOK);
    QTest::newRow("to-all buttons")
        << int(mtWarning) << TMsgDlgButtons{mbNoToAll, mbYesToAll}
        << TMsgDlgButtons{mbNoToAll, mbYesToAll} << int(mbRetry) << int(mbNoToAll) << int(mbOK);
}

void MessageRulesTest::buttonRoles() {
    QFETCH(int, type);
    QFETCH(TMsgDlgButtons, asked);
    QFETCH(TMsgDlgButtons, shown);
    QFETCH(int, requestedDefault);
    QFETCH(int, defaultButton);
    QFETCH(int, cancelButton);

    const TMsgDlgButtons effective = EffectiveButtons(static_cast<TMsgDlgType>(type), asked);
    QCOMPARE(effective.bits(), shown.bits());
    // The short overload picks its default from the set as passed, before the
    // empty-set rule; the builder then falls back to the first shown button.
    const TMsgDlgBtn requested = RequestedDefaultButton(asked);
    QCOMPARE(int(requested), requestedDefault);
    QCOMPARE(int(ResolveDefaultButton(effective, requested)), defaultButton);
    QCOMPARE(int(CancelButtonFor(effective)), cancelButton);
}

void MessageRulesTest::upperBitsOfTheSetAreIgnored() {
    const TMsgDlgButtons onlyUpper = TMsgDlgButtons::fromBits(0xF000);
    QVERIFY(onlyUpper.isEmpty());
    QCOMPARE(EffectiveButtons(mtWarning, onlyUpper).bits(), TMsgDlgButtons{mbOK}.bits());
    const TMsgDlgButtons mixed = TMsgDlgButtons::fromBits(0xF003);
    QCOMPARE(mixed.count(), 2);
    QVERIFY(mixed.contains(mbYes) && mixed.contains(mbNo) && !mixed.contains(12));
}

void MessageRulesTest::format_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("expected");
    const QString path = QStringLiteral("C:\\Quorvia\\Agenda.exe");
    QTest::newRow("module not installed")
        << QStringLiteral("Módulo não instalado.\r\n%s") << QVariantList{path}
        << QStringLiteral("Módulo não instalado.\r\n") + path;
    QTest::newRow("percent sign") << QStringLiteral("100%% feito") << QVariantList{}
                                  << QStringLiteral("100% feito");
    QTest::newRow("integer and string")
        << QStringLiteral("%d arquivos em %s") << QVariantList{3, QStringLiteral("rede")}
        << QStringLiteral("3 arquivos em rede");
    QTest::newRow("negative integer")
        << QStringLiteral("[%d]") << QVariantList{-42} << QStringLiteral("[-42]");
    QTest::newRow("width right and left")
        << QStringLiteral("[%5s|%-5s]") << QVariantList{QStringLiteral("ab"), QStringLiteral("cd")}
        << QStringLiteral("[   ab|cd   ]");
    QTest::newRow("precision") << QStringLiteral("%.3d %.2s")
                               << QVariantList{7, QStringLiteral("abc")}
                               << QStringLiteral("007 ab");
    QTest::newRow("hex upper case")
        << QStringLiteral("%x") << QVariantList{255} << QStringLiteral("FF");
    QTest::newRow("index reuses an argument")
        << QStringLiteral("%s-%0:s") << QVariantList{QStringLiteral("x")} << QStringLiteral("x-x");
    QTest::newRow("star width") << QStringLiteral("[%*d]") << QVariantList{4, 7}
                                << QStringLiteral("[   7]");
    QTest::newRow("extra arguments ignored")
        << QStringLiteral("só %s") << QVariantList{QStringLiteral("um"), 2}
        << QStringLiteral("só um");
}

void MessageRulesTest::format() {
    QFETCH(QString, format);
    QFETCH(QVariantList, args);
    QFETCH(QString, expected);
    QCOMPARE(Format(format, args), expected);
}

void MessageRulesTest::formatErrors_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("message");
    const QString fmt = QStringLiteral("Módulo não instalado.\r\n%s");
    QTest::newRow("missing argument")
        << fmt << QVariantList{} << QStringLiteral("No argument for format '%1'").arg(fmt);
    QTest::newRow("integer for %s")
        << fmt << QVariantList{12}
        << QStringLiteral("Format '%1' invalid or incompatible with argument").arg(fmt);
    QTest::newRow("string for %d")
        << QStringLiteral("%d") << QVariantList{QStringLiteral("3")}
        << QStringLiteral("Format '%d' invalid or incompatible with argument");
    QTest::newRow("double for %d")
        << QStringLiteral("%d") << QVariantList{1.5}
        << QStringLiteral("Format '%d' invalid or incompatible with argument");
    QTest::newRow("unknown type letter")
        << QStringLiteral("%q") << QVariantList{QStringLiteral("x")}
        << QStringLiteral("Format '%q' invalid or incompatible with argument");
    QTest::newRow("lone percent at the end")
        << QStringLiteral("50%") << QVariantList{}
        << QStringLiteral("Format '50%' invalid or incompatible with argument");
    QTest::newRow("index past the arguments")
        << QStringLiteral("%1:s") << QVariantList{QStringLiteral("x")}
        << QStringLiteral("No argument for format '%1:s'");
}

void MessageRulesTest::formatErrors() {
    QFETCH(QString, format);
    QFETCH(QVariantList, args);
    QFETCH(QString, message);
    try {
        const QString text = Format(format, args);
        QFAIL(qPrintable(QStringLiteral("no error, got: ") + text));
    } catch (const platform::EConvertError& e) {
        QCOMPARE(e.message(), message);
    }
}

QTEST_GUILESS_MAIN(MessageRulesTest)
#include "tst_message_rules.moc"
