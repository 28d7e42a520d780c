#pragma once

#include <dialogs/message_form.h>

#include <Qt>

#include <functional>

namespace dialogs_test {

// Result of a dialog nobody answered; the driver closes such a dialog with it so
// that a broken test fails instead of waiting for a person.
inline constexpr int Unanswered = -999;

// Calls `show`, which opens a modal message dialog, and once that dialog is shown
// and active runs `action` on it from inside its modal loop (as a user would act).
// Returns what `show` returned.
int RunWithDialog(const std::function<int()>& show,
                  const std::function<void(dialogs::TMessageForm&)>& action);

// Presses a key the way the keyboard would: on the widget that has the focus.
void PressKey(dialogs::TMessageForm& form, Qt::Key key,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier);

// Ends a dialog that an action left open, so the test can go on.
void CloseUnanswered(dialogs::TMessageForm& form);

} // namespace dialogs_test
