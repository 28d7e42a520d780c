#pragma once

#include <QString>

// How users reach the vendor; shown in the panel's hints and used for the
// support e-mail.
namespace launcher::contacts {

inline QString supportEmail() {
    return QStringLiteral("suporte@quorvia.com.br");
}
inline QString salesEmail() {
    return QStringLiteral("comercial@quorvia.com.br");
}
inline QString telephone() {
    return QStringLiteral("(11) 3456-7800");
}

} // namespace launcher::contacts
