#pragma once

#include "fileserver/file_info_dto.h"
#include "fileserver/file_info_error_dto.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <iosfwd>
#include <memory>
#include <optional>

// A descriptor array that owns its descriptors. Entries may be empty: after a
// failing element the array keeps its full length and the entries from the
// failing one on stay empty. The descriptors are held in place, in blocks: a
// listing of half a million files needs no separate allocation per descriptor,
// no pointer to it and no copy of the whole array as it grows, and a
// descriptor stays where it is while more are added.
using TFilesInfoDTO = std::deque<std::optional<TFileInfoDTO>>;

namespace TFilesInfoDTOHelper {

// Fills the array (anything in it before is released) from a file-list body: one JSON array of
// objects with "fileName" and "age" and, optionally, "size" and "sha256" (lower-case hex). Throws
// platform::Exception "TFilesInfoDTOHelper.FromJSON" when the text is not JSON (or has more than
// whitespace after the value), platform::EInvalidCast "Invalid class typecast" when it is not an
// array, and the errors of the object conversion for the first element that fails.
void FromJSON(TFilesInfoDTO& files, const QString& text);

// The same on a body read from a stream of UTF-8 bytes as it arrives: only the
// descriptors are kept, never the whole text or a tree of it.
void FromJSON(TFilesInfoDTO& files, std::istream& utf8);

// Frees every descriptor in index order and empties the array.
void FreeItems(TFilesInfoDTO& files);

} // namespace TFilesInfoDTOHelper

namespace fileserver {

// The object conversion: keys are matched to the record's fields by "F" + key
// without regard to ASCII case, in text order, the later value winning. Throws
// platform::EConversionError "The input value is not a valid Object" when the text
// is not one JSON object, and the date-time errors for a bad "age".
std::unique_ptr<TFileInfoDTO> fileInfoFromJSONObject(const QString& text);
std::unique_ptr<TFileInfoErrorDTO> fileInfoErrorFromJSONObject(const QString& text);

// The error body a file server sends: {"status":..,"error":..,"detail":..}.
QByteArray fileInfoErrorToJSON(const TFileInfoErrorDTO& error);

// One element of a file-list body: {"fileName":..,"age":..} with the age as a
// local ISO time with milliseconds, then "size" and "sha256" (lower-case hex)
// where the record has them. What FromJSON reads back into the same record.
QByteArray fileListElementToJSON(const TFileInfoDTO& file);

// Writes a file-list body element by element, so that a listing of many files
// is never held as a tree.
class FileListWriter {
public:
    void append(const TFileInfoDTO& file);
    // The whole body ("[]" when nothing was appended); the writer starts over.
    QByteArray finish();

private:
    QByteArray m_body;
};

} // namespace fileserver
