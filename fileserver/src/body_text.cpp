#include "body_text.h"

#include "curl_exchange.h"

#include <utility>

namespace fileserver {

QByteArray charsetOf(const QByteArray& contentType) {
    for (const QByteArray& part : contentType.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.size() > 8 && p.first(8).toLower() == "charset=") {
            QByteArray value = p.sliced(8).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.sliced(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

QString decodeBody(const QByteArray& body, const QByteArray& contentType) {
    const QByteArray charset = charsetOf(contentType);
    if (!charset.isEmpty()) {
        QStringDecoder decoder(charset.constData());
        // A charset this build cannot decode is read as UTF-8, the default.
        if (decoder.isValid())
            return decoder.decode(body);
    }
    return QString::fromUtf8(body);
}

BodyTextBuffer::BodyTextBuffer(CurlExchange& exchange, QByteArray first,
                               const QByteArray& contentType)
    : m_exchange(exchange), m_first(std::move(first)) {
    const QByteArray charset = charsetOf(contentType);
    if (!charset.isEmpty())
        m_decoder = BodyDecoder(charset.constData());
    if (!m_decoder.isValid())
        m_decoder = BodyDecoder(QStringDecoder::Utf8);
}

BodyTextBuffer::int_type BodyTextBuffer::underflow() {
    while (gptr() == egptr()) {
        if (m_ended)
            return traits_type::eof();
        const QByteArray raw = m_first.isEmpty() ? m_exchange.read() : std::exchange(m_first, {});
        if (raw.isEmpty()) {
            m_ended = true;
            // A character cut off at the end reads as one replacement
            // character, as decoding the whole text at once would give.
            m_text = m_decoder.midCharacter() ? QByteArrayLiteral("\xEF\xBF\xBD") : QByteArray();
        } else {
            m_text = QString(m_decoder.decode(raw)).toUtf8();
        }
        setg(m_text.data(), m_text.data(), m_text.data() + m_text.size());
    }
    return traits_type::to_int_type(*gptr());
}

} // namespace fileserver
