#include "dialogs/message_form.h"

#include "dialogs/transparent_memo.h"

#include <platform/errors.h>

#include <QApplication>
#include <QClipboard>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QWindow>
#include <QtDebug>

// Resources of a static library must be registered by hand; outside any namespace.
static void initDialogGlyphs() {
    static bool registered = false;
    if (!registered) {
        Q_INIT_RESOURCE(dialog_glyphs);
        registered = true;
    }
}

namespace dialogs {

namespace {
QString glyphPath(QStringView name) {
    initDialogGlyphs();
    return QStringLiteral(":/dialogs/glyphs/%1.png").arg(name);
}
} // namespace

QString GlyphResourceFor(TBitBtnKind kind) {
    switch (kind) {
    case bkOK:
        return glyphPath(u"ok");
    case bkCancel:
        return glyphPath(u"cancel");
    case bkHelp:
        return glyphPath(u"help");
    case bkYes:
        return glyphPath(u"yes");
    case bkNo:
        return glyphPath(u"no");
    case bkClose:
        return glyphPath(u"close");
    case bkAbort:
        return glyphPath(u"abort");
    case bkRetry:
        return glyphPath(u"retry");
    case bkIgnore:
        return glyphPath(u"ignore");
    case bkAll:
        return glyphPath(u"all");
    case bkCustom:
        break;
    }
    return QString();
}

QString ButtonGlyphResource(TMsgDlgBtn button) {
    switch (button) {
    case mbNoToAll:
        return glyphPath(u"no-to-all");
    case mbYesToAll:
        return glyphPath(u"yes-to-all");
    case mbClose:
        return GlyphResourceFor(bkClose);
    default:
        break;
    }
    return button < ButtonCount ? GlyphResourceFor(ButtonGlyphKinds[button]) : QString();
}

// --- TBitBtn ---------------------------------------------------------------

TBitBtn::TBitBtn(QWidget* AOwner) : QPushButton(AOwner) {
    connect(this, &QAbstractButton::clicked, this, &TBitBtn::endDialogWithResult);
}

void TBitBtn::SetKind(TBitBtnKind kind) {
    m_kind = kind;
    const QString glyph = GlyphResourceFor(kind);
    setIcon(glyph.isEmpty() ? QIcon() : QIcon(glyph));
    // A cancel glyph makes a cancel button; the default role is given by the
    // builder alone, since a dialog has exactly one default button here.
    if (kind == bkCancel)
        m_cancel = true;
}

void TBitBtn::endDialogWithResult() {
    if (m_modalResult == 0)
        return;
    if (auto* dialog = qobject_cast<QDialog*>(window()))
        dialog->done(m_modalResult);
}

// --- TMessageForm ----------------------------------------------------------

TMessageForm::TMessageForm(QWidget* AOwner)
    : QDialog(AOwner, Qt::Dialog | Qt::FramelessWindowHint) {
    setContentsMargins(BorderWidth, BorderWidth, BorderWidth, BorderWidth);
    setFont(QFont(QStringLiteral("Segoe UI"), 12));
    setSizeGripEnabled(false);
}

std::unique_ptr<TMessageForm> TMessageForm::CreateNew(QWidget* AOwner, int Dummy) {
    Q_UNUSED(Dummy);
    return std::unique_ptr<TMessageForm>(new TMessageForm(AOwner));
}

QRect TMessageForm::ClientRect() const {
    return contentsRect();
}

QList<TBitBtn*> TMessageForm::Buttons() const {
    if (ButtonPanel == nullptr)
        return {};
    return ButtonPanel->findChildren<TBitBtn*>(QString(), Qt::FindDirectChildrenOnly);
}

TBitBtn* TMessageForm::FindButton(TMsgDlgBtn button) const {
    if (ButtonPanel == nullptr || button >= ButtonCount)
        return nullptr;
    return ButtonPanel->findChild<TBitBtn*>(ButtonComponentNames[button].toString(),
                                            Qt::FindDirectChildrenOnly);
}

TBitBtn* TMessageForm::CancelButton() const {
    for (TBitBtn* b : Buttons())
        if (b->Cancel())
            return b;
    return nullptr;
}

QString TMessageForm::ComposeClipboardText() const {
    const QString crlf = QStringLiteral("\r\n");
    const QString divider = QString(27, QLatin1Char('-')) + crlf;
    QString captions;
    for (const TBitBtn* b : Buttons())
        captions += b->text() + QStringLiteral("   ");
    captions.remove(QLatin1Char('&'));
    const QString memoText = Message != nullptr ? Message->Text() : QString();
    return divider + windowTitle() + crlf + divider + memoText + crlf + divider + captions + crlf +
           divider;
}

void TMessageForm::CopyTextToClipboard(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr)
        throw platform::EInOutError(
            QStringLiteral("Não foi possível abrir a área de transferência"));
    clipboard->setText(text, QClipboard::Clipboard);
}

