#pragma once

#include "platform/datetime.h"
#include "platform/file_descriptor.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

namespace fileserver {

// Windows-style file mask: "*" any run of characters, "?" exactly one, compared
// without regard to case. An empty mask, "*" and "*.*" take every name.
bool maskMatches(const QString& mask, const QString& name);

// One version of a file: what a change of content always changes. Writing
// sets the change time, which no caller can set back (touch -r puts back only
// the modification time); a replacement has another identity.
struct FileVersion {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    static FileVersion of(const struct stat& info);
    friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

struct FileVersionHash {
    std::size_t operator()(const FileVersion& v) const noexcept;
};

// The SHA-256 digests (32 raw bytes) of the versions a catalogue has read and
// found unchanged while it read them.
using DigestMap = std::unordered_map<FileVersion, QByteArray, FileVersionHash>;

// One answer to a folder listing, shared by every request that asks the same
// while the tree is unchanged.
struct Listing {
    QByteArray body;
    QByteArray etag; // changes whenever the body does
};

// The regular files below a served folder, kept in memory with the size and
// the SHA-256 digest of each. The tree is read again when inotify reports a
// change (inotify watches every folder; without watches, every listing reads
// the tree) and at each maintain() that asks for a re-check (changes that
// inotify cannot see: a file written through a hard link from outside, network
// file systems). A file is hashed once per version: a reading that finds the
// same versions keeps the digests, so a listing costs no hashing.
//
// A file is listed when a download of it would be served: regular files, and
// links to regular files that stay inside the folder; FIFOs, devices, links
// that lead out and linked folders are not. A file whose digest is not known
// (it was being written or emptied while it was read, or it cannot be read) is
// left out until a later reading has it: every listed file has its size and
// SHA-256.
class FileCatalogue {
public:
    // rootFd stays owned by the caller and must outlive the catalogue. Digests
    // in known are taken for the versions they name without reading the files
    // again (the catalogue of the root this one replaces).
    FileCatalogue(const QString& rootPath, int rootFd, const DigestMap& known = {});
    ~FileCatalogue();
    FileCatalogue(const FileCatalogue&) = delete;
    FileCatalogue& operator=(const FileCatalogue&) = delete;

    // The file-list body for folder (below the root as spelled on disk, "/"
    // separators, empty for the root): names relative to it with backslashes,
    // sorted ordinally, ages as local ISO times with milliseconds, sizes and
    // lower-case hex digests. Throws std::runtime_error when the tree cannot be read.
    std::shared_ptr<const Listing> listing(const QString& folder, const QString& mask,
                                           bool recursive);

    // Background care, called every fraction of a second: reads the tree once
    // inotify's changes have settled (or at once when it was never read), when
    // recheck is set, and hashes versions whose digest is still owed.
    void maintain(bool recheck);

    // The digest of version when the catalogue knows it; empty otherwise.
    // Never waits for a reading or a hashing in progress.
    QByteArray digestOf(const FileVersion& version) const;
    // Every digest known now, for a catalogue that takes over from this one.
    DigestMap digests() const;

    // Files read for their digest since the catalogue was made.
    quint64 hashedFiles() const { return m_hashedFiles; }

    // Makes a reading or hashing in progress end soon, and every later one at
    // once (the server is stopping).
    void cancel() { m_cancelled = true; }

    // Threads that read files for their digests when several are owed.
    static unsigned hashThreads();

private:
    struct Entry {
        QString name; // relative to the root, backslash separators
        qsizetype fileNameAt;
        platform::TDateTime age;
        QByteArray onDisk; // relative to the root as on disk, "/" separators
        FileVersion version;
    };
    enum class DigestState { Owed, Known, Unreadable };
    struct VersionState {
        DigestState state = DigestState::Owed;
        QByteArray digest;
        std::chrono::steady_clock::time_point firstSeen;
    };

    // What a walk of the tree met, in the order it met it: every name and kind,
    // and the version of every file. A later walk that meets the same finds the
    // tree unchanged; it costs a readdir per folder and a stat per file, and
    // makes no names.
    struct WalkTrace {
        quint64 names = 14695981039346656037ULL; // FNV-1a
        std::vector<FileVersion> versions;
        void met(const char* name, unsigned char kind);
    };

    void pollEvents();
    void refresh();
    void scan();
    void walkFolder(platform::FileDescriptor dirFd, const QByteArray& relative, const QString& name,
                    std::vector<Entry>* entries, WalkTrace& trace);
    bool treeMatches();
    void hashOwed();
    void publish();

    QString m_rootPath;
    int m_rootFd;
    std::mutex m_mutex; // the reading of the tree and everything below
    platform::FileDescriptor m_inotify;
    bool m_scanned = false;
    bool m_watching = false;
    bool m_stale = false; // the tree changed since it was read
    std::chrono::steady_clock::time_point m_lastChange;
    qint64 m_utcOffsetMs = 0;
    std::vector<Entry> m_entries;
    WalkTrace m_trace; // of the last reading
    std::unordered_map<FileVersion, VersionState, FileVersionHash> m_versions;
    std::size_t m_owed = 0; // versions of m_entries without a digest, still to try
    std::map<QString, std::shared_ptr<const Listing>> m_answers;
    DigestMap m_known; // digests handed over, used by the first reading only

    mutable std::mutex m_publishedMutex; // held only to swap or copy the pointer
    std::shared_ptr<const DigestMap> m_published;

    std::atomic<quint64> m_hashedFiles = 0;
    std::atomic<bool> m_cancelled = false;
};

// The file-list body for folderPath read afresh (see FileCatalogue::listing).
QByteArray folderListBody(const QString& folderPath, const QString& mask, bool recursive);

} // namespace fileserver
