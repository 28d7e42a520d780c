#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace httplib {
class Server;
}

namespace fileserver {

// Windows-style file mask: "*" any run of characters, "?" exactly one, compared
// without regard to case. An empty mask, "*" and "*.*" take every name.
bool maskMatches(const QString& mask, const QString& name);

enum class NameKind { File, Folder };

struct ResolvedName {
    enum class Outcome { Found, NotFound, Forbidden };
    Outcome outcome = Outcome::NotFound;
    QString path; // the full local path when found
};

// Resolves a name relative to root (backslash or slash separators) without
// regard to letter case, as a share on a Windows server would. Names that leave
// the root (a ".." part, an absolute path, a drive, a network path, a link that
// points outside) are Forbidden and never touched. A folder name may start with
// one separator, meaning the root itself ("\" is the whole tree).
ResolvedName resolveName(const QString& root, const QString& name, NameKind kind);

// The file-list body for folderPath: every file (links to files included)
// whose name matches mask, in folderPath and, when recursive, below it; names
// relative to folderPath with backslashes, sorted ordinally, ages as local ISO
// times with milliseconds. Files whose time cannot be read are left out.
QByteArray folderListBody(const QString& folderPath, const QString& mask, bool recursive);

// The HTTP front of the file server: GET /folderlist and GET /download over a
// folder, on a worker pool with keep-alive.
class FileServer {
public:
    using LogLine = std::function<void(const QString&)>;

    FileServer(const QString& root, int workerThreads, LogLine log);
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    // Binds host:port; port 0 takes any free one. Returns the port, or -1.
    int bind(const QString& host, int port);
    // Serves until stop(); returns false when serving could not start.
    bool listen();
    // Safe from any thread; listen() then returns. Has no effect before
    // isRunning() is true.
    void stop();
    bool isRunning() const;

private:
    void installRoutes();

    QString m_root;
    LogLine m_log;
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace fileserver