void TMessageForm::HandleCopyShortcut(const QKeyEvent& event) {
    if (event.key() != Qt::Key_C || event.modifiers() != Qt::ControlModifier ||
        QGuiApplication::mouseButtons() != Qt::NoButton)
        return;
    QApplication::beep();
    try {
        CopyTextToClipboard(ComposeClipboardText());
    } catch (const platform::Exception& e) {
        // An exception must not cross the event loop; the dialog stays open.
        qWarning().noquote() << e.message();
    }
}

void TMessageForm::EnableKeyPreview() {
    for (QWidget* child : findChildren<QWidget*>()) {
        if (child->focusPolicy() == Qt::NoFocus)
            continue;
        child->installEventFilter(this);
        child->setProperty("quorviaKeyPreview", true);
    }
}

void TMessageForm::DragWith(QWidget* handle) {
    handle->installEventFilter(this);
}

bool TMessageForm::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
        // Only where the key starts: a key the control ignores travels on through
        // its parents, and must not be reported twice.
        if (watched == focusWidget() && watched->property("quorviaKeyPreview").toBool())
            HandleCopyShortcut(*static_cast<QKeyEvent*>(event));
        break; // the key goes on to the control either way
    case QEvent::MouseButtonPress:
        if (watched == Title) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                BeginWindowDrag(mouse->globalPosition().toPoint());
                return true;
            }
        }
        break;
    case QEvent::MouseMove:
        if (watched == Title && m_manualDrag)
            return continueManualDrag(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        break;
    case QEvent::MouseButtonRelease:
        if (watched == Title && m_manualDrag)
            return endManualDrag();
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
    // Keys a previewed control did not use arrive here a second time; copy once.
    // The form itself, or a control added after the preview was set up, is not
    // previewed, so its keys are handled here.
    QWidget* focus = focusWidget();
    if (focus == nullptr || focus == this || !focus->property("quorviaKeyPreview").toBool())
        HandleCopyShortcut(*event);

    if (event->matches(QKeySequence::Cancel)) {
        if (TBitBtn* cancel = CancelButton())
            cancel->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMessageForm::reject() {
    done(mrCancel);
}

void TMessageForm::ShowHelpTopic() {
    emit helpTopicRequested(m_helpContext, m_helpFile);
}

void TMessageForm::BeginWindowDrag(const QPoint& globalPos) {
    if (QWidget* grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    if (QWindow* window = windowHandle(); window != nullptr && window->startSystemMove())
        return;
    // The window system cannot move it for us: follow the mouse ourselves.
    m_manualDrag = true;
    m_dragOffset = globalPos - pos();
}

bool TMessageForm::continueManualDrag(const QPoint& globalPos) {
    if (!m_manualDrag)
        return false;
    move(globalPos - m_dragOffset);
    return true;
}

bool TMessageForm::endManualDrag() {
    const bool wasDragging = m_manualDrag;
    m_manualDrag = false;
    return wasDragging;
}

void TMessageForm::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        BeginWindowDrag(event->globalPosition().toPoint());
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void TMessageForm::mouseMoveEvent(QMouseEvent* event) {
    if (continueManualDrag(event->globalPosition().toPoint())) {
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void TMessageForm::mouseReleaseEvent(QMouseEvent* event) {
    if (endManualDrag()) {
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

void TMessageForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The title line spans the client width and the button band sits at its bottom,
    // whatever size the form gets.
    const QRect client = ClientRect();
    if (Title != nullptr)
        Title->setGeometry(client.left(), Title->y(), client.width(), Title->height());
    if (ButtonPanel != nullptr)
        ButtonPanel->setGeometry(client.left(), client.bottom() + 1 - ButtonPanel->height(),
                                 client.width(), ButtonPanel->height());
}

void TMessageForm::showEvent(QShowEvent* event) {
    if (m_centredOnShow) {
        const QScreen* target = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
        if (target != nullptr) {
            const QRect area = target->geometry();
            move(area.x() + area.width() / 2 - width() / 2,
                 area.y() + area.height() / 2 - height() / 2);
        }
    }
    QDialog::showEvent(event);
}

} // namespace dialogs
