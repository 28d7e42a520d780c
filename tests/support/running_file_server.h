#pragma once

#include "file_server.h"

#include <QStringList>

#include <mutex>
#include <stdexcept>
#include <thread>

// quorvia-fileserver's request handling run in the test's own process, on a free
// loopback port, with its log lines kept for the test.
class RunningFileServer {
public:
    explicit RunningFileServer(const QString& root, int threads = 16)
        : RunningFileServer(root, fileserver::ServerLimits{threads}) {}
    RunningFileServer(const QString& root, const fileserver::ServerLimits& limits)
        : m_server(root, limits, [this](const QString& line) {
              const std::lock_guard lock(m_mutex);
              m_log.append(line);
          }) {
        try {
            m_port = m_server.bind(QStringLiteral("127.0.0.1"), 0);
        } catch (const std::runtime_error& e) {
            qFatal("cannot bind a loopback port: %s", e.what());
        }
        m_thread = std::thread([this] { m_server.listen(); });
    }
    ~RunningFileServer() { stop(); }
    RunningFileServer(const RunningFileServer&) = delete;
    RunningFileServer& operator=(const RunningFileServer&) = delete;

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    int port() const { return m_port; }
    const fileserver::FileServer& server() const { return m_server; }

    // Stops serving and waits for it; every answered request is then logged.
    void stop() {
        if (!m_thread.joinable())
            return;
        while (!m_server.isRunning())
            std::this_thread::yield();
        m_server.stop();
        m_thread.join();
    }

    QStringList log() const {
        const std::lock_guard lock(m_mutex);
        return m_log;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_log;
    fileserver::FileServer m_server;
    int m_port = 0;
    std::thread m_thread;
};
