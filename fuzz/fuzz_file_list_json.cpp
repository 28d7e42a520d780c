// Feeds arbitrary bytes, as a server might send them, to the file-list and
// error-body readers: they must either read them or raise one of our errors.
#include "fileserver/file_list_json.h"
#include "platform/errors.h"

#include <cstddef>
#include <cstdint>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    TFilesInfoDTO files;
    QString error;
    try {
        TFilesInfoDTOHelper::FromJSON(files, text);
        for (const auto& item : files)
            if (!item)
                __builtin_trap(); // a successful read leaves no empty entry
    } catch (const platform::Exception& e) {
        error = e.message();
    }
    // The same body read as a stream gives the same entries and the same error.
    TFilesInfoDTO streamed;
    QString streamedError;
    std::istringstream stream(text.toStdString());
    try {
        TFilesInfoDTOHelper::FromJSON(streamed, stream);
    } catch (const platform::Exception& e) {
        streamedError = e.message();
    }
    if (streamedError != error)
        __builtin_trap();
    if (streamed.size() != files.size())
        __builtin_trap();
    for (std::size_t i = 0; i < files.size(); ++i)
        if (bool(files[i]) != bool(streamed[i]) ||
            (files[i] && (files[i]->FileName() != streamed[i]->FileName() ||
                          !(files[i]->Age() == streamed[i]->Age()))))
            __builtin_trap();
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
