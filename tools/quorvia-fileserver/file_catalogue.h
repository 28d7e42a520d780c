#pragma once

#include "platform/datetime.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace fileserver {

// Windows-style file mask: "*" any run of characters, "?" exactly one, compared
// without regard to case. An empty mask, "*" and "*.*" take every name.
bool maskMatches(const QString& mask, const QString& name);

// One answer to a folder listing, shared by every request that asks the same
// while the tree is unchanged.
struct Listing {
    QByteArray body;
    QByteArray etag; // changes whenever the body does
};

// The regular files below a served folder, kept in memory and read again only
// when the tree has changed since the last listing (inotify watches every
// folder; without watches, every listing reads the tree). A file is listed when
// a download of it would be served: regular files, and links to regular files
// that stay inside the folder; FIFOs, devices, links that lead out and linked
// folders are not.
class FileCatalogue {
public:
    // rootFd stays owned by the caller and must outlive the catalogue.
    FileCatalogue(const QString& rootPath, int rootFd);
    ~FileCatalogue();
    FileCatalogue(const FileCatalogue&) = delete;
    FileCatalogue& operator=(const FileCatalogue&) = delete;

    // The file-list body for folder (below the root as spelled on disk, "/"
    // separators, empty for the root): names relative to it with backslashes,
    // sorted ordinally, ages as local ISO times with milliseconds.
    std::shared_ptr<const Listing> listing(const QString& folder, const QString& mask,
                                           bool recursive);

    // Whether changes are noticed through watches (else each listing reads the tree).
    bool watching();

private:
    struct Entry {
        QString name; // relative to the root, backslash separators
        qsizetype fileNameAt;
        platform::TDateTime age;
    };

    bool treeChanged();
    void scan();
    void scanFolder(int dirFd, const QByteArray& relative, const QString& name);

    QString m_rootPath;
    int m_rootFd;
    std::mutex m_mutex;
    int m_inotify = -1;
    bool m_scanned = false;
    bool m_watching = false;
    qint64 m_utcOffsetMs = 0;
    std::vector<Entry> m_entries;
    std::map<QString, std::shared_ptr<const Listing>> m_answers;
};

// The file-list body for folderPath read afresh (see FileCatalogue::listing).
QByteArray folderListBody(const QString& folderPath, const QString& mask, bool recursive);

} // namespace fileserver
