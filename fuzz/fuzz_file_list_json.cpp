// Feeds arbitrary bytes, as a server might send them, to the file-list and
// error-body readers: they must either read them or raise one of our errors.
#include "fileserver/file_list_json.h"
#include "platform/errors.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    TFilesInfoDTO files;
    try {
        TFilesInfoDTOHelper::FromJSON(files, text);
        for (const auto& item : files)
            if (!item)
                __builtin_trap(); // a successful read leaves no empty entry
    } catch (const platform::Exception&) {
    }
    TFilesInfoDTOHelper::FreeItems(files);
    if (!files.empty())
        __builtin_trap();

    try {
        const auto record = fileserver::fileInfoErrorFromJSONObject(text);
        // What the server writes back out reads back the same.
        const auto again = fileserver::fileInfoErrorFromJSONObject(
            QString::fromUtf8(fileserver::fileInfoErrorToJSON(*record)));
        if (again->Status() != record->Status() || again->Error() != record->Error() ||
            again->Detail() != record->Detail())
            __builtin_trap();
    } catch (const platform::Exception&) {
    }
    return 0;
}
