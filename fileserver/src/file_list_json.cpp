#include "fileserver/file_list_json.h"

#include "fileserver/iso_date_time.h"
#include "platform/errors.h"
#include "platform/sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <istream>
#include <utility>

namespace {

// A value of a known key as the conversion sees it: its kind and its text (the
// raw text for numbers, so that 4.5 stays "4.5").
struct JsonScalar {
    enum class Kind { String, Number, Null, Other };
    Kind kind = Kind::Null;
    QString text;
};

struct JsonPair {
    QString key;
    JsonScalar value;
};

// Key/value pairs of one object, in text order, repeats kept.
using JsonPairs = std::vector<JsonPair>;

// What the object conversion needs of a parsed text: whether it is one object,
// and that object's pairs. Values nested deeper are outside both formats and
// are not kept.
struct ParsedObject {
    bool isObject = false;
    JsonPairs pairs;
};

// Reads scalar events into JsonScalar values and follows the depth: the part the
// object reader and the listing reader share.
class ScalarEvents : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return value({JsonScalar::Kind::Null, {}}); }
    bool boolean(bool) override { return value({JsonScalar::Kind::Other, {}}); }
    bool number_integer(number_integer_t v) override {
        return value({JsonScalar::Kind::Number, QString::number(v)});
    }
    bool number_unsigned(number_unsigned_t v) override {
        return value({JsonScalar::Kind::Number, QString::number(v)});
    }
    bool number_float(number_float_t, const string_t& raw) override {
        return value({JsonScalar::Kind::Number, QString::fromStdString(raw)});
    }
    bool string(string_t& v) override {
        return value({JsonScalar::Kind::String, QString::fromStdString(v)});
    }
    bool binary(binary_t&) override { return value({JsonScalar::Kind::Other, {}}); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
    bool start_array(std::size_t) override { return descend(); }
    bool end_array() override { return ascend(); }
    bool end_object() override { return ascend(); }

protected:
    virtual bool value(JsonScalar v) = 0;

    // An object or array below the top is a value outside both formats; either
    // way the reader goes one level down.
    bool descend() {
        if (m_depth > 0)
            value({JsonScalar::Kind::Other, {}});
        ++m_depth;
        return true;
    }
    bool ascend() {
        --m_depth;
        return true;
    }

    int m_depth = 0;
};

class ObjectReader final : public ScalarEvents {
public:
    explicit ObjectReader(ParsedObject& top) : m_top(top) {}

    bool start_object(std::size_t) override {
        if (m_depth == 0)
            m_top.isObject = true;
        return descend();
    }
    bool key(string_t& k) override {
        if (m_depth == 1)
            m_key = QString::fromStdString(k);
        return true;
    }

private:
    bool value(JsonScalar v) override {
        if (m_depth == 1 && m_top.isObject)
            m_top.pairs.push_back({m_key, std::move(v)});
        return true;
    }

    ParsedObject& m_top;
    QString m_key;
};

// Parses the whole text (whitespace only around the value); false when it is not
// JSON.
bool parseObject(const QString& text, ParsedObject& top) {
    const QByteArray utf8 = text.toUtf8();
    ObjectReader reader(top);
    return nlohmann::json::sax_parse(utf8.begin(), utf8.end(), &reader,
                                     nlohmann::json::input_format_t::json, true);
}

bool keyMatches(const QString& key, QLatin1StringView fieldName) {
    // "F" + key against the field name, ASCII letters without regard to case.
    if (key.size() + 1 != fieldName.size() || (fieldName[0] != u'F'))
        return false;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const char16_t a = key[i].unicode();
        const char16_t b = fieldName[i + 1].unicode();
        const auto lower = [](char16_t c) -> char16_t {
            return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
        };
        if (lower(a) != lower(b))
            return false;
    }
    return true;
}

// Values outside the format (true, false, objects, arrays) leave the field as it
// was, like null does for the date-time.
void storeText(QString& field, const JsonScalar& v) {
    switch (v.kind) {
    case JsonScalar::Kind::String:
    case JsonScalar::Kind::Number:
        field = v.text;
        break;
    case JsonScalar::Kind::Null:
        field.clear();
        break;
    case JsonScalar::Kind::Other:
        break;
    }
}

// A whole decimal integer of 32 bits, else 0.
qint32 readWholeInteger(const QString& text) {
    bool ok = false;
    const qint32 v = text.toInt(&ok, 10);
    // toInt accepts surrounding blanks; a whole integer here has none.
    if (!ok || text.isEmpty() || text.front().isSpace() || text.back().isSpace())
        return 0;
    return v;
}

void storeInteger(qint32& field, const JsonScalar& v) {
    switch (v.kind) {
    case JsonScalar::Kind::String:
    case JsonScalar::Kind::Number:
        field = readWholeInteger(v.text);
        break;
    case JsonScalar::Kind::Null:
        field = 0;
        break;
    case JsonScalar::Kind::Other:
        break;
    }
}

