// The message dialog as a user meets it: built, shown modally under the offscreen
// platform and answered with real key and mouse events, plus the test seam.
#include "dialog_driver.h"

#include <dialogs/message_builder.h>
#include <dialogs/message_dialogs.h>
#include <dialogs/message_layout.h>
#include <dialogs/transparent_memo.h>

#include <platform/errors.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>

using namespace dialogs;
using dialogs_test::CloseUnanswered;
using dialogs_test::PressKey;
using dialogs_test::RunWithDialog;
using dialogs_test::Unanswered;

namespace {

const QString Crlf = QStringLiteral("\r\n");
const QString Divider = QString(27, QLatin1Char('-')) + Crlf;

QStringList namesOf(const QList<TBitBtn*>& buttons) {
    QStringList names;
    for (const TBitBtn* b : buttons)
        names << b->objectName();
    return names;
}

int countMessageForms() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        n += qobject_cast<TMessageForm*>(w) != nullptr ? 1 : 0;
    return n;
}

std::unique_ptr<TMessageForm> build(const QString& msg, int type, int bits, int explicitDefault) {
    const auto buttons = TMsgDlgButtons::fromBits(static_cast<std::uint16_t>(bits));
    const auto dlgType = static_cast<TMsgDlgType>(type);
    if (explicitDefault >= 0)
        return BuildMessageForm(msg, dlgType, buttons, static_cast<TMsgDlgBtn>(explicitDefault));
    return BuildMessageForm(msg, dlgType, buttons);
}

struct Metrics {
    int mx, my, gy, bh;
};

Metrics metricsOf(const TMessageForm& form) {
    const QSize c = MeasureAverageCharSize(QFontMetrics(form.font()));
    return {MulDiv(8, c.width(), 4), MulDiv(8, c.height(), 8), MulDiv(10, c.height(), 8),
            MulDiv(14, c.height(), 8)};
}

