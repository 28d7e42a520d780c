#include "platform/trace.h"

Q_LOGGING_CATEGORY(lcQuorviaTrace, "quorvia.trace")

namespace platform {

void traceLine(const QString& line) {
    qCDebug(lcQuorviaTrace).noquote() << line;
}

} // namespace platform
