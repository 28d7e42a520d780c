#include "fileserver/file_list_json.h"
#include "fileserver/iso_date_time.h"
#include "platform/errors.h"

#include <QTest>

#include <sstream>
#include <typeinfo>

using namespace Qt::StringLiterals;
using platform::encodeDateTime;
using platform::TDateTime;

// Which exception a case expects; None for success.
enum class Failure { None, Plain, InvalidCast, Conversion, DateTime, Convert };
Q_DECLARE_METATYPE(Failure)

namespace {

constexpr qint64 ms(int h, int m, int s, int milli = 0) {
    return ((qint64(h) * 60 + m) * 60 + s) * 1000 + milli;
}

// Runs f and tells which of our exception classes it raised (exactly, not a base).
template <typename F> Failure failureOf(F&& f, QString& message) {
    try {
        f();
    } catch (const platform::EInvalidCast& e) {
        message = e.message();
        return Failure::InvalidCast;
    } catch (const platform::EConversionError& e) {
        message = e.message();
        return Failure::Conversion;
    } catch (const platform::EDateTimeException& e) {
        message = e.message();
        return Failure::DateTime;
    } catch (const platform::EConvertError& e) {
        message = e.message();
        return Failure::Convert;
    } catch (const platform::Exception& e) {
        message = e.message();
        return typeid(e) == typeid(platform::Exception) ? Failure::Plain : Failure::None;
    }
    return Failure::None;
}

const QString exampleBody = QStringLiteral(
    "[\n"
    "  {\"fileName\": \"Appointments.exe\", \"age\": \"2022-06-23T20:50:25.000\"},\n"
    "  {\"fileName\": \"Relatorio\\\\RelAppointments.rav\", \"age\": \"2022-06-20T08:15:00.000\"}\n"
    "]");

} // namespace