int bitsOf(std::initializer_list<TMsgDlgBtn> buttons) {
    return TMsgDlgButtons(buttons).bits();
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint local, QPoint global) {
    QMouseEvent event(type, QPointF(local), QPointF(global), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class MessageFormTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void buttonSets_data();
    void buttonSets();
    void accessKeys_data();
    void accessKeys();
    void enterPressesTheFocusedButton();
    void closedByTheWindowSystemGivesTwo();
    void helpAndCloseKeepTheDialogOpen();

    void copyReport_data();
    void copyReport();

    void captionAndIcon_data();
    void captionAndIcon();
    void appearance();
    void glyphs_data();
    void glyphs();
    void wideMessageWraps_data();
    void wideMessageWraps();
    void tallMessageScrolls();
    void captionWidthIsMeasuredOnceAndReused();

    void placement_data();
    void placement();
    void placementWhileShown_data();
    void placementWhileShown();
    void formFreedWhenShowingThrows();
    void formattedMessageGoesThroughTheSeam();
    void formatErrorBeforeAnyDialog();

    void dragging_data();
    void dragging();

    void memoKeepsLineBreaksAsCrLf_data();
    void memoKeepsLineBreaksAsCrLf();
};

void MessageFormTest::initTestCase() {
    QCoreApplication::setApplicationName(QStringLiteral("Quorvia Arvento"));
}

void MessageFormTest::buttonSets_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("explicitDefault"); // -1: the overload without default
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("defaultName");
    QTest::addColumn<QString>("cancelName"); // empty: Escape presses nothing
    QTest::addColumn<int>("enterResult");    // Unanswered: the dialog stays open
    QTest::addColumn<int>("escapeResult");

    const QStringList ok{QStringLiteral("OK")};
    const QString OK = QStringLiteral("OK");
    QTest::newRow("warning, empty") << int(mtWarning) << 0 << -1 << ok << OK << OK << 1 << 1;
    QTest::newRow("error, empty") << int(mtError) << 0 << -1 << ok << OK << OK << 1 << 1;
    QTest::newRow("information, empty")
        << int(mtInformation) << 0 << -1 << ok << OK << OK << 1 << 1;
    QTest::newRow("custom, empty") << int(mtCustom) << 0 << -1 << ok << OK << OK << 1 << 1;
    QTest::newRow("confirmation, empty") << int(mtConfirmation) << 0 << -1
                                         << QStringList{QStringLiteral("Yes"), QStringLiteral("No")}
                                         << QStringLiteral("Yes") << QStringLiteral("No") << 6 << 7;
    QTest::newRow("only ignored bits")
        << int(mtWarning) << 0xF000 << -1 << ok << OK << OK << 1 << 1;
    QTest::newRow("yes and no: Escape gives No")
        << int(mtWarning) << bitsOf({mbYes, mbNo}) << -1
        << QStringList{QStringLiteral("Yes"), QStringLiteral("No")} << QStringLiteral("Yes")
        << QStringLiteral("No") << 6 << 7;
    QTest::newRow("abort retry ignore: Retry default, no cancel")
        << int(mtError) << bitsOf({mbAbort, mbRetry, mbIgnore}) << -1
        << QStringList{QStringLiteral("Abort"), QStringLiteral("Retry"), QStringLiteral("Ignore")}
        << QStringLiteral("Retry") << QString() << 4 << Unanswered;
    QTest::newRow("no and cancel: No default")
        << int(mtConfirmation) << bitsOf({mbNo, mbCancel}) << -1
        << QStringList{QStringLiteral("No"), QStringLiteral("Cancel")} << QStringLiteral("No")
        << QStringLiteral("Cancel") << 7 << 2;
    QTest::newRow("cancel before OK on the list, OK default")
        << int(mtWarning) << bitsOf({mbCancel, mbOK}) << -1
        << QStringList{QStringLiteral("OK"), QStringLiteral("Cancel")} << OK
        << QStringLiteral("Cancel") << 1 << 2;
    QTest::newRow("to-all buttons: first shown default")
        << int(mtWarning) << bitsOf({mbYesToAll, mbNoToAll}) << -1
        << QStringList{QStringLiteral("NoToAll"), QStringLiteral("YesToAll")}
        << QStringLiteral("NoToAll") << QString() << 13 << Unanswered;
    QTest::newRow("all twelve, screen order")
        << int(mtInformation) << 0x0FFF << -1
        << QStringList{QStringLiteral("Yes"),     QStringLiteral("No"),
                       QStringLiteral("OK"),      QStringLiteral("Cancel"),
                       QStringLiteral("Abort"),   QStringLiteral("Retry"),
                       QStringLiteral("Ignore"),  QStringLiteral("All"),
                       QStringLiteral("NoToAll"), QStringLiteral("YesToAll"),
                       QStringLiteral("Help"),    QStringLiteral("Close")}
        << OK << QStringLiteral("Cancel") << 1 << 2;
    QTest::newRow("explicit default No")
        << int(mtConfirmation) << bitsOf({mbYes, mbNo}) << int(mbNo)
        << QStringList{QStringLiteral("Yes"), QStringLiteral("No")} << QStringLiteral("No")
        << QStringLiteral("No") << 7 << 7;
    QTest::newRow("explicit default not shown")
        << int(mtConfirmation) << bitsOf({mbNo, mbAll}) << int(mbHelp)
        << QStringList{QStringLiteral("No"), QStringLiteral("All")} << QStringLiteral("No")
        << QStringLiteral("No") << 7 << 7;
    QTest::newRow("help alone never ends by key")
        << int(mtInformation) << bitsOf({mbHelp}) << -1 << QStringList{QStringLiteral("Help")}
        << QStringLiteral("Help") << QString() << Unanswered << Unanswered;
}

void MessageFormTest::buttonSets() {
    QFETCH(int, type);
    QFETCH(int, bits);
    QFETCH(int, explicitDefault);
    QFETCH(QStringList, names);
    QFETCH(QString, defaultName);
    QFETCH(QString, cancelName);
    QFETCH(int, enterResult);
    QFETCH(int, escapeResult);

    const QString msg = QStringLiteral("Deseja continuar?");
    {
        const auto form = build(msg, type, bits, explicitDefault);
        const QList<TBitBtn*> buttons = form->Buttons();
        QCOMPARE(namesOf(buttons), names);
        QStringList defaults;
        for (const TBitBtn* b : buttons)
            if (b->isDefault())
                defaults << b->objectName();
        QCOMPARE(defaults, QStringList{defaultName});
        QCOMPARE(form->CancelButton() ? form->CancelButton()->objectName() : QString(), cancelName);
        // Every button has its picture.
        for (const TBitBtn* b : buttons)
            QVERIFY2(!b->icon().isNull(), qPrintable(b->objectName()));
        // One common width, left to right without overlap, centred in the band.
        for (qsizetype i = 1; i < buttons.size(); ++i) {
            QCOMPARE(buttons[i]->width(), buttons[0]->width());
            QVERIFY(buttons[i]->x() > buttons[i - 1]->geometry().right());
        }
        const int leftGap = buttons.first()->x();
        const int rightGap = form->ButtonPanel->width() - buttons.last()->geometry().right() - 1;
        QVERIFY2(qAbs(leftGap - rightGap) <= 1,
                 qPrintable(QStringLiteral("%1 vs %2").arg(leftGap).arg(rightGap)));
    }

    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        QString focusedAtStart;
        bool stayedOpen = false;
        const int result = RunWithDialog(
            [&] { return ShowMessageForm(build(msg, type, bits, explicitDefault), 0, -1, -1, {}); },
            [&](TMessageForm& form) {
                focusedAtStart = QApplication::focusWidget()
                                     ? QApplication::focusWidget()->objectName()
                                     : QString();
                PressKey(form, key);
                stayedOpen = form.isVisible();
                CloseUnanswered(form);
            });
        const int expected = key == Qt::Key_Return ? enterResult : escapeResult;
        QCOMPARE(focusedAtStart, defaultName);
        QCOMPARE(result, expected);
        QCOMPARE(stayedOpen, expected == Unanswered);
    }
}

