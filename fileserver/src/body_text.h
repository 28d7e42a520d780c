#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <streambuf>

namespace fileserver {

class CurlExchange;

// The charset parameter of a Content-Type value, or empty.
QByteArray charsetOf(const QByteArray& contentType);

// A body as text, in the charset its Content-Type declares (UTF-8 when none,
// or one this build cannot decode).
QString decodeBody(const QByteArray& body, const QByteArray& contentType);

// A decoder that can tell whether it stopped inside a character.
class BodyDecoder : public QStringDecoder {
public:
    using QStringDecoder::QStringDecoder;
    bool midCharacter() const { return state.remainingChars != 0; }
};

// The body of a listing as UTF-8 text for the JSON reader, pulled piece by
// piece from the exchange: decoded from the charset the answer declares (UTF-8
// when none, or one this build cannot decode) and encoded back, so that at most
// a piece of it is held at a time. Ends where the body ends; whether the
// exchange ended well is for the caller to ask.
class BodyTextBuffer final : public std::streambuf {
public:
    BodyTextBuffer(CurlExchange& exchange, QByteArray first, const QByteArray& contentType);

protected:
    int_type underflow() override;

private:
    CurlExchange& m_exchange;
    QByteArray m_first;
    BodyDecoder m_decoder;
    QByteArray m_text;
    bool m_ended = false;
};

} // namespace fileserver
