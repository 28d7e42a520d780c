// Arbitrary text through the ISO 8601 reader: it reads it or raises one of our
// errors, and a value it reads survives the writer and the reader unchanged.
#include "fileserver/iso_date_time.h"
#include "platform/errors.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    platform::TDateTime value = 0.0;
    try {
        value = fileserver::isoToDateTime(text);
    } catch (const platform::Exception&) {
        return 0;
    }
    const QString written = fileserver::dateTimeToIso(value);
    if (fileserver::isoToDateTime(written) != value)
        __builtin_trap();
    return 0;
}
