#pragma once

#include "launcher/error_box.h"
#include "test_files.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QTest>

namespace launcher_test {

struct ErrorBoxCall {
    QString title;
    QString text;
};

// Records error boxes instead of showing them, for the life of one test.
class ErrorBoxRecorder {
public:
    ErrorBoxRecorder() {
        m_previous = launcher::setErrorBoxHandler(
            [this](QWidget*, const QString& title, const QString& text) {
                calls.push_back({title, text});
            });
    }
    ~ErrorBoxRecorder() { launcher::setErrorBoxHandler(m_previous); }
    ErrorBoxRecorder(const ErrorBoxRecorder&) = delete;
    ErrorBoxRecorder& operator=(const ErrorBoxRecorder&) = delete;

    QList<ErrorBoxCall> calls;

private:
    launcher::ErrorBoxHandler m_previous;
};

using test_files::writeFile;

} // namespace launcher_test
