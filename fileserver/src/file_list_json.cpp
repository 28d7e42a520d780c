#include "fileserver/file_list_json.h"

#include "fileserver/iso_date_time.h"
#include "platform/errors.h"

#include <nlohmann/json.hpp>

#include <optional>

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

// What the readers need of a parsed text: whether it is an array, an object or a
// scalar, the pairs of the top-level object, and for an array each element's
// pairs (none for an element that is not an object). Values nested deeper than
// that are outside both formats and are not kept, so a pathological text costs
// no more memory than its top two levels.
struct ParsedTop {
    enum class Kind { None, Array, Object, Scalar };
    Kind kind = Kind::None;
    JsonPairs pairs;
    std::vector<std::optional<JsonPairs>> elements;
};

class TopLevelReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit TopLevelReader(ParsedTop& top) : m_top(top) {}

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
    bool start_object(std::size_t) override {
        if (m_depth == 0)
            m_top.kind = ParsedTop::Kind::Object;
        else if (m_depth == 1 && m_top.kind == ParsedTop::Kind::Array)
            m_top.elements.emplace_back(JsonPairs{});
        else
            value({JsonScalar::Kind::Other, {}});
        ++m_depth;
        return true;
    }
    bool key(string_t& k) override {
        if (keyLevel())
            m_key = QString::fromStdString(k);
        return true;
    }
    bool end_object() override {
        --m_depth;
        return true;
    }
    bool start_array(std::size_t) override {
        if (m_depth == 0)
            m_top.kind = ParsedTop::Kind::Array;
        else
            value({JsonScalar::Kind::Other, {}});
        ++m_depth;
        return true;
    }
    bool end_array() override {
        --m_depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool keyLevel() const {
        return (m_depth == 1 && m_top.kind == ParsedTop::Kind::Object) ||
               (m_depth == 2 && m_top.kind == ParsedTop::Kind::Array && !m_top.elements.empty() &&
                m_top.elements.back().has_value());
    }

    bool value(JsonScalar v) {
        if (m_depth == 0) {
            m_top.kind = ParsedTop::Kind::Scalar;
        } else if (m_depth == 1 && m_top.kind == ParsedTop::Kind::Array) {
            m_top.elements.emplace_back(std::nullopt);
        } else if (keyLevel()) {
            JsonPairs& pairs =
                m_depth == 1 ? m_top.pairs : *m_top.elements.back(); // keyLevel() checked
            pairs.push_back({m_key, std::move(v)});
        }
        return true;
    }

    ParsedTop& m_top;
    int m_depth = 0;
    QString m_key;
};

// Parses the whole text (whitespace only around the value); false when it is not
// JSON.
bool parseTop(const QString& text, ParsedTop& top) {
    const QByteArray utf8 = text.toUtf8();
    TopLevelReader reader(top);
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

std::unique_ptr<TFileInfoDTO> fileInfoFromPairs(const JsonPairs& pairs) {
    QString fileName;
    platform::TDateTime age = 0.0;
    for (const JsonPair& p : pairs) {
        if (keyMatches(p.key, QLatin1StringView("FFileName")))
            storeText(fileName, p.value);
        else if (keyMatches(p.key, QLatin1StringView("FAge")))
            storeDateTime(age, p.value);
    }
    return std::make_unique<TFileInfoDTO>(fileName, age);
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

JsonPairs objectPairs(const QString& text) {
    ParsedTop top;
    if (!parseTop(text, top) || top.kind != ParsedTop::Kind::Object)
        notAnObject();
    return std::move(top.pairs);
}

} // namespace

namespace TFilesInfoDTOHelper {

void FromJSON(TFilesInfoDTO& files, const QString& text) {
    ParsedTop top;
    if (!parseTop(text, top))
        throw platform::Exception(QStringLiteral("TFilesInfoDTOHelper.FromJSON"));
    if (top.kind != ParsedTop::Kind::Array)
        throw platform::EInvalidCast(QStringLiteral("Invalid class typecast"));
    // Position i holds element i; anything the array held before is released.
    files.clear();
    files.resize(top.elements.size());
    for (std::size_t i = 0; i < top.elements.size(); ++i) {
        if (!top.elements[i])
            notAnObject();
        files[i] = fileInfoFromPairs(*top.elements[i]);
    }
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

} // namespace fileserver