void storeDateTime(platform::TDateTime& field, const JsonScalar& v) {
    if (v.kind == JsonScalar::Kind::String || v.kind == JsonScalar::Kind::Number)
        field = fileserver::isoToDateTime(v.text);
}

// What a file is, when the listing says so. A value that is there but wrong
// fails the element: a checked download against a digest that was misread would
// refuse a good file or, worse, nothing at all.
void storeSize(qint64& field, const JsonScalar& v) {
    if (v.kind == JsonScalar::Kind::Null) {
        field = -1;
        return;
    }
    bool ok = v.kind == JsonScalar::Kind::Number && !v.text.isEmpty() && v.text.front().isDigit();
    const qint64 size = ok ? v.text.toLongLong(&ok, 10) : -1;
    if (!ok || size < 0)
        throw platform::EConversionError(
            QStringLiteral("The size \"%1\" is not a whole number of bytes").arg(v.text));
    field = size;
}

void storeSha256(QByteArray& field, const JsonScalar& v) {
    if (v.kind == JsonScalar::Kind::Null) {
        field.clear();
        return;
    }
    const QByteArray hex = v.text.toLatin1();
    const bool ok =
        v.kind == JsonScalar::Kind::String && hex.size() == 64 &&
        std::all_of(hex.begin(), hex.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        });
    if (!ok)
        throw platform::EConversionError(
            QStringLiteral("The SHA-256 \"%1\" is not 64 hexadecimal digits").arg(v.text));
    field = QByteArray::fromHex(hex);
}

// The fields of a file descriptor, by the key that names them.
enum class FileField { None, FileName, Age, Size, Sha256 };

FileField fileFieldOf(const QString& key) {
    if (keyMatches(key, QLatin1StringView("FFileName")))
        return FileField::FileName;
    if (keyMatches(key, QLatin1StringView("FAge")))
        return FileField::Age;
    if (keyMatches(key, QLatin1StringView("FSize")))
        return FileField::Size;
    if (keyMatches(key, QLatin1StringView("FSha256")))
        return FileField::Sha256;
    return FileField::None;
}

void storeFileField(TFileInfoDTO& file, FileField field, const JsonScalar& v) {
    switch (field) {
    case FileField::FileName: {
        QString name = file.FileName();
        storeText(name, v);
        file.setFileName(name);
        break;
    }
    case FileField::Age: {
        platform::TDateTime age = file.Age();
        storeDateTime(age, v);
        file.setAge(age);
        break;
    }
    case FileField::Size: {
        qint64 size = file.Size();
        storeSize(size, v);
        file.setSize(size);
        break;
    }
    case FileField::Sha256: {
        QByteArray digest = file.Sha256();
        storeSha256(digest, v);
        file.setSha256(digest);
        break;
    }
    case FileField::None:
        break;
    }
}

std::unique_ptr<TFileInfoDTO> fileInfoFromPairs(const JsonPairs& pairs) {
    auto file = std::make_unique<TFileInfoDTO>();
    for (const JsonPair& p : pairs)
        storeFileField(*file, fileFieldOf(p.key), p.value);
    return file;
}

std::unique_ptr<TFileInfoErrorDTO> fileInfoErrorFromPairs(const JsonPairs& pairs) {
    QString error, detail;
    qint32 status = 0;
    for (const JsonPair& p : pairs) {
        if (keyMatches(p.key, QLatin1StringView("FError")))
            storeText(error, p.value);
        else if (keyMatches(p.key, QLatin1StringView("FStatus")))
            storeInteger(status, p.value);
        else if (keyMatches(p.key, QLatin1StringView("FDetail")))
            storeText(detail, p.value);
    }
    return std::make_unique<TFileInfoErrorDTO>(status, error, detail);
}

[[noreturn]] void notAnObject() {
    throw platform::EConversionError(QStringLiteral("The input value is not a valid Object"));
}

// Reads a file-list body event by event straight into descriptors: neither the
// text nor a tree of it is kept. Each element is converted as it closes, with
// the rules of the object conversion. The first element that fails is only
// remembered, so that a body that is not JSON at all still reads as such (the
// whole text is checked before any element counts); the elements after it are
// counted but not converted.
class ListingReader final : public ScalarEvents {
public:
    enum class Top { None, Array, Other };

    explicit ListingReader(TFilesInfoDTO& files) : m_files(files) {}

    Top top() const { return m_top; }
    std::size_t elementCount() const { return m_elements; }
    const std::exception_ptr& firstFailure() const { return m_failure; }

