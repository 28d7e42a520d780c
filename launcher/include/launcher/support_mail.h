#pragma once

#include <QString>

#include <functional>

// The mail facility's result codes and their texts (0 is success). A code outside
// the table has an empty text.
QString MailResultText(unsigned code);

// Opens a new, empty message addressed to recipient in the desktop's mail program
// and returns the facility's result code: 0 on success, 1 when nothing could be
// opened (as when no mail program is registered, or the user cancelled).
using MailSender = std::function<unsigned(const QString& recipient)>;

// The sender the launcher uses: a "mailto:" request through the desktop's URL
// handler. Tests replace it.
MailSender& supportMailSender();
unsigned sendMailThroughDesktop(const QString& recipient);
