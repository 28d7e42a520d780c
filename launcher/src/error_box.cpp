#include "launcher/error_box.h"

#include <QMessageBox>

#include <utility>

namespace launcher {

namespace {
ErrorBoxHandler& currentHandler() {
    static ErrorBoxHandler handler;
    return handler;
}
} // namespace

void showStandardErrorBox(QWidget* parent, const QString& title, const QString& text) {
    if (const ErrorBoxHandler& handler = currentHandler()) {
        handler(parent, title, text);
        return;
    }
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

ErrorBoxHandler setErrorBoxHandler(ErrorBoxHandler handler) {
    return std::exchange(currentHandler(), std::move(handler));
}

} // namespace launcher
