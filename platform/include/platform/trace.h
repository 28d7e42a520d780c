#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcQuorviaTrace)

namespace platform {

// The debug-output channel: one line, to standard error through the
// "quorvia.trace" logging category (enable or silence it with QT_LOGGING_RULES).
void traceLine(const QString& line);

} // namespace platform
