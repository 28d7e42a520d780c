#include "dialogs/transparent_memo.h"

#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextLayout>

#include <QtMath>

#include <algorithm>

namespace dialogs {

namespace {

QString withNewlines(const QString& text) {
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return normalised;
}

} // namespace

QTextOption MemoTextOption() {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

QSize MeasureMemoText(const QFont& font, const QString& text, int maxWidth) {
    const QTextOption option = MemoTextOption();
    qreal width = 0;
    qreal height = 0;
    for (const QString& paragraph : withNewlines(text).split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(maxWidth);
            width = std::max(width, line.naturalTextWidth());
            height += line.height();
        }
        layout.endLayout();
    }
    return QSize(qCeil(width), qCeil(height));
}

TTransparentMemo::TTransparentMemo(QWidget* AOwner) : QPlainTextEdit(AOwner) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    const QTextOption wrapping = MemoTextOption();
    setWordWrapMode(wrapping.wrapMode());
    setTabStopDistance(wrapping.tabStopDistance());
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
    setPlainText(withNewlines(text));
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
