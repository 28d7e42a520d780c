#pragma once

#include "file_catalogue.h"
#include "served_root.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct MHD_Connection;

namespace fileserver {

// What one server allows its clients, and how often it looks at its tree. The
// defaults suit a hospital's morning rush: hundreds of workstations at once,
// some behind one address.
struct ServerLimits {
    int threads = 0;                // event loops; 0 takes one per processor (at least 2)
    unsigned maxConnections = 4000; // in all
    unsigned maxPerAddress = 256;   // from one client address; 0 for no limit
    unsigned requestTimeout = 10;   // seconds to receive a whole request (from the
                                    // connection or the previous answer on)
    unsigned idleTimeout = 30;      // seconds of silence before a connection is dropped
    unsigned recheckInterval = 2;   // seconds between re-checks of the files against the
                                    // catalogue (what inotify cannot see); 0 for none
};

// The HTTP front of the file server: GET (and HEAD) /folderlist and /download
// over a folder, on libmicrohttpd's event loops. While it serves, the root path
// is looked up again every half second: when it names another folder (a link
// switched to a new release, a folder renamed into its place, a mount), that
// folder is read and hashed and then served instead; requests under way finish
// on the old one.
class FileServer {
public:
    using LogLine = std::function<void(const QString&)>;

    // Throws std::runtime_error with the reason when root cannot be opened.
    FileServer(const QString& root, const ServerLimits& limits, LogLine log);
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    // Binds host:port; port 0 takes any free one. Returns the port. Throws
    // std::runtime_error with the reason (unknown address, port in use...).
    int bind(const QString& host, int port);
    // Serves until stop(); returns false when serving could not start.
    bool listen();
    // Safe from any thread and at any time: listen() returns (at once, when it
    // is called later).
    void stop();
    bool isRunning() const;

    // Files read for their digests by the catalogue being served.
    quint64 hashedFiles() const;

    // The engine's entry points (plain functions handed to the library) and
    // what they keep per request.
    struct Engine;
    struct Request;

private:
    // What the deadline watch knows of a connection. The deadline (steady
    // clock nanoseconds) is 0 while a request is being answered.
    struct Connection {
        int fd = -1;
        std::atomic<qint64> deadline{0};
    };
    void setDeadline(MHD_Connection* connection, bool awaitingRequest);

    // One call of the engine for a request (MHD_Result).
    int access(MHD_Connection* connection, const char* url, const char* method, size_t* uploadSize,
               void** context);
    // An early answer for a request that is not served at all, or -1.
    int refuse(MHD_Connection* connection, const char* method, Request& request);
    int answer(MHD_Connection* connection, const char* url, Request& request);
    int answerDownload(MHD_Connection* connection, Request& request);
    int answerListing(MHD_Connection* connection, Request& request);
    void requestEnded(MHD_Connection* connection, Request* request, int termination);
    void watchDeadlines();

    // The folder being served and its catalogue, held by each request that
    // uses them.
    struct Served;
    std::shared_ptr<Served> served() const;
    // Looks after the tree while serving: the root path, inotify's changes,
    // the periodic re-check, the digests still owed.
    void lookAfterTree();
    void followRoot(const std::shared_ptr<Served>& current);

    QString m_rootPath;
    mutable std::mutex m_servedMutex;
    std::shared_ptr<Served> m_served;
    std::shared_ptr<Served> m_next;   // being read before it is served
    bool m_cancelled = false;         // stopping: no new reading of a tree
    bool m_rootProblemLogged = false; // only the care thread uses it
    ServerLimits m_limits;
    LogLine m_log;
    FileDescriptor m_listener;

    std::mutex m_connectionsMutex;
    std::map<MHD_Connection*, std::unique_ptr<Connection>> m_connections;

    std::mutex m_stateMutex;
    std::condition_variable m_stateChanged;
    bool m_stopRequested = false;
    std::atomic<bool> m_running = false;
};

} // namespace fileserver
