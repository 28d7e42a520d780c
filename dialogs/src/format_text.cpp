#include "dialogs/format_text.h"

#include <platform/errors.h>

#include <optional>

namespace dialogs {

namespace {

[[noreturn]] void throwInvalid(const QString& format) {
    throw platform::EConvertError(
        QStringLiteral("Format '%1' invalid or incompatible with argument").arg(format));
}

[[noreturn]] void throwMissing(const QString& format) {
    throw platform::EConvertError(QStringLiteral("No argument for format '%1'").arg(format));
}

bool isInteger(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

bool isString(const QVariant& v) {
    return v.typeId() == QMetaType::QString || v.typeId() == QMetaType::QChar;
}

class Formatter {
public:
    Formatter(const QString& format, const QList<QVariant>& args)
        : m_format(format), m_args(args) {}

    QString run() {
        QString out;
        while (m_pos < m_format.size()) {
            const QChar c = m_format.at(m_pos++);
            if (c != QLatin1Char('%')) {
                out += c;
                continue;
            }
            out += conversion();
        }
        return out;
    }

private:
    QChar peek() const { return m_pos < m_format.size() ? m_format.at(m_pos) : QChar(); }

    std::optional<int> digits() {
        if (!peek().isDigit())
            return std::nullopt;
        int value = 0;
        while (peek().isDigit()) {
            value = value * 10 + peek().digitValue();
            if (value > 1000000)
                throwInvalid(m_format);
            ++m_pos;
        }
        return value;
    }

    const QVariant& nextArg() {
        if (m_argIndex >= m_args.size())
            throwMissing(m_format);
        return m_args.at(m_argIndex++);
    }

    std::optional<int> number() {
        if (peek() == QLatin1Char('*')) {
            ++m_pos;
            const QVariant& v = nextArg();
            if (!isInteger(v))
                throwInvalid(m_format);
            return v.toInt();
        }
        return digits();
    }

    QString conversion() {
        if (peek() == QLatin1Char('%')) {
            ++m_pos;
            return QStringLiteral("%");
        }
        // An index is digits followed by ':'; otherwise the digits were the width.
        std::optional<int> width;
        if (peek().isDigit()) {
            const std::optional<int> value = digits();
            if (peek() == QLatin1Char(':')) {
                ++m_pos;
                m_argIndex = *value;
            } else {
                width = value;
            }
        }
        bool leftAlign = false;
        if (!width && peek() == QLatin1Char('-')) {
            leftAlign = true;
            ++m_pos;
        }
        if (!width)
            width = number();
        std::optional<int> precision;
        if (peek() == QLatin1Char('.')) {
            ++m_pos;
            precision = number();
            if (!precision)
                throwInvalid(m_format);
        }
        if (m_pos >= m_format.size())
            throwInvalid(m_format);
        const QChar type = m_format.at(m_pos++).toLower();
        QString text;
        if (type == QLatin1Char('s')) {
            const QVariant& v = nextArg();
            if (!isString(v))
                throwInvalid(m_format);
            text = v.toString();
            if (precision && *precision < text.size())
                text.truncate(*precision);
        } else if (type == QLatin1Char('d') || type == QLatin1Char('u') ||
                   type == QLatin1Char('x')) {
            const QVariant& v = nextArg();
            if (!isInteger(v))
                throwInvalid(m_format);
            if (type == QLatin1Char('d'))
                text = QString::number(v.toLongLong());
            else if (type == QLatin1Char('u'))
                text = QString::number(static_cast<quint32>(v.toLongLong()));
            else
                text = QString::number(v.toULongLong(), 16).toUpper();
            if (precision) {
                const bool negative = text.startsWith(QLatin1Char('-'));
                QString body = negative ? text.mid(1) : text;
                if (body.size() < *precision)
                    body = QString(*precision - body.size(), QLatin1Char('0')) + body;
                text = negative ? QLatin1Char('-') + body : body;
            }
        } else {
            throwInvalid(m_format);
        }
        if (width && text.size() < *width) {
            const QString pad(*width - text.size(), QLatin1Char(' '));
            text = leftAlign ? text + pad : pad + text;
        }
        return text;
    }

    const QString& m_format;
    const QList<QVariant>& m_args;
    qsizetype m_pos = 0;
    qsizetype m_argIndex = 0;
};

} // namespace

QString Format(const QString& format, const QList<QVariant>& args) {
    return Formatter(format, args).run();
}

} // namespace dialogs
