#pragma once

#include "platform/datetime.h"

#include <QString>

namespace fileserver {

// Reads an ISO 8601 date-time ("2022-06-23T20:50:25.123", the compact forms, an
// optional "Z" or +hh:mm / -hh:mm zone) into a TDateTime. A zone offset is
// removed, which gives UTC; the value is never moved to the local zone. The
// fraction of a second is cut to the millisecond.
// Throws platform::EConvertError where digits belong and something else stands,
// platform::EDateTimeException for any other malformed or out-of-range text.
platform::TDateTime isoToDateTime(const QString& text);

// Writes a TDateTime as "yyyy-MM-ddTHH:mm:ss.zzz", with no zone designator: the
// form the file server uses for local file ages.
QString dateTimeToIso(platform::TDateTime value);

} // namespace fileserver
