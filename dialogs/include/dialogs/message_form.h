#pragma once

#include "dialogs/message_types.h"

#include <QDialog>
#include <QPoint>
#include <QPushButton>
#include <QString>

#include <memory>

class QLabel;

namespace dialogs {

class TTransparentMemo;

// A push button with a stock glyph and a modal result. Pressing it ends its
// dialog with that result unless the result is 0.
class TBitBtn : public QPushButton {
    Q_OBJECT
public:
    explicit TBitBtn(QWidget* AOwner = nullptr);

    void SetKind(TBitBtnKind kind);
    TBitBtnKind Kind() const { return m_kind; }
    void SetModalResult(int result) { m_modalResult = result; }
    int ModalResult() const { return m_modalResult; }
    void SetCancel(bool cancel) { m_cancel = cancel; }
    bool Cancel() const { return m_cancel; }

private:
    void endDialogWithResult();

    TBitBtnKind m_kind = bkCustom;
    int m_modalResult = 0;
    bool m_cancel = false;
};

// The frameless message window. BuildMessageForm fills it; ShowMessageForm shows
// and frees it. The window system draws its usual drop shadow (the shadow hint is
// left on); a frameless top-level has no portable way to ask for more.
class TMessageForm : public QDialog {
    Q_OBJECT
public:
    // The border that insets the client area on every side.
    static constexpr int BorderWidth = 2;

    // The bare form: frameless, 2-pixel border, the dialog font, dragged by its
    // free area. Dummy has no meaning here and is ignored.
    static std::unique_ptr<TMessageForm> CreateNew(QWidget* AOwner, int Dummy);

    TTransparentMemo* Message = nullptr;
    QLabel* Title = nullptr;
    QWidget* ButtonPanel = nullptr;
    TMsgDlgType DlgType = mtCustom;

    int HelpContext() const { return m_helpContext; }
    void SetHelpContext(int context) { m_helpContext = context; }
    QString HelpFile() const { return m_helpFile; }
    void SetHelpFile(const QString& file) { m_helpFile = file; }

    // When set, the form centres itself on its screen as it is shown.
    void SetCentredOnShow(bool centred) { m_centredOnShow = centred; }
    bool CentredOnShow() const { return m_centredOnShow; }

    // The area inside the border, in form coordinates.
    QRect ClientRect() const;

    // The button of a given index, if the dialog shows it.
    TBitBtn* FindButton(TMsgDlgBtn button) const;
    // The buttons in creation (index) order.
    QList<TBitBtn*> Buttons() const;
    // The button Escape presses, if any is shown.
    TBitBtn* CancelButton() const;

    // The plain-text report copied by Ctrl+C: caption, message and button captions
    // between lines of 27 hyphens, every line ending with CR LF.
    QString ComposeClipboardText() const;

    // Makes the form see every key of its children first (the Ctrl+C report).
    void EnableKeyPreview();
    // Lets the title line drag the window like the free area does.
    void DragWith(QWidget* handle);

public slots:
    // A close by the window system ends with the platform's "closed" result.
    void reject() override;
    // Help button: the help topic of the form's context; the dialog stays open.
    void ShowHelpTopic();

signals:
    // There is no help system: whoever wants to show help listens here.
    void helpTopicRequested(int helpContext, const QString& helpFile);

protected:
    explicit TMessageForm(QWidget* AOwner);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void HandleCopyShortcut(const QKeyEvent& event);
    static void CopyTextToClipboard(const QString& text);
    void BeginWindowDrag(const QPoint& globalPos);
    bool continueManualDrag(const QPoint& globalPos);
    bool endManualDrag();

    int m_helpContext = 0;
    QString m_helpFile;
    bool m_centredOnShow = false;
    bool m_manualDrag = false;
    QPoint m_dragOffset;
};

} // namespace dialogs
