#pragma once

#include <QPlainTextEdit>
#include <QSize>
#include <QTextOption>

class QFont;

namespace dialogs {

// How a message wraps, for the memo that shows it and for the dialog that is sized
// to it alike: at blanks, and inside a word longer than the line (as an edit
// control does), so a long path without blanks cannot widen the dialog.
QTextOption MemoTextOption();

// The size a message takes in font when wrapped by MemoTextOption within maxWidth
// pixels: the widest line and the height of all lines. Any line break counts.
QSize MeasureMemoText(const QFont& font, const QString& text, int maxWidth);

// Read-only, word-wrapped text area that paints no background of its own, so the
// dialog's surface shows through. Because a see-through control can leave stale
// pixels when its content moves, it asks for a repaint of the parent area beneath
// it and of itself after every scroll, key press, text change and click.
//
// Mouse events stop here (a press on the text never starts a window drag); keys it
// does not use go on to the dialog (Enter, Escape), and a dialog's key preview
// (an event filter) still sees every key before this control does.
class TTransparentMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TTransparentMemo(QWidget* AOwner = nullptr);

    // Line breaks are kept as CR LF, whatever the caller used.
    void SetText(const QString& text);
    QString Text() const;

    // Repaints the parent's area beneath the control, then the control itself.
    // Does nothing without a parent.
    void RefreshBeneath();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void scheduleRefresh();
};

} // namespace dialogs
