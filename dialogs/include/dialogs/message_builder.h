#pragma once

#include "dialogs/message_form.h"
#include "dialogs/message_types.h"

#include <QString>

#include <array>
#include <memory>

namespace dialogs {

// Caption width plus 8 per button index, measured once per process in the dialog
// font; 0 means not measured yet. Main thread only.
extern std::array<int, ButtonCount> CaptionWidthCache;

// Builds a complete, laid-out, hidden dialog centred on the primary screen.
// A DefaultButton that is not shown gives way to the first shown button.
std::unique_ptr<TMessageForm> BuildMessageForm(const QString& Msg, TMsgDlgType DlgType,
                                               TMsgDlgButtons Buttons, TMsgDlgBtn DefaultButton);

// The same with the default picked from the buttons asked for: OK, else Yes,
// else Retry.
std::unique_ptr<TMessageForm> BuildMessageForm(const QString& Msg, TMsgDlgType DlgType,
                                               TMsgDlgButtons Buttons);

} // namespace dialogs