void MessageFormTest::accessKeys_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("expected");
    QTest::newRow("Alt+S Sim") << bitsOf({mbYes, mbNo}) << int(Qt::Key_S) << 6;
    QTest::newRow("Alt+N Não") << bitsOf({mbYes, mbNo}) << int(Qt::Key_N) << 7;
    QTest::newRow("Alt+C Cancelar") << bitsOf({mbOK, mbCancel}) << int(Qt::Key_C) << 2;
    QTest::newRow("Alt+T Tentar") << bitsOf({mbAbort, mbRetry, mbIgnore}) << int(Qt::Key_T) << 4;
    QTest::newRow("Alt+I Ignorar") << bitsOf({mbAbort, mbRetry, mbIgnore}) << int(Qt::Key_I) << 5;
}

void MessageFormTest::accessKeys() {
    QFETCH(int, bits);
    QFETCH(int, key);
    QFETCH(int, expected);
    const int result = RunWithDialog(
        [&] {
            return ShowMessageDialog(QStringLiteral("Escolha"), mtConfirmation,
                                     TMsgDlgButtons::fromBits(static_cast<std::uint16_t>(bits)), 0,
                                     -1, -1, {});
        },
        [&](TMessageForm& form) { PressKey(form, static_cast<Qt::Key>(key), Qt::AltModifier); });
    QCOMPARE(result, expected);
}

void MessageFormTest::enterPressesTheFocusedButton() {
    // Yes is the default, but the user tabbed to No.
    const int result = RunWithDialog(
        [] {
            return ShowMessageDialog(QStringLiteral("Sair?"), mtConfirmation, {}, 0, -1, -1, {});
        },
        [](TMessageForm& form) {
            PressKey(form, Qt::Key_Tab);
            PressKey(form, Qt::Key_Return);
        });
    QCOMPARE(result, mrNo);
}

void MessageFormTest::closedByTheWindowSystemGivesTwo() {
    // No's result would be 7; a close that is not a button press is always 2.
    const int result = RunWithDialog(
        [] {
            return ShowMessageDialog(QStringLiteral("Sair?"), mtConfirmation, {}, 0, -1, -1, {});
        },
        [](TMessageForm& form) { form.close(); });
    QCOMPARE(result, mrCancel);
}

void MessageFormTest::helpAndCloseKeepTheDialogOpen() {
    QList<std::pair<int, QString>> requests;
    bool openAfterHelp = false;
    bool openAfterClose = false;
    const int result = RunWithDialog(
        [] {
            return ShowMessageDialog(QStringLiteral("Consulte a ajuda"), mtInformation,
                                     {mbOK, mbHelp, mbClose}, 42, -1, -1,
                                     QStringLiteral("quorvia.hlp"));
        },
        [&](TMessageForm& form) {
            connect(&form, &TMessageForm::helpTopicRequested,
                    [&](int context, const QString& file) {
                        requests.append({context, file});
                    });
            form.FindButton(mbHelp)->click();
            openAfterHelp = form.isVisible();
            form.FindButton(mbClose)->click();
            openAfterClose = form.isVisible();
            form.FindButton(mbOK)->click();
        });
    QVERIFY(openAfterHelp);
    QVERIFY(openAfterClose);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().first, 42);
    QCOMPARE(requests.first().second, QStringLiteral("quorvia.hlp"));
    QCOMPARE(result, mrOk);
}

