#include "launcher/support_mail.h"

#include <QDesktopServices>
#include <QUrl>

#include <array>
#include <utility>

QString MailResultText(unsigned code) {
    static const std::array<std::pair<unsigned, const char*>, 12> texts{{
        {1, "The user canceled one of the dialog boxes; no message was sent."},
        {2, "One or more unspecified errors occurred; no message was sent."},
        {3, "There was no default logon, and the user failed to log on successfully when the "
            "logon dialog box was displayed. No message was sent."},
        {5, "There was insufficient memory to proceed. No message was sent."},
        {9, "There were too many file attachments; no message was sent."},
        {10, "There were too many recipients; no message was sent."},
        {11, "The specified attachment was not found. No message was sent."},
        {12, "The specified attachment could not be open; no message was sent."},
        {14, "A recipient did not appear in the address list; no message was sent."},
        {15, "The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC. No message was sent."},
        {18, "The text in the message was too large to sent; the message was not sent."},
        {21, "A recipient matched more than one of the recipient descriptor structures and "
             "MAPI_DIALOG was not set. No message was sent."},
    }};
    for (const auto& [known, text] : texts) {
        if (known == code)
            return QString::fromLatin1(text);
    }
    return {};
}

unsigned sendMailThroughDesktop(const QString& recipient) {
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(recipient);
    // The desktop gives no finer result than "could not open": that is code 1, the
    // same text the user sees when no mail program is registered.
    return QDesktopServices::openUrl(url) ? 0u : 1u;
}

MailSender& supportMailSender() {
    static MailSender sender = sendMailThroughDesktop;
    return sender;
}
