#pragma once

#include <QString>

#include <stdexcept>

namespace platform {

// Errors travel as exceptions carrying the user-facing message. The class tells
// what kind of failure it was, for the few callers that care. The detail, when
// given, names the file or folder and the system's reason for an administrator;
// the message users see stays as it is.
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message, const QString& detail = QString())
        : std::runtime_error(message.toStdString()), m_message(message), m_detail(detail) {}
    const QString& message() const noexcept { return m_message; }
    const QString& detail() const noexcept { return m_detail; }

private:
    QString m_message;
    QString m_detail;
};

#define QUORVIA_DECLARE_EXCEPTION(Name, Base)                                                      \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    };

QUORVIA_DECLARE_EXCEPTION(EInOutError, Exception)
QUORVIA_DECLARE_EXCEPTION(EArgumentException, Exception)
QUORVIA_DECLARE_EXCEPTION(EDirectoryNotFoundException, Exception)
QUORVIA_DECLARE_EXCEPTION(EFileNotFoundException, Exception)
QUORVIA_DECLARE_EXCEPTION(EPathTooLongException, Exception)
QUORVIA_DECLARE_EXCEPTION(ENotSupportedException, Exception)
QUORVIA_DECLARE_EXCEPTION(EConversionError, Exception)
QUORVIA_DECLARE_EXCEPTION(EInvalidCast, Exception)
QUORVIA_DECLARE_EXCEPTION(EDateTimeException, Exception)
QUORVIA_DECLARE_EXCEPTION(EConvertError, Exception)
QUORVIA_DECLARE_EXCEPTION(EListError, Exception)

// Messages shared by several layers, spelled once.
namespace messages {
inline QString pathNotFound() {
    return QStringLiteral("The specified path was not found");
}
inline QString fileAlreadyExists() {
    return QStringLiteral("The specified file already exists");
}
inline QString invalidPathChars() {
    return QStringLiteral("Invalid characters in path");
}
inline QString fileNotFound() {
    return QStringLiteral("File not found");
}
inline QString pathTooLong() {
    return QStringLiteral("The specified path is too long");
}
inline QString pathFormatNotSupported() {
    return QStringLiteral("The path format is not supported");
}
inline QString duplicatesNotAllowed() {
    return QStringLiteral("Duplicates not allowed");
}
} // namespace messages

// The message of any error: ours carry it as text, others as their what().
QString errorMessage(const std::exception& error);

// The message followed by the detail in brackets, when there is one: what the
// command-line tools print.
QString errorReport(const std::exception& error);

// "path: reason", the reason being the system's own text (strerror).
QString pathDetail(const QString& path, int errorNumber);

// The operating system's text for an errno value, worded as the Windows messages
// users of this program know for the common cases (missing, denied, in use).
QString systemErrorMessage(int errorNumber);

} // namespace platform