void MessageFormTest::copyReport_data() {
    QTest::addColumn<QString>("msg");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("memoFocused");
    QTest::addColumn<QString>("expected");

    QTest::newRow("yes and no, two lines")
        << QStringLiteral("Linha 1\r\nLinha 2") << int(mtConfirmation) << 0 << false
        << Divider + QStringLiteral("Confirmação") + Crlf + Divider +
               QStringLiteral("Linha 1\r\nLinha 2") + Crlf + Divider +
               QStringLiteral("Sim   Não   ") + Crlf + Divider;
    QTest::newRow("module not installed, memo focused")
        << QStringLiteral("Módulo não instalado.\r\nC:\\Quorvia\\Agenda.exe") << int(mtInformation)
        << 0 << true
        << Divider + QStringLiteral("Informação") + Crlf + Divider +
               QStringLiteral("Módulo não instalado.\r\nC:\\Quorvia\\Agenda.exe") + Crlf + Divider +
               QStringLiteral("OK   ") + Crlf + Divider;
    QTest::newRow("custom with captions lacking access keys")
        << QStringLiteral("Aplicar a todos?") << int(mtCustom)
        << bitsOf({mbAll, mbNoToAll, mbYesToAll, mbClose}) << false
        << Divider + QStringLiteral("Quorvia Arvento") + Crlf + Divider +
               QStringLiteral("Aplicar a todos?") + Crlf + Divider +
               QStringLiteral("Todos   Não para todos   Sim para todos   Fechar   ") + Crlf +
               Divider;
    QString longText;
    for (int i = 0; i < 300; ++i)
        longText += QStringLiteral("Linha %1 de um relatório bem comprido\r\n").arg(i);
    longText += QStringLiteral("fim");
    QTest::newRow("long message whole")
        << longText << int(mtError) << 0 << false
        << Divider + QStringLiteral("Falha") + Crlf + Divider + longText + Crlf + Divider +
               QStringLiteral("OK   ") + Crlf + Divider;
}

void MessageFormTest::copyReport() {
    QFETCH(QString, msg);
    QFETCH(int, type);
    QFETCH(int, bits);
    QFETCH(bool, memoFocused);
    QFETCH(QString, expected);

    const QString sentinel = QStringLiteral("nada copiado");
    QString afterShiftCopy;
    QString afterCopy;
    QString composed;
    qsizetype copies = -1;
    RunWithDialog(
        [&] {
            return ShowMessageDialog(msg, static_cast<TMsgDlgType>(type),
                                     TMsgDlgButtons::fromBits(static_cast<std::uint16_t>(bits)), 0,
                                     -1, -1, {});
        },
        [&](TMessageForm& form) {
            if (memoFocused)
                form.Message->setFocus();
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->setText(sentinel);
            QSignalSpy changes(clipboard, &QClipboard::dataChanged);
            PressKey(form, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
            afterShiftCopy = clipboard->text();
            PressKey(form, Qt::Key_C, Qt::ControlModifier);
            afterCopy = clipboard->text();
            copies = changes.count();
            composed = form.ComposeClipboardText();
            form.done(mrOk);
        });
    QCOMPARE(afterShiftCopy, sentinel);
    QCOMPARE(afterCopy, expected);
    QCOMPARE(composed, expected);
    QCOMPARE(copies, 1); // once, though the key travels on from the control to the form
}

void MessageFormTest::captionAndIcon_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("hasIcon");
    QTest::newRow("warning") << int(mtWarning) << QStringLiteral("Aviso") << true;
    QTest::newRow("error") << int(mtError) << QStringLiteral("Falha") << true;
    QTest::newRow("information") << int(mtInformation) << QStringLiteral("Informação") << true;
    QTest::newRow("confirmation") << int(mtConfirmation) << QStringLiteral("Confirmação") << true;
    QTest::newRow("custom: application title")
        << int(mtCustom) << QStringLiteral("Quorvia Arvento") << false;
}

void MessageFormTest::captionAndIcon() {
    QFETCH(int, type);
    QFETCH(QString, caption);
    QFETCH(bool, hasIcon);

    const auto form = BuildMessageForm(QStringLiteral("Texto"), static_cast<TMsgDlgType>(type), {});
    QCOMPARE(form->windowTitle(), caption);
    QCOMPARE(form->Title->text(), caption);
    QCOMPARE(int(form->DlgType), type);

    const Metrics m = metricsOf(*form);
    const int border = TMessageForm::BorderWidth;
    auto* image = form->findChild<QLabel*>(QStringLiteral("Image"));
    QCOMPARE(image != nullptr, hasIcon);
    if (image != nullptr) {
        QCOMPARE(image->parent(), form.get());
        QCOMPARE(image->geometry(), QRect(border + m.mx, border + m.my / 2, 32, 32));
        QVERIFY(!image->pixmap().isNull());
    }
    // The text starts after the icon column, always below the title line.
    const int iconColumn = hasIcon ? 32 : 0;
    QCOMPARE(form->Message->pos(), QPoint(border + iconColumn + m.mx, border + m.my + 32));
    QCOMPARE(form->Message->objectName(), QStringLiteral("Message"));
    // The title spans the client width.
    QCOMPARE(form->Title->x(), border);
    QCOMPARE(form->Title->width(), form->ClientRect().width());
}

