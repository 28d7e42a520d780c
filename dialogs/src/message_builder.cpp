#include "dialogs/message_builder.h"

#include "dialogs/message_layout.h"
#include "dialogs/transparent_memo.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QScreen>
#include <QStyle>

namespace dialogs {

std::array<int, ButtonCount> CaptionWidthCache{};

namespace {

const QColor FormColor(245, 245, 245);
constexpr int FormOpacity = 245;
constexpr int TitlePointSize = 12;

QSize screenSize() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry().size() : QSize(1024, 768);
}

void fillCaptionWidths(const QFontMetrics& metrics, TMsgDlgButtons buttons) {
    for (int i = 0; i < ButtonCount; ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (!buttons.contains(i) || CaptionWidthCache[index] != 0)
            continue;
        // The access-key "&" is not drawn, so it does not count.
        const QRect r = metrics.boundingRect(QRect(), Qt::TextSingleLine | Qt::TextShowMnemonic,
                                             ButtonCaptionTexts[index].toString());
        CaptionWidthCache[index] = r.width() + 8;
    }
}

QString captionFor(TMsgDlgType type) {
    if (type == mtCustom || type >= DialogTypeCount)
        return QCoreApplication::applicationName();
    return DialogTitleTexts[type].toString();
}

} // namespace

std::unique_ptr<TMessageForm> BuildMessageForm(const QString& Msg, TMsgDlgType DlgType,
                                               TMsgDlgButtons Buttons, TMsgDlgBtn DefaultButton) {
    const TMsgDlgButtons shown = EffectiveButtons(DlgType, Buttons);

    std::unique_ptr<TMessageForm> form = TMessageForm::CreateNew(nullptr, 0);
    form->DlgType = DlgType;
    form->setWindowOpacity(FormOpacity / 255.0);
    QPalette formPalette = form->palette();
    formPalette.setColor(QPalette::Window, FormColor);
    form->setPalette(formPalette);
    form->setAutoFillBackground(true);
    form->setLayoutDirection(QGuiApplication::layoutDirection());

    const QFontMetrics metrics(form->font());
    fillCaptionWidths(metrics, shown);

    const QSize screen = screenSize();
    // Wrapped as the memo will wrap it, so the text never needs more than half the screen.
    const QSize textSize = MeasureMemoText(form->font(), Msg, screen.width() / 2);

    // A plain pointer into the constant table: the optional copy upset the
    // optimiser's uninitialised-value analysis.
    const std::optional<QStyle::StandardPixmap>* icon =
        DlgType < DialogTypeCount && DialogIconIds[DlgType] ? &DialogIconIds[DlgType] : nullptr;

    MessageLayoutInput input;
    input.averageCharSize = MeasureAverageCharSize(metrics);
    input.captionWidths = CaptionWidthCache;
    input.buttons = shown;
    input.textSize = textSize;
    input.screenSize = screen;
    input.frameSize = QSize(2 * TMessageForm::BorderWidth, 2 * TMessageForm::BorderWidth);
    input.hasIcon = icon != nullptr;
    input.titleFontPointSize = TitlePointSize;
    const MessageLayout layout = ComputeMessageLayout(input);

    // Child positions below are client coordinates, shifted past the border.
    const QPoint client(TMessageForm::BorderWidth, TMessageForm::BorderWidth);
    const QString caption = captionFor(DlgType);
    form->setWindowTitle(caption);

    if (icon) {
        auto* image = new QLabel(form.get());
        image->setObjectName(QStringLiteral("Image"));
        image->setPixmap(form->style()->standardIcon(**icon, nullptr, form.get()).pixmap(32, 32));
        image->setGeometry(layout.iconRect.translated(client));
    }

    auto* title = new QLabel(form.get());
    QFont titleFont(QStringLiteral("Segoe UI Black"), TitlePointSize);
    titleFont.setWeight(QFont::Black); // a heavy face even where that family is missing
    title->setFont(titleFont);
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, Qt::black);
    title->setPalette(titlePalette);
    title->setAutoFillBackground(false);
    title->setText(caption);
    title->setTextFormat(Qt::PlainText);
    title->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    title->setGeometry(client.x(), client.y() + layout.titleTop, layout.clientSize.width(),
                       QFontMetrics(titleFont).height());
    form->Title = title;
    form->DragWith(title);

    auto* memo = new TTransparentMemo(form.get());
    memo->setObjectName(QStringLiteral("Message"));
    QFont memoFont = form->font();
    memo->setFont(memoFont);
    QPalette memoPalette = memo->palette();
    memoPalette.setColor(QPalette::Text, Qt::black);
    memoPalette.setColor(QPalette::Window, FormColor);
    memo->setPalette(memoPalette);
    memo->SetText(Msg);
    memo->setVerticalScrollBarPolicy(layout.needsScrollBar ? Qt::ScrollBarAlwaysOn
                                                           : Qt::ScrollBarAlwaysOff);
    memo->setGeometry(layout.memoRect.translated(client));
    form->Message = memo;

    form->setFixedSize(layout.clientSize + input.frameSize);
    form->move(layout.position);

    const TMsgDlgBtn cancelButton = CancelButtonFor(shown);
    const TMsgDlgBtn defaultButton = ResolveDefaultButton(shown, DefaultButton);

    auto* panel = new QWidget(form.get());
    panel->setAutoFillBackground(true);
    QPalette panelPalette = panel->palette();
    panelPalette.setColor(QPalette::Window, ColorWithLuminance(FormColor, 200));
    panel->setPalette(panelPalette);
    panel->setGeometry(layout.panelRect.translated(client));
    form->ButtonPanel = panel;

    const QFont buttonFont(QStringLiteral("Segoe UI"), 10);
    qsizetype shownIndex = 0;
    for (int i = 0; i < ButtonCount; ++i) {
        if (!shown.contains(i))
            continue;
        const auto index = static_cast<std::size_t>(i);
        auto* button = new TBitBtn(panel);
        button->setObjectName(ButtonComponentNames[index].toString());
        button->SetKind(ButtonGlyphKinds[index]);
        // A button whose kind brings no picture still gets one of the same set.
        if (ButtonGlyphKinds[index] == bkCustom)
            button->setIcon(QIcon(ButtonGlyphResource(static_cast<TMsgDlgBtn>(i))));
        button->setText(ButtonCaptionTexts[index].toString());
        button->setFont(buttonFont);
        button->SetModalResult(ButtonResults[index]);
        if (i == defaultButton) {
            button->setDefault(true);
            button->setFocus(Qt::OtherFocusReason);
        }
        if (i == cancelButton)
            button->SetCancel(true);
        button->setGeometry(layout.buttonRects.at(shownIndex++));
        if (i == mbHelp)
            QObject::connect(button, &QAbstractButton::clicked, form.get(),
                             &TMessageForm::ShowHelpTopic);
    }

    form->EnableKeyPreview();
    return form;
}

std::unique_ptr<TMessageForm> BuildMessageForm(const QString& Msg, TMsgDlgType DlgType,
                                               TMsgDlgButtons Buttons) {
    return BuildMessageForm(Msg, DlgType, Buttons, RequestedDefaultButton(Buttons));
}

} // namespace dialogs
