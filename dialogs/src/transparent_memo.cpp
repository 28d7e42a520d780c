#include "dialogs/transparent_memo.h"

#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QScrollBar>

namespace dialogs {

TTransparentMemo::TTransparentMemo(QWidget* AOwner) : QPlainTextEdit(AOwner) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    // Nothing behind the text is filled: neither the scroll area nor its viewport.
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    setPalette(pal);
    document()->setDocumentMargin(2);

    // Moving content of a see-through control needs its background redrawn.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
            &TTransparentMemo::scheduleRefresh);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this,
            &TTransparentMemo::scheduleRefresh);
    connect(this, &QPlainTextEdit::textChanged, this, &TTransparentMemo::scheduleRefresh);
}

void TTransparentMemo::SetText(const QString& text) {
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setPlainText(normalised);
}

QString TTransparentMemo::Text() const {
    QString text = toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

void TTransparentMemo::RefreshBeneath() {
    QWidget* parent = parentWidget();
    if (parent == nullptr)
        return;
    parent->update(geometry());
    viewport()->update();
    update();
}

void TTransparentMemo::scheduleRefresh() {
    // Queued, so it runs after the control shows its new content; a control gone
    // by then simply gets nothing.
    QMetaObject::invokeMethod(this, &TTransparentMemo::RefreshBeneath, Qt::QueuedConnection);
}

void TTransparentMemo::keyPressEvent(QKeyEvent* event) {
    RefreshBeneath();
    QPlainTextEdit::keyPressEvent(event);
    scheduleRefresh();
}

void TTransparentMemo::mousePressEvent(QMouseEvent* event) {
    QPlainTextEdit::mousePressEvent(event);
    scheduleRefresh();
    event->accept();
}

void TTransparentMemo::mouseReleaseEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseReleaseEvent(event);
    event->accept();
}

void TTransparentMemo::mouseDoubleClickEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseDoubleClickEvent(event);
    event->accept();
}

void TTransparentMemo::mouseMoveEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseMoveEvent(event);
    event->accept();
}

} // namespace dialogs