    bool start_object(std::size_t) override {
        if (m_depth == 0) {
            m_top = Top::Other;
        } else if (m_depth == 1 && m_top == Top::Array) {
            m_inElement = !m_failure;
            m_file = TFileInfoDTO();
        } else {
            value({JsonScalar::Kind::Other, {}});
        }
        ++m_depth;
        return true;
    }
    bool key(string_t& k) override {
        if (m_depth == 2 && m_inElement) {
            const QString key = QString::fromStdString(k);
            m_field = fileFieldOf(key);
        }
        return true;
    }
    bool end_object() override {
        --m_depth;
        if (m_depth == 1 && m_top == Top::Array) {
            if (m_inElement)
                m_files.emplace_back(std::move(m_file));
            m_inElement = false;
            ++m_elements;
        }
        return true;
    }
    bool start_array(std::size_t) override {
        if (m_depth == 0)
            m_top = Top::Array;
        return descend();
    }

private:
    bool value(JsonScalar v) override {
        if (m_depth == 0) {
            m_top = Top::Other;
        } else if (m_depth == 1 && m_top == Top::Array) {
            // An element that is not an object (an array one is seen at its start).
            fail(std::make_exception_ptr(platform::EConversionError(
                QStringLiteral("The input value is not a valid Object"))));
            ++m_elements;
        } else if (m_depth == 2 && m_inElement) {
            try {
                storeFileField(m_file, m_field, v);
            } catch (...) {
                fail(std::current_exception());
                m_inElement = false;
            }
        }
        return true;
    }

    void fail(std::exception_ptr error) {
        if (!m_failure)
            m_failure = std::move(error);
    }

    TFilesInfoDTO& m_files;
    Top m_top = Top::None;
    std::size_t m_elements = 0;
    bool m_inElement = false;
    FileField m_field = FileField::None;
    TFileInfoDTO m_file;
    std::exception_ptr m_failure;
};

// What FromJSON makes of a finished read: the errors in the order the
// conversion has always raised them (not JSON, not an array, the first element
// that failed), the array at its full length with the entries from the failing
// one on left empty.
void finishListing(TFilesInfoDTO& files, const ListingReader& reader, bool parsed) {
    if (!parsed) {
        files.clear();
        throw platform::Exception(QStringLiteral("TFilesInfoDTOHelper.FromJSON"));
    }
    if (reader.top() != ListingReader::Top::Array) {
        files.clear();
        throw platform::EInvalidCast(QStringLiteral("Invalid class typecast"));
    }
    if (reader.firstFailure()) {
        files.resize(reader.elementCount());
        std::rethrow_exception(reader.firstFailure());
    }
}

JsonPairs objectPairs(const QString& text) {
    ParsedObject top;
    if (!parseObject(text, top) || !top.isObject)
        notAnObject();
    return std::move(top.pairs);
}

} // namespace

namespace TFilesInfoDTOHelper {

void FromJSON(TFilesInfoDTO& files, const QString& text) {
    files.clear();
    const QByteArray utf8 = text.toUtf8();
    ListingReader reader(files);
    const bool parsed = nlohmann::json::sax_parse(utf8.begin(), utf8.end(), &reader,
                                                  nlohmann::json::input_format_t::json, true);
    finishListing(files, reader, parsed);
}

void FromJSON(TFilesInfoDTO& files, std::istream& utf8) {
    files.clear();
    ListingReader reader(files);
    const bool parsed =
        nlohmann::json::sax_parse(utf8, &reader, nlohmann::json::input_format_t::json, true);
    finishListing(files, reader, parsed);
}

void FreeItems(TFilesInfoDTO& files) {
    for (auto& item : files)
        item.reset();
    files.clear();
}

} // namespace TFilesInfoDTOHelper

namespace fileserver {

std::unique_ptr<TFileInfoDTO> fileInfoFromJSONObject(const QString& text) {
    return fileInfoFromPairs(objectPairs(text));
}

std::unique_ptr<TFileInfoErrorDTO> fileInfoErrorFromJSONObject(const QString& text) {
    return fileInfoErrorFromPairs(objectPairs(text));
}

QByteArray fileInfoErrorToJSON(const TFileInfoErrorDTO& error) {
    nlohmann::ordered_json body;
    body["status"] = error.Status();
    body["error"] = error.Error().toStdString();
    body["detail"] = error.Detail().toStdString();
    return QByteArray::fromStdString(body.dump());
}

QByteArray fileListElementToJSON(const TFileInfoDTO& file) {
    nlohmann::ordered_json item;
    item["fileName"] = file.FileName().toStdString();
    item["age"] = dateTimeToIso(file.Age()).toStdString();
    if (file.Size() >= 0)
        item["size"] = file.Size();
    if (!file.Sha256().isEmpty())
        item["sha256"] = platform::Sha256::hex(file.Sha256()).toStdString();
    return QByteArray::fromStdString(item.dump());
}

void FileListWriter::append(const TFileInfoDTO& file) {
    m_body += m_body.isEmpty() ? '[' : ',';
    m_body += fileListElementToJSON(file);
}

QByteArray FileListWriter::finish() {
    if (m_body.isEmpty())
        return QByteArrayLiteral("[]");
    m_body += ']';
    return std::exchange(m_body, QByteArray());
}

} // namespace fileserver