void MessageFormTest::appearance() {
    const auto form = BuildMessageForm(QStringLiteral("Olá"), mtInformation, {mbYes, mbNo});
    QVERIFY(form->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(!form->windowFlags().testFlag(Qt::NoDropShadowWindowHint));
    QVERIFY(qFuzzyCompare(form->windowOpacity(), 245.0 / 255.0));
    QCOMPARE(form->palette().color(QPalette::Window), QColor(245, 245, 245));
    QVERIFY(form->autoFillBackground());
    QVERIFY(!form->isVisible());

    // A 2-pixel border around the client area.
    QCOMPARE(form->ClientRect(), form->rect().adjusted(2, 2, -2, -2));

    QCOMPARE(form->ButtonPanel->palette().color(QPalette::Window), QColor(212, 212, 212));
    QVERIFY(form->ButtonPanel->autoFillBackground());
    QCOMPARE(form->ButtonPanel->geometry().bottom(), form->ClientRect().bottom());
    QCOMPARE(form->ButtonPanel->width(), form->ClientRect().width());

    QCOMPARE(form->Title->font().weight(), QFont::Black);
    QCOMPARE(form->Title->font().pointSize(), 12);
    QCOMPARE(form->Title->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);

    TTransparentMemo* memo = form->Message;
    QVERIFY(memo->isReadOnly());
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QVERIFY(!memo->viewport()->autoFillBackground());
    QCOMPARE(memo->palette().color(QPalette::Base).alpha(), 0);
    QCOMPARE(memo->frameShape(), QFrame::NoFrame);
    QCOMPARE(memo->Text(), QStringLiteral("Olá"));

    const TBitBtn* yes = form->FindButton(mbYes);
    const TBitBtn* no = form->FindButton(mbNo);
    QCOMPARE(yes->text(), QStringLiteral("&Sim"));
    QCOMPARE(no->text(), QStringLiteral("&Não"));
    QCOMPARE(yes->ModalResult(), mrYes);
    QCOMPARE(no->ModalResult(), mrNo);
    QCOMPARE(yes->Kind(), bkYes);
    QCOMPARE(no->Kind(), bkAbort); // the abort glyph, on purpose
    QCOMPARE(yes->font().pointSize(), 10);
}

void MessageFormTest::glyphs_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("kindGlyph");  // the kind's picture; empty: none
    QTest::addColumn<QList<int>>("buttons"); // the buttons showing buttonGlyph
    QTest::addColumn<QString>("buttonGlyph");

    const auto row = [](const char* name, TBitBtnKind kind, const QString& glyph,
                        QList<int> buttons) {
        QTest::newRow(name) << int(kind) << glyph << buttons << glyph;
    };
    row("bkYes", bkYes, QStringLiteral("yes"), {mbYes});
    row("bkNo: no button of the table", bkNo, QStringLiteral("no"), {});
    row("bkOK", bkOK, QStringLiteral("ok"), {mbOK});
    row("bkCancel", bkCancel, QStringLiteral("cancel"), {mbCancel});
    row("bkAbort: Não and Abortar", bkAbort, QStringLiteral("abort"), {mbNo, mbAbort});
    row("bkRetry", bkRetry, QStringLiteral("retry"), {mbRetry});
    row("bkIgnore", bkIgnore, QStringLiteral("ignore"), {mbIgnore});
    row("bkAll", bkAll, QStringLiteral("all"), {mbAll});
    row("bkHelp", bkHelp, QStringLiteral("help"), {mbHelp});
    row("bkClose", bkClose, QStringLiteral("close"), {});
    // Buttons whose kind brings no picture get one of the same set.
    QTest::newRow("bkCustom: Não para todos")
        << int(bkCustom) << QString() << QList<int>{mbNoToAll} << QStringLiteral("no-to-all");
    QTest::newRow("bkCustom: Sim para todos")
        << int(bkCustom) << QString() << QList<int>{mbYesToAll} << QStringLiteral("yes-to-all");
    QTest::newRow("bkCustom: Fechar")
        << int(bkCustom) << QString() << QList<int>{mbClose} << QStringLiteral("close");
}

