#include "platform/errors.h"

#include <cerrno>
#include <cstring>

namespace platform {

QString errorMessage(const std::exception& error) {
    if (const auto* ours = dynamic_cast<const Exception*>(&error))
        return ours->message();
    return QString::fromLocal8Bit(error.what());
}

QString errorReport(const std::exception& error) {
    const auto* ours = dynamic_cast<const Exception*>(&error);
    if (!ours || ours->detail().isEmpty())
        return errorMessage(error);
    return ours->message() + QStringLiteral(" (") + ours->detail() + u')';
}

QString pathDetail(const QString& path, int errorNumber) {
    return path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errorNumber));
}

QString systemErrorMessage(int errorNumber) {
    switch (errorNumber) {
    case ENOENT:
        return QStringLiteral("The system cannot find the file specified");
    case EACCES:
    case EPERM:
    case EROFS:
        return QStringLiteral("Access is denied");
    case EBUSY:
    case ETXTBSY:
        return QStringLiteral(
            "The process cannot access the file because it is being used by another process");
    case ENOSPC:
        return QStringLiteral("There is not enough space on the disk");
    default:
        return QString::fromLocal8Bit(std::strerror(errorNumber));
    }
}

} // namespace platform