class TestFileListJson : public QObject {
    Q_OBJECT

private slots:
    void isoToDateTime_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<TDateTime>("expected");
        const TDateTime base = encodeDateTime(2022, 6, 23, ms(20, 50, 25));
        QTest::newRow("plain") << u"2022-06-23T20:50:25"_s << base;
        QTest::newRow("Z is as written") << u"2022-06-23T20:50:25Z"_s << base;
        QTest::newRow("zero offset") << u"2022-06-23T20:50:25+00:00"_s << base;
        QTest::newRow("-03:00 is three hours later")
            << u"2022-06-23T20:50:25-03:00"_s << encodeDateTime(2022, 6, 23, ms(23, 50, 25));
        QTest::newRow("-0300 compact offset")
            << u"2022-06-23T20:50:25-0300"_s << encodeDateTime(2022, 6, 23, ms(23, 50, 25));
        QTest::newRow("offset into the next day")
            << u"2022-06-23T22:00:00-03:00"_s << encodeDateTime(2022, 6, 24, ms(1, 0, 0));
        QTest::newRow("offset into the previous day")
            << u"2022-01-01T01:00:00+02:00"_s << encodeDateTime(2021, 12, 31, ms(23, 0, 0));
        QTest::newRow("date only is midnight") << u"2022-06-23"_s << encodeDateTime(2022, 6, 23, 0);
        QTest::newRow("compact date") << u"20220623"_s << encodeDateTime(2022, 6, 23, 0);
        QTest::newRow("compact date and time") << u"20220623T205025"_s << base;
        QTest::newRow("milliseconds")
            << u"2022-06-23T20:50:25.123"_s << encodeDateTime(2022, 6, 23, ms(20, 50, 25, 123));
        QTest::newRow("tenths") << u"2022-06-23T20:50:25.1"_s
                                << encodeDateTime(2022, 6, 23, ms(20, 50, 25, 100));
        QTest::newRow("fraction cut to the ms")
            << u"2022-06-23T20:50:25.123987Z"_s << encodeDateTime(2022, 6, 23, ms(20, 50, 25, 123));
        QTest::newRow("hours and minutes")
            << u"2022-06-23T20:50"_s << encodeDateTime(2022, 6, 23, ms(20, 50, 0));
        QTest::newRow("leap day") << u"2024-02-29T00:00:00"_s << encodeDateTime(2024, 2, 29, 0);
    }
    void isoToDateTime() {
        QFETCH(QString, text);
        QFETCH(TDateTime, expected);
        QCOMPARE(fileserver::isoToDateTime(text), expected);
    }

    void isoToDateTimeErrors_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Failure>("failure");
        QTest::newRow("empty") << QString() << Failure::DateTime;
        QTest::newRow("date shorter than 4") << u"202"_s << Failure::DateTime;
        QTest::newRow("number 4.5") << u"4.5"_s << Failure::DateTime;
        QTest::newRow("month 13") << u"2022-13-01"_s << Failure::DateTime;
        QTest::newRow("30 February") << u"2022-02-30"_s << Failure::DateTime;
        QTest::newRow("letters for the year") << u"abcd-06-23"_s << Failure::Convert;
        QTest::newRow("letters for minutes") << u"2022-06-23T20:5x:00"_s << Failure::Convert;
        QTest::newRow("hour 25") << u"2022-06-23T25:00:00"_s << Failure::DateTime;
        QTest::newRow("T without time") << u"2022-06-23T"_s << Failure::DateTime;
        QTest::newRow("one-digit offset") << u"2022-06-23T20:50:25+3"_s << Failure::DateTime;
        QTest::newRow("letters in fraction") << u"2022-06-23T20:50:25.1a"_s << Failure::Convert;
        QTest::newRow("free text") << u"yesterday"_s << Failure::DateTime;
        QTest::newRow("year beyond 9999") << u"202323-06-23T20:50:25"_s << Failure::DateTime;
        QTest::newRow("offset past the last day")
            << u"9999-12-31T23:00:00-03:00"_s << Failure::DateTime;
    }
    void isoToDateTimeErrors() {
        QFETCH(QString, text);
        QFETCH(Failure, failure);
        QString message;
        QCOMPARE(failureOf([&] { fileserver::isoToDateTime(text); }, message), failure);
        QVERIFY(!message.isEmpty());
    }

    void dateTimeToIso_data() {
        QTest::addColumn<TDateTime>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("with ms") << encodeDateTime(2022, 6, 23, ms(20, 50, 25, 123))
                                 << u"2022-06-23T20:50:25.123"_s;
        QTest::newRow("midnight") << encodeDateTime(1999, 1, 2, 0) << u"1999-01-02T00:00:00.000"_s;
        QTest::newRow("last ms of the day")
            << encodeDateTime(2022, 12, 31, ms(23, 59, 59, 999)) << u"2022-12-31T23:59:59.999"_s;
    }
    void dateTimeToIso() {
        QFETCH(TDateTime, value);
        QFETCH(QString, expected);
        QCOMPARE(fileserver::dateTimeToIso(value), expected);
        // What the server writes reads back bit-equal: the client's ages compare
        // exactly with the local ones.
        QCOMPARE(fileserver::isoToDateTime(expected), value);
    }

    void fromJSON_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("length");
        // One entry per position: "name|iso age", "name|0" for age 0.0, "-" for empty.
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("example body")
            << exampleBody << Failure::None << QString() << 2
            << QStringList{u"Appointments.exe|2022-06-23T20:50:25.000"_s,
                           u"Relatorio\\RelAppointments.rav|2022-06-20T08:15:00.000"_s};
        QTest::newRow("empty array") << u"[]"_s << Failure::None << QString() << 0 << QStringList{};
        QTest::newRow("whitespace around, trailing line feed")
            << u" \t\r\n[]\n"_s << Failure::None << QString() << 0 << QStringList{};
        QTest::newRow("keys in other cases")
            << u"[{\"FileName\":\"a.exe\",\"AGE\":\"2022-06-23T20:50:25\"}]"_s << Failure::None
            << QString() << 1 << QStringList{u"a.exe|2022-06-23T20:50:25.000"_s};
        QTest::newRow("key name is skipped")
            << u"[{\"name\":\"a.exe\",\"age\":\"2022-06-23\"}]"_s << Failure::None << QString() << 1
            << QStringList{u"|2022-06-23T00:00:00.000"_s};
        QTest::newRow("empty object")
            << u"[{}]"_s << Failure::None << QString() << 1 << QStringList{u"|0"_s};
        QTest::newRow("later key wins, in text order")
            << u"[{\"fileName\":\"a\",\"FILENAME\":\"b\",\"fileName\":\"c\",\"FileName\":\"d\"}]"_s
            << Failure::None << QString() << 1 << QStringList{u"d|0"_s};
        QTest::newRow("number as name, null age keeps 0")
            << u"[{\"fileName\":12.50,\"age\":null}]"_s << Failure::None << QString() << 1
            << QStringList{u"12.50|0"_s};
        QTest::newRow("null name is empty") << u"[{\"fileName\":null}]"_s << Failure::None
                                            << QString() << 1 << QStringList{u"|0"_s};
        QTest::newRow("number age goes through the date conversion")
            << u"[{\"age\":20220623}]"_s << Failure::None << QString() << 1
            << QStringList{u"|2022-06-23T00:00:00.000"_s};
        QTest::newRow("third element a string")
            << u"[{\"fileName\":\"a\"},{\"fileName\":\"b\"},\"c\",{\"fileName\":\"d\"}]"_s
            << Failure::Conversion << u"The input value is not a valid Object"_s << 4
            << QStringList{u"a|0"_s, u"b|0"_s, u"-"_s, u"-"_s};
        QTest::newRow("an array and true as elements")
            << u"[{\"fileName\":\"a\"},[{\"fileName\":\"x\"}],true,{}]"_s << Failure::Conversion
            << u"The input value is not a valid Object"_s << 4
            << QStringList{u"a|0"_s, u"-"_s, u"-"_s, u"-"_s};
        QTest::newRow("not JSON wins over a bad element before it")
            << u"[{\"age\":\"2022-13-01\"},\"c\",{]"_s << Failure::Plain
            << u"TFilesInfoDTOHelper.FromJSON"_s << 0 << QStringList{};
        QTest::newRow("bad age stops at its element")
            << u"[{\"fileName\":\"a\"},{\"fileName\":\"b\",\"age\":\"2022-13-01\"}]"_s
            << Failure::DateTime << QString() << 2 << QStringList{u"a|0"_s, u"-"_s};
        QTest::newRow("second array after the first")
            << u"[] []"_s << Failure::Plain << u"TFilesInfoDTOHelper.FromJSON"_s << 0
            << QStringList{};
        QTest::newRow("trailing garbage")
            << u"[{}]x"_s << Failure::Plain << u"TFilesInfoDTOHelper.FromJSON"_s << 0
            << QStringList{};
        QTest::newRow("empty body") << QString() << Failure::Plain
                                    << u"TFilesInfoDTOHelper.FromJSON"_s << 0 << QStringList{};
        QTest::newRow("unclosed array") << u"[{\"fileName\":\"a\"}"_s << Failure::Plain
                                        << u"TFilesInfoDTOHelper.FromJSON"_s << 0 << QStringList{};
        QTest::newRow("object instead of array")
            << u"{\"fileName\":\"a\"}"_s << Failure::InvalidCast << u"Invalid class typecast"_s << 0
            << QStringList{};
        QTest::newRow("string instead of array")
            << u"\"a\""_s << Failure::InvalidCast << u"Invalid class typecast"_s << 0
            << QStringList{};
        QTest::newRow("nested values of known keys are left alone")
            << u"[{\"fileName\":\"a\",\"fileName\":[1,{\"x\":2}],\"age\":{\"y\":[]}}]"_s
            << Failure::None << QString() << 1 << QStringList{u"a|0"_s};
    }
    void fromJSON() {
        QFETCH(QString, body);
        QFETCH(Failure, failure);
        QFETCH(QString, message);
        QFETCH(int, length);
        QFETCH(QStringList, entries);

        // The text and the same body read as a stream give the same outcome.
        for (const bool asStream : {false, true}) {
            TFilesInfoDTO files;
            QString actualMessage;
            std::istringstream stream(body.toStdString());
            QCOMPARE(failureOf(
                         [&] {
                             if (asStream)
                                 TFilesInfoDTOHelper::FromJSON(files, stream);
                             else
                                 TFilesInfoDTOHelper::FromJSON(files, body);
                         },
                         actualMessage),
                     failure);
            if (!message.isEmpty())
                QCOMPARE(actualMessage, message);
            QCOMPARE(int(files.size()), length);
            for (int i = 0; i < entries.size(); ++i) {
                const QString& entry = entries[i];
                if (entry == u"-") {
                    QVERIFY2(!files[std::size_t(i)], qPrintable(QString::number(i)));
                    continue;
                }
                QVERIFY(files[std::size_t(i)]);
                const auto parts = entry.split(u'|');
                QCOMPARE(files[std::size_t(i)]->FileName(), parts[0]);
                const TDateTime age = parts[1] == u"0" ? 0.0 : fileserver::isoToDateTime(parts[1]);
                QCOMPARE(files[std::size_t(i)]->Age(), age);
            }
            TFilesInfoDTOHelper::FreeItems(files);
            QCOMPARE(files.size(), std::size_t(0));
        }
    }

    void fromJSONReplacesEarlierEntries() {
        TFilesInfoDTO files;
        TFilesInfoDTOHelper::FromJSON(files, exampleBody);
        TFilesInfoDTOHelper::FromJSON(files, u"[{\"fileName\":\"x\"}]"_s);
        QCOMPARE(files.size(), std::size_t(1));
        QCOMPARE(files[0]->FileName(), u"x"_s);
    }

    void errorBody_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("detail");
        QTest::newRow("all keys")
            << u"{\"status\":404,\"error\":\"Not Found\",\"detail\":\"no such file\"}"_s
            << Failure::None << 404 << u"Not Found"_s << u"no such file"_s;
        QTest::newRow("status as string")
            << u"{\"status\":\"404\"}"_s << Failure::None << 404 << QString() << QString();
        QTest::newRow("status 4.5 gives 0")
            << u"{\"status\":4.5}"_s << Failure::None << 0 << QString() << QString();
        QTest::newRow("status text not a number")
            << u"{\"status\":\"four\"}"_s << Failure::None << 0 << QString() << QString();
        QTest::newRow("status beyond 32 bits")
            << u"{\"status\":4294967296}"_s << Failure::None << 0 << QString() << QString();
        QTest::newRow("negative status")
            << u"{\"status\":-7}"_s << Failure::None << -7 << QString() << QString();
        QTest::newRow("status null")
            << u"{\"status\":null,\"error\":\"e\"}"_s << Failure::None << 0 << u"e"_s << QString();
        QTest::newRow("no status key")
            << u"{\"error\":\"e\",\"detail\":\"d\"}"_s << Failure::None << 0 << u"e"_s << u"d"_s;
        QTest::newRow("keys in other cases, later wins")
            << u"{\"STATUS\":1,\"Status\":2,\"ERROR\":3,\"Detail\":null}"_s << Failure::None << 2
            << u"3"_s << QString();
        QTest::newRow("HTML page") << u"<html><body>Not Found</body></html>"_s
                                   << Failure::Conversion << 0 << QString() << QString();
        QTest::newRow("empty body")
            << QString() << Failure::Conversion << 0 << QString() << QString();
        QTest::newRow("array") << u"[]"_s << Failure::Conversion << 0 << QString() << QString();
        QTest::newRow("object with trailing text")
            << u"{} {}"_s << Failure::Conversion << 0 << QString() << QString();
    }
    void errorBody() {
        QFETCH(QString, body);
        QFETCH(Failure, failure);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(QString, detail);
        std::unique_ptr<TFileInfoErrorDTO> record;
        QString message;
        QCOMPARE(
            failureOf([&] { record = fileserver::fileInfoErrorFromJSONObject(body); }, message),
            failure);
        if (failure != Failure::None) {
            QCOMPARE(message, u"The input value is not a valid Object"_s);
            QVERIFY(!record);
            return;
        }
        QVERIFY(record);
        QCOMPARE(record->Status(), status);
        QCOMPARE(record->Error(), error);
        QCOMPARE(record->Detail(), detail);
    }

    void errorBodyRoundTrip() {
        const TFileInfoErrorDTO original(403, u"Forbidden"_s, u"outside \"the\" root \\ é"_s);
        const auto back = fileserver::fileInfoErrorFromJSONObject(
            QString::fromUtf8(fileserver::fileInfoErrorToJSON(original)));
        QCOMPARE(back->Status(), 403);
        QCOMPARE(back->Error(), original.Error());
        QCOMPARE(back->Detail(), original.Detail());
    }

    // "size" and "sha256" say what a file is; listings without them read as before.
    void sizeAndDigest_data() {
        QTest::addColumn<QString>("element");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("sha256"); // hex; empty when not given
        const QString hex = u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_s;
        QTest::newRow("both") << u"{\"fileName\":\"a\",\"size\":3,\"sha256\":\"%1\"}"_s.arg(hex)
                              << false << qint64(3) << hex.toLatin1();
        QTest::newRow("neither") << u"{\"fileName\":\"a\"}"_s << false << qint64(-1)
                                 << QByteArray();
        QTest::newRow("upper-case hex, other key case")
            << u"{\"SIZE\":0,\"Sha256\":\"%1\"}"_s.arg(hex.toUpper()) << false << qint64(0)
            << hex.toLatin1();
        QTest::newRow("beyond 32 bits")
            << u"{\"size\":5000000000}"_s << false << qint64(5'000'000'000) << QByteArray();
        QTest::newRow("null is not given")
            << u"{\"size\":null,\"sha256\":null}"_s << false << qint64(-1) << QByteArray();
        QTest::newRow("negative size") << u"{\"size\":-1}"_s << true << qint64(-1) << QByteArray();
        QTest::newRow("fractional size")
            << u"{\"size\":1.5}"_s << true << qint64(-1) << QByteArray();
        QTest::newRow("size as text")
            << u"{\"size\":\"3\"}"_s << true << qint64(-1) << QByteArray();
        QTest::newRow("short digest")
            << u"{\"sha256\":\"ba78\"}"_s << true << qint64(-1) << QByteArray();
        QTest::newRow("digest not hex") << u"{\"sha256\":\"%1\"}"_s.arg(QString(64, u'g')) << true
                                        << qint64(-1) << QByteArray();
        QTest::newRow("digest as a number")
            << u"{\"sha256\":12}"_s << true << qint64(-1) << QByteArray();
    }
    void sizeAndDigest() {
        QFETCH(QString, element);
        QFETCH(bool, fails);
        QFETCH(qint64, size);
        QFETCH(QByteArray, sha256);
        const QString body = u"[{\"fileName\":\"first\"},"_s + element + u']';
        for (const bool asStream : {false, true}) {
            TFilesInfoDTO files;
            QString message;
            std::istringstream stream(body.toStdString());
            const Failure failure = failureOf(
                [&] {
                    if (asStream)
                        TFilesInfoDTOHelper::FromJSON(files, stream);
                    else
                        TFilesInfoDTOHelper::FromJSON(files, body);
                },
                message);
            QCOMPARE(failure, fails ? Failure::Conversion : Failure::None);
            QCOMPARE(files.size(), std::size_t(2));
            QVERIFY(files[0]);
            QCOMPARE(files[0]->Size(), qint64(-1));
            QCOMPARE(files[0]->Sha256(), QByteArray());
            if (fails) {
                QVERIFY(!files[1]);
                continue;
            }
            QCOMPARE(files[1]->Size(), size);
            QCOMPARE(files[1]->Sha256().toHex(), sha256);
        }
        QString message;
        std::unique_ptr<TFileInfoDTO> one;
        QCOMPARE(failureOf([&] { one = fileserver::fileInfoFromJSONObject(element); }, message),
                 fails ? Failure::Conversion : Failure::None);
        if (!fails) {
            QCOMPARE(one->Size(), size);
            QCOMPARE(one->Sha256().toHex(), sha256);
        }
    }

    // What the server writes, the client reads back as the same record.
    void writerRoundTrip_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<TDateTime>("age");
        QTest::addColumn<qint64>("size");       // -1: not written
        QTest::addColumn<QByteArray>("sha256"); // hex; empty: not written
        const QByteArray hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        const TDateTime age = encodeDateTime(2022, 6, 23, ms(20, 50, 25, 123));
        QTest::newRow("size and digest") << u"Appointments.exe"_s << age << qint64(3) << hex;
        QTest::newRow("neither") << u"a"_s << age << qint64(-1) << QByteArray();
        QTest::newRow("size only") << u"a"_s << age << qint64(0) << QByteArray();
        QTest::newRow("digest only") << u"a"_s << age << qint64(-1) << hex;
        QTest::newRow("beyond 32 bits") << u"big.bin"_s << age << qint64(5'000'000'000) << hex;
        QTest::newRow("one millisecond")
            << u"a"_s << encodeDateTime(2022, 6, 23, ms(0, 0, 0, 1)) << qint64(1) << hex;
        QTest::newRow("last millisecond of the day")
            << u"a"_s << encodeDateTime(1999, 12, 31, ms(23, 59, 59, 999)) << qint64(1) << hex;
        QTest::newRow("whole second")
            << u"a"_s << encodeDateTime(2022, 1, 1, ms(8, 15, 0)) << qint64(1) << hex;
        QTest::newRow("first year")
            << u"a"_s << encodeDateTime(1, 1, 1, ms(0, 0, 0, 5)) << qint64(1) << hex;
        QTest::newRow("subfolder, quotes, non-ASCII")
            << u"Relatorio\\Rel \"ação\".rav"_s << age << qint64(7) << hex;
        QTest::newRow("control character") << u"tab\there"_s << age << qint64(7) << hex;
    }
    void writerRoundTrip() {
        QFETCH(QString, fileName);
        QFETCH(TDateTime, age);
        QFETCH(qint64, size);
        QFETCH(QByteArray, sha256);
        const TFileInfoDTO original(fileName, age, size, QByteArray::fromHex(sha256));
        // Between two others: the separators are the writer's too.
        const TFileInfoDTO neighbour(u"n"_s, encodeDateTime(2020, 2, 29, ms(12, 0, 0, 42)));
        fileserver::FileListWriter writer;
        writer.append(neighbour);
        writer.append(original);
        writer.append(neighbour);
        const QByteArray body = writer.finish();
        QCOMPARE(body, '[' + fileserver::fileListElementToJSON(neighbour) + ',' +
                           fileserver::fileListElementToJSON(original) + ',' +
                           fileserver::fileListElementToJSON(neighbour) + ']');
        for (const bool asStream : {false, true}) {
            TFilesInfoDTO files;
            std::istringstream stream(body.toStdString());
            if (asStream)
                TFilesInfoDTOHelper::FromJSON(files, stream);
            else
                TFilesInfoDTOHelper::FromJSON(files, QString::fromUtf8(body));
            QCOMPARE(files.size(), std::size_t(3));
            for (const std::size_t i : {std::size_t(0), std::size_t(2)}) {
                QVERIFY(files[i]);
                QCOMPARE(files[i]->FileName(), neighbour.FileName());
                QCOMPARE(files[i]->Age(), neighbour.Age());
                QCOMPARE(files[i]->Size(), qint64(-1));
                QCOMPARE(files[i]->Sha256(), QByteArray());
            }
            QVERIFY(files[1]);
            QCOMPARE(files[1]->FileName(), fileName);
            QCOMPARE(files[1]->Age(), age);
            QCOMPARE(files[1]->Size(), size);
            QCOMPARE(files[1]->Sha256().toHex(), sha256);
        }
        const auto one = fileserver::fileInfoFromJSONObject(
            QString::fromUtf8(fileserver::fileListElementToJSON(original)));
        QCOMPARE(one->FileName(), fileName);
        QCOMPARE(one->Age(), age);
        QCOMPARE(one->Size(), size);
        QCOMPARE(one->Sha256().toHex(), sha256);
    }

    // The bytes of an element: its keys in this order, the age to the millisecond.
    void writerElementText_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("sha256");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        const QByteArray start =
            "{\"fileName\":\"Rel\\\\a \\\"b\\\".rav\",\"age\":\"2022-06-03T08:05:09.045\"";
        QTest::newRow("everything")
            << qint64(12) << hex << start + ",\"size\":12,\"sha256\":\"" + hex + "\"}";
        QTest::newRow("no size") << qint64(-1) << hex << start + ",\"sha256\":\"" + hex + "\"}";
        QTest::newRow("no digest") << qint64(0) << QByteArray() << start + ",\"size\":0}";
        QTest::newRow("neither") << qint64(-1) << QByteArray() << start + '}';
    }
    void writerElementText() {
        QFETCH(qint64, size);
        QFETCH(QByteArray, sha256);
        QFETCH(QByteArray, expected);
        const TFileInfoDTO file(u"Rel\\a \"b\".rav"_s, encodeDateTime(2022, 6, 3, ms(8, 5, 9, 45)),
                                size, QByteArray::fromHex(sha256));
        QCOMPARE(fileserver::fileListElementToJSON(file), expected);
    }

    void writerWithoutElements() {
        fileserver::FileListWriter writer;
        QCOMPARE(writer.finish(), QByteArray("[]"));
        writer.append(TFileInfoDTO(u"a"_s, encodeDateTime(2022, 6, 3, 0)));
        QCOMPARE(writer.finish(),
                 QByteArray("[{\"fileName\":\"a\",\"age\":\"2022-06-03T00:00:00.000\"}]"));
        // finish() starts over.
        QCOMPARE(writer.finish(), QByteArray("[]"));
    }

    void objectConversionOfOneDescriptor() {
        const auto dto = fileserver::fileInfoFromJSONObject(
            u"{\"age\":\"2022-06-23T20:50:25-03:00\",\"fileName\":\"a\"}"_s);
        QCOMPARE(dto->FileName(), u"a"_s);
        QCOMPARE(dto->Age(), encodeDateTime(2022, 6, 23, ms(23, 50, 25)));
        QString message;
        QCOMPARE(failureOf([] { fileserver::fileInfoFromJSONObject(u"[]"_s); }, message),
                 Failure::Conversion);
    }
};

QTEST_GUILESS_MAIN(TestFileListJson)
#include "tst_file_list_json.moc"