void MessageFormTest::glyphs() {
    QFETCH(int, kind);
    QFETCH(QString, kindGlyph);
    QFETCH(QList<int>, buttons);
    QFETCH(QString, buttonGlyph);
    const auto pathOf = [](const QString& name) {
        return name.isEmpty() ? QString() : QStringLiteral(":/dialogs/glyphs/%1.png").arg(name);
    };
    const auto pictureOf = [](const QIcon& icon) {
        return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };

    QCOMPARE(GlyphResourceFor(static_cast<TBitBtnKind>(kind)), pathOf(kindGlyph));
    TBitBtn alone;
    alone.SetKind(static_cast<TBitBtnKind>(kind));
    QCOMPARE(alone.icon().isNull(), kindGlyph.isEmpty());

    // One small picture and its double-size variant, unlike every other of the set.
    const QString path = pathOf(buttonGlyph);
    const QImage picture(path);
    QCOMPARE(picture.size(), QSize(16, 16));
    QCOMPARE(QImage(QStringLiteral(":/dialogs/glyphs/%1@2x.png").arg(buttonGlyph)).size(),
             QSize(32, 32));
    const QDir set(QStringLiteral(":/dialogs/glyphs"));
    const QStringList others = set.entryList({QStringLiteral("*.png")}, QDir::Files);
    QCOMPARE(others.size(), 2 * 12);
    for (const QString& other : others)
        if (!other.contains(u'@') && set.filePath(other) != path)
            QVERIFY2(QImage(set.filePath(other)) != picture, qPrintable(other));
    if (!kindGlyph.isEmpty())
        QCOMPARE(pictureOf(alone.icon()),
                 picture.convertToFormat(QImage::Format_ARGB32_Premultiplied));

    // In a dialog with every button, the buttons show exactly this picture.
    const auto form = BuildMessageForm(QStringLiteral("Todos os botões"), mtInformation,
                                       TMsgDlgButtons::fromBits(0x0FFF));
    for (const int button : buttons) {
        QCOMPARE(ButtonGlyphResource(static_cast<TMsgDlgBtn>(button)), path);
        const TBitBtn* shown = form->FindButton(static_cast<TMsgDlgBtn>(button));
        QVERIFY(shown != nullptr);
        QCOMPARE(shown->Kind(), ButtonGlyphKinds[static_cast<std::size_t>(button)]);
        QCOMPARE(pictureOf(shown->icon()),
                 picture.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
}

void MessageFormTest::wideMessageWraps_data() {
    QTest::addColumn<QString>("msg");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("leastLines"); // lines the memo shows at the least

    QString words;
    for (int i = 0; i < 30; ++i)
        words += QStringLiteral("palavra ");
    QTest::newRow("words wrap at blanks") << words << int(mtWarning) << 2;

    // A path without blanks, far wider than the screen: it breaks inside the word.
    QString path = QStringLiteral("C:\\Quorvia");
    while (path.size() < 200)
        path += QStringLiteral("\\ModulosDoSistemaHospitalar");
    path = path.left(209) + QStringLiteral("\\A.exe");
    QCOMPARE(path.size(), 215);
    QTest::newRow("module not installed, 215-character path")
        << QStringLiteral("Módulo não instalado.\r\n") + path << int(mtInformation) << 3;
    QTest::newRow("no icon, 215-character path") << path << int(mtCustom) << 2;
}

void MessageFormTest::wideMessageWraps() {
    QFETCH(QString, msg);
    QFETCH(int, type);
    QFETCH(int, leastLines);
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();

    const auto wideForm = BuildMessageForm(msg, static_cast<TMsgDlgType>(type), {});
    const Metrics wm = metricsOf(*wideForm);
    // Client area: text at most half the screen, plus icon column, margins and the
    // frame allowance (border on both sides and 2).
    const int iconColumn = type == mtCustom ? 0 : 32 + wm.gy;
    const int widest = screen.width() / 2 + 2 * wm.mx + iconColumn + 6 + wm.mx / 2;
    const int clientWidth = wideForm->ClientRect().width();
    QVERIFY2(clientWidth <= widest,
             qPrintable(QStringLiteral("%1 > %2").arg(clientWidth).arg(widest)));
    QVERIFY(wideForm->width() > screen.width() / 4);
    QCOMPARE(wideForm->Message->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // The memo wraps the way the dialog was measured: every line shows, none is
    // cut off or scrolled away, and the whole text is kept.
    wideForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(wideForm.get()));
    TTransparentMemo* memo = wideForm->Message;
    const int lines = qRound(memo->document()->documentLayout()->documentSize().height());
    QVERIFY2(lines >= leastLines, qPrintable(QString::number(lines)));
    QCOMPARE(memo->verticalScrollBar()->maximum(), 0);
    QVERIFY(lines * QFontMetrics(memo->font()).lineSpacing() <= memo->viewport()->height());
    QCOMPARE(memo->Text(), msg);
}

void MessageFormTest::tallMessageScrolls() {
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QString tall;
    for (int i = 0; i < 200; ++i)
        tall += QStringLiteral("linha %1\r\n").arg(i);
    const auto tallForm = BuildMessageForm(tall, mtWarning, {});
    const Metrics tm = metricsOf(*tallForm);
    QCOMPARE(tallForm->Message->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // The band above the buttons is at most half the screen; the memo fits inside it.
    QVERIFY(tallForm->ClientRect().height() <= screen.height() / 2 + tm.bh + tm.gy + 2 * tm.my);
    QVERIFY(tallForm->Message->height() <= screen.height() / 2 - 2 * tm.my);
    QVERIFY(tallForm->Message->verticalScrollBar()->maximum() > 0);
    QCOMPARE(tallForm->Message->Text(), tall);
}

void MessageFormTest::captionWidthIsMeasuredOnceAndReused() {
    const auto saved = CaptionWidthCache;
    const auto first = BuildMessageForm(QStringLiteral("a"), mtWarning, {mbOK});
    const int measured = CaptionWidthCache[mbOK];
    QVERIFY(measured > 8);
    // A planted width must be used as is by the next dialog: nothing re-measures it.
    CaptionWidthCache[mbOK] = 400;
    const auto second = BuildMessageForm(QStringLiteral("a"), mtWarning, {mbOK});
    const int plantedWidth = second->FindButton(mbOK)->width();
    CaptionWidthCache = saved;
    QCOMPARE(plantedWidth, 400);
    QVERIFY(second->ClientRect().width() >= 400);
    QVERIFY(first->FindButton(mbOK)->width() < 400);
}

void MessageFormTest::placement_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("keepX");
    QTest::addColumn<bool>("keepY");
    QTest::addColumn<bool>("centredOnShow");
    QTest::newRow("X 100, Y -1") << 100 << -1 << false << true << false;
    QTest::newRow("X -1, Y 50") << -1 << 50 << true << false << false;
    QTest::newRow("both given") << 100 << 50 << false << false << false;
    QTest::newRow("zero counts as given") << 0 << 0 << false << false << false;
    QTest::newRow("both negative: centred") << -1 << -5 << true << true << true;
}

void MessageFormTest::placement() {
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, keepX);
    QFETCH(bool, keepY);
    QFETCH(bool, centredOnShow);

    const QPoint built = BuildMessageForm(QStringLiteral("Posição"), mtInformation, {})->pos();
    QPoint seen;
    bool centred = false;
    int helpContext = -1;
    QString helpFile;
    ScopedModalHook hook([&](TMessageForm& form) {
        seen = form.pos();
        centred = form.CentredOnShow();
        helpContext = form.HelpContext();
        helpFile = form.HelpFile();
        return mrOk;
    });
    const int result = ShowMessageDialog(QStringLiteral("Posição"), mtInformation, {}, 7, x, y,
                                         QStringLiteral("ajuda.hlp"));
    QCOMPARE(result, mrOk);
    QCOMPARE(seen, QPoint(keepX ? built.x() : x, keepY ? built.y() : y));
    QCOMPARE(centred, centredOnShow);
    QCOMPARE(helpContext, 7);
    QCOMPARE(helpFile, QStringLiteral("ajuda.hlp"));
}

void MessageFormTest::placementWhileShown_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::newRow("X 100, Y -1") << 100 << -1;
    QTest::newRow("centred") << -1 << -1;
}

