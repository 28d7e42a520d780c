#include "dialog_driver.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

namespace dialogs_test {

int RunWithDialog(const std::function<int()>& show,
                  const std::function<void(dialogs::TMessageForm&)>& action) {
    // A safety net only: enough polls for any loaded machine, after which the
    // dialog is ended with Unanswered rather than left waiting for a person.
    constexpr int maxPolls = 3000;
    int polls = 0;
    bool acted = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* form = qobject_cast<dialogs::TMessageForm*>(QApplication::activeModalWidget());
        ++polls;
        if (form != nullptr && !acted && form->isVisible() && form->isActiveWindow()) {
            acted = true;
            action(*form);
            return;
        }
        if (polls >= maxPolls && form != nullptr)
            form->done(Unanswered);
    });
    poll.start();
    const int result = show();
    poll.stop();
    return result;
}

void PressKey(dialogs::TMessageForm& form, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr || target->window() != &form)
        target = &form;
    QTest::keyClick(target, key, modifiers);
}

void CloseUnanswered(dialogs::TMessageForm& form) {
    if (form.isVisible())
        form.done(Unanswered);
}

} // namespace dialogs_test
