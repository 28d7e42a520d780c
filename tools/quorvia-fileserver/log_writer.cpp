#include "log_writer.h"

#include "platform/file_ops.h"

#include <chrono>

#include <unistd.h>

namespace fileserver {

void writeLog(const QByteArray& bytes) {
    platform::writeAll(STDERR_FILENO, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

LogWriter::LogWriter() : m_thread([this] { run(); }) {}

LogWriter::~LogWriter() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void LogWriter::add(const QString& line) {
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    const std::lock_guard lock(m_mutex);
    m_pending += bytes;
}

void LogWriter::flush() {
    const std::lock_guard writing(m_writeMutex);
    QByteArray bytes;
    {
        const std::lock_guard lock(m_mutex);
        bytes.swap(m_pending);
    }
    writeLog(bytes);
}

void LogWriter::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        m_wake.wait_for(lock, std::chrono::milliseconds(50));
        lock.unlock();
        flush();
        lock.lock();
    }
    lock.unlock();
    flush();
}

} // namespace fileserver