void MessageFormTest::placementWhileShown() {
    QFETCH(int, x);
    QFETCH(int, y);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QRect shown;
    RunWithDialog(
        [&] { return ShowMessageDialog(QStringLiteral("Onde?"), mtWarning, {}, 0, x, y, {}); },
        [&](TMessageForm& form) {
            shown = form.geometry();
            form.done(mrOk);
        });
    const int centreX = screen.x() + screen.width() / 2 - shown.width() / 2;
    const int centreY = screen.y() + screen.height() / 2 - shown.height() / 2;
    QCOMPARE(shown.topLeft(), QPoint(x >= 0 ? x : centreX, centreY));
}

void MessageFormTest::formFreedWhenShowingThrows() {
    QPointer<TMessageForm> seen;
    {
        ScopedModalHook hook([&](TMessageForm& form) -> int {
            seen = &form;
            throw platform::EInOutError(QStringLiteral("falhou ao mostrar"));
        });
        QVERIFY_THROWS_EXCEPTION(
            platform::EInOutError,
            ShowMessageDialog(QStringLiteral("x"), mtError, {}, 0, -1, -1, {}));
    }
    QVERIFY(seen.isNull());
    QCOMPARE(countMessageForms(), 0);

    // A normal end frees it as well.
    {
        ScopedModalHook hook([&](TMessageForm& form) {
            seen = &form;
            return mrOk;
        });
        QCOMPARE(ShowMessageDialog(QStringLiteral("x"), mtError, {}, 0, -1, -1, {}), mrOk);
    }
    QVERIFY(seen.isNull());
}

