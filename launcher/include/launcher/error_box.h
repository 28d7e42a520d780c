#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace launcher {

// The standard error box: modal, error icon, one OK button. Errors that nothing
// else handles in a window event end up here.
void showStandardErrorBox(QWidget* parent, const QString& title, const QString& text);

// Replaces what showStandardErrorBox does (tests record the call instead of
// blocking on a modal box). An empty handler restores the real box. Returns the
// previous handler.
using ErrorBoxHandler = std::function<void(QWidget*, const QString&, const QString&)>;
ErrorBoxHandler setErrorBoxHandler(ErrorBoxHandler handler);

} // namespace launcher
