#pragma once

#include <QList>
#include <QString>
#include <QVariant>

namespace dialogs {

// Fills a format string the classic way: "%" [index ":"] ["-"] [width] ["." precision]
// type, with the types s (a string), d, u and x (integers) and "%%" for a percent
// sign. Width and precision may be "*" (taken from the next argument).
// Throws platform::EConvertError when the format does not match its arguments
// (a missing argument, a value of the wrong type, an unknown type letter).
// Arguments left over are ignored.
QString Format(const QString& format, const QList<QVariant>& args);

} // namespace dialogs