void MessageFormTest::formattedMessageGoesThroughTheSeam() {
    const QString path = QStringLiteral("C:\\Quorvia\\Estoque.exe");
    QString caption, text, cancel, focusTarget;
    QStringList buttons;
    bool centred = false;
    ScopedModalHook hook([&](TMessageForm& form) {
        caption = form.windowTitle();
        text = form.Message->Text();
        buttons = namesOf(form.Buttons());
        cancel = form.CancelButton() ? form.CancelButton()->objectName() : QString();
        centred = form.CentredOnShow();
        return mrOk;
    });
    const int result = ShowMessageDialogFmt(QStringLiteral("Módulo não instalado.\r\n%s"), {path},
                                            mtInformation, {}, 0);
    QCOMPARE(result, mrOk);
    QCOMPARE(caption, QStringLiteral("Informação"));
    QCOMPARE(text, QStringLiteral("Módulo não instalado.\r\n") + path);
    QCOMPARE(buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(cancel, QStringLiteral("OK"));
    QVERIFY(centred);
}

void MessageFormTest::formatErrorBeforeAnyDialog() {
    int shown = 0;
    ScopedModalHook hook([&](TMessageForm&) {
        ++shown;
        return mrOk;
    });
    QVERIFY_THROWS_EXCEPTION(platform::EConvertError,
                             ShowMessageDialogFmt(QStringLiteral("Módulo não instalado.\r\n%s"), {},
                                                  mtInformation, {}, 0));
    QVERIFY_THROWS_EXCEPTION(platform::EConvertError,
                             ShowMessageDialogFmt(QStringLiteral("%s"), {3}, mtInformation, {}, 0));
    QCOMPARE(shown, 0);
    QCOMPARE(countMessageForms(), 0);
}

void MessageFormTest::dragging_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("moves");
    QTest::newRow("free area") << QStringLiteral("form") << true;
    QTest::newRow("title line") << QStringLiteral("title") << true;
    QTest::newRow("message text") << QStringLiteral("memo") << false;
    QTest::newRow("button") << QStringLiteral("button") << false;
}

void MessageFormTest::dragging() {
    QFETCH(QString, target);
    QFETCH(bool, moves);
    QPoint before, after;
    RunWithDialog(
        [] { return ShowMessageDialog(QStringLiteral("Arraste"), mtWarning, {}, 0, 100, 100, {}); },
        [&](TMessageForm& form) {
            QWidget* widget = &form;
            QPoint local(1, 1); // the border belongs to the form itself
            if (target == QStringLiteral("title")) {
                widget = form.Title;
                local = QPoint(3, form.Title->height() / 2);
            } else if (target == QStringLiteral("memo")) {
                widget = form.Message->viewport();
                local = QPoint(5, 5);
            } else if (target == QStringLiteral("button")) {
                widget = form.FindButton(mbOK);
                local = QPoint(5, 5);
            }
            before = form.pos();
            const QPoint start = widget->mapToGlobal(local);
            const QPoint delta(30, 40);
            sendMouse(widget, QEvent::MouseButtonPress, local, start);
            sendMouse(widget, QEvent::MouseMove, local + delta, start + delta);
            sendMouse(widget, QEvent::MouseButtonRelease, local + delta, start + delta);
            after = form.pos();
            form.done(mrOk);
        });
    QCOMPARE(after - before, moves ? QPoint(30, 40) : QPoint(0, 0));
}

void MessageFormTest::memoKeepsLineBreaksAsCrLf_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("CR LF") << QStringLiteral("a\r\nb") << QStringLiteral("a\r\nb");
    QTest::newRow("LF") << QStringLiteral("a\nb") << QStringLiteral("a\r\nb");
    QTest::newRow("CR") << QStringLiteral("a\rb") << QStringLiteral("a\r\nb");
    QTest::newRow("mixed, empty line")
        << QStringLiteral("a\n\r\nb") << QStringLiteral("a\r\n\r\nb");
    QTest::newRow("empty") << QString() << QString();
}

void MessageFormTest::memoKeepsLineBreaksAsCrLf() {
    QFETCH(QString, input);
    QFETCH(QString, expected);
    TTransparentMemo memo;
    memo.SetText(input);
    QCOMPARE(memo.Text(), expected);
    memo.RefreshBeneath(); // without a parent: nothing to repaint, and no harm
}

QTEST_MAIN(MessageFormTest)
#include "tst_message_form.moc"
