#pragma once

#include "dialogs/message_form.h"
#include "dialogs/message_types.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

namespace dialogs {

// Places a built form (X >= 0 sets its left edge, Y >= 0 its top edge, both
// negative centre it on the screen as it is shown), stores the help context and
// file on it, shows it modally and returns the pressed button's modal result
// (2 when the window system closed it). The form is freed in every case, also
// when showing it throws.
int ShowMessageForm(std::unique_ptr<TMessageForm> Form, int HelpContext, int X, int Y,
                    const QString& HelpFile);

// Builds and shows a dialog; see BuildMessageForm for the buttons and default.
int ShowMessageDialog(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons,
                      int HelpContext, int X, int Y, const QString& HelpFile);

// Formats Msg with Args (see Format) and shows the text centred, without help file.
// A format that does not match its arguments throws platform::EConvertError before
// any dialog is built.
int ShowMessageDialogFmt(const QString& Msg, const QList<QVariant>& Args, TMsgDlgType DlgType,
                         TMsgDlgButtons Buttons, int HelpContext);

// Test seam. While a hook is installed, ShowMessageForm calls it with the fully
// built and placed (but hidden) form instead of running the modal loop, and
// returns what it returns. The hook may inspect the form (windowTitle(), Message,
// Buttons(), FindButton(), CancelButton(), pos()), answer with a number, run
// form.exec() itself after arranging key events, or throw (the form is still
// freed). Main thread only; one hook at a time.
using ModalHook = std::function<int(TMessageForm&)>;

// Installs a hook (an empty one removes it) and returns the previous one.
ModalHook SetModalHook(ModalHook hook);

// Installs a hook for the lifetime of the guard and puts back the previous one.
class ScopedModalHook {
public:
    explicit ScopedModalHook(ModalHook hook);
    ~ScopedModalHook();
    ScopedModalHook(const ScopedModalHook&) = delete;
    ScopedModalHook& operator=(const ScopedModalHook&) = delete;

private:
    ModalHook m_previous;
};

} // namespace dialogs
