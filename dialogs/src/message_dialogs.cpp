#include "dialogs/message_dialogs.h"

#include "dialogs/format_text.h"
#include "dialogs/message_builder.h"

#include <platform/errors.h>

#include <QApplication>
#include <QWindow>

#include <utility>

namespace dialogs {

namespace {

ModalHook& currentHook() {
    static ModalHook hook;
    return hook;
}

// The dialog stays above the window that is active when it opens.
void keepAboveActiveWindow(TMessageForm& form) {
    QWidget* active = QApplication::activeWindow();
    if (active == nullptr || active == &form)
        return;
    form.winId();
    if (QWindow* own = form.windowHandle(); own != nullptr)
        own->setTransientParent(active->windowHandle());
}

} // namespace

ModalHook SetModalHook(ModalHook hook) {
    return std::exchange(currentHook(), std::move(hook));
}

ScopedModalHook::ScopedModalHook(ModalHook hook) : m_previous(SetModalHook(std::move(hook))) {}

ScopedModalHook::~ScopedModalHook() {
    SetModalHook(std::move(m_previous));
}

int ShowMessageForm(std::unique_ptr<TMessageForm> Form, int HelpContext, int X, int Y,
                    const QString& HelpFile) {
    if (!Form)
        throw platform::EArgumentException(QStringLiteral("No message form to show"));
    Form->SetHelpContext(HelpContext);
    Form->SetHelpFile(HelpFile);
    if (X >= 0)
        Form->move(X, Form->y());
    if (Y >= 0)
        Form->move(Form->x(), Y);
    Form->SetCentredOnShow(X < 0 && Y < 0);

    // Copied, so a hook that replaces the hook cannot pull the callable from under us.
    if (const ModalHook hook = currentHook())
        return hook(*Form);
    keepAboveActiveWindow(*Form);
    return Form->exec();
}

int ShowMessageDialog(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons,
                      int HelpContext, int X, int Y, const QString& HelpFile) {
    return ShowMessageForm(BuildMessageForm(Msg, DlgType, Buttons), HelpContext, X, Y, HelpFile);
}

int ShowMessageDialogFmt(const QString& Msg, const QList<QVariant>& Args, TMsgDlgType DlgType,
                         TMsgDlgButtons Buttons, int HelpContext) {
    const QString text = Format(Msg, Args);
    return ShowMessageDialog(text, DlgType, Buttons, HelpContext, -1, -1, QString());
}

} // namespace dialogs
