#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace fileserver {

// Writes bytes of the log to standard error at once. A log line that cannot be
// written is dropped: the server goes on serving.
void writeLog(const QByteArray& bytes);

// The log on standard error. Lines are gathered and written together at least
// every 50 ms (a write per request would cost the event loops a system call
// each); flush() writes what is pending at once.
class LogWriter {
public:
    LogWriter();
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void add(const QString& line);
    void flush();

private:
    void run();

    std::mutex m_mutex;
    std::mutex m_writeMutex;
    std::condition_variable m_wake;
    QByteArray m_pending;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace fileserver
