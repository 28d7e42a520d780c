#include "file_catalogue.h"

#include "fileserver/file_list_json.h"
#include "platform/file_ops.h"
#include "platform/sha256.h"
#include "served_root.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileserver {

namespace {

bool wildcardMatch(QStringView mask, QStringView name) {
    // Iterative match with one backtrack point per "*": linear in practice.
    qsizetype m = 0, n = 0, starAt = -1, resumeAt = 0;
    while (n < name.size()) {
        if (m < mask.size() &&
            (mask[m] == u'?' ||
             (mask[m] != u'*' && mask[m].toCaseFolded() == name[n].toCaseFolded()))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == u'*') {
            starAt = m++;
            resumeAt = n;
        } else if (starAt >= 0) {
            m = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == u'*')
        ++m;
    return m == mask.size();
}

QByteArray etagOf(const QByteArray& body) {
    // FNV-1a: the tag only has to change with the body.
    quint64 hash = 14695981039346656037ULL;
    for (const char c : body) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return "\"L" + QByteArray::number(hash, 16) + '-' + QByteArray::number(body.size(), 16) + '"';
}

// IN_DONT_FOLLOW only for watches set by name: a watch set through the
// descriptor's /proc link must follow that link to the folder that was read.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                   IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                   IN_ONLYDIR;

using SteadyClock = std::chrono::steady_clock;

// How long changes reported by inotify must have been quiet before the
// background care reads the tree (a listing reads it at once).
constexpr auto settleTime = std::chrono::milliseconds(300);
// A write stamps the change time when it begins, not when it ends: a file
// whose change time is this recent may still be under a write that began
// before we looked (one large write, or one held back while the system writes
// dirty pages out, which pauses a writer up to 200 ms at a time), and is read
// only once it is older.
constexpr auto writeSettle = std::chrono::milliseconds(250);
// A version seen unchanged for this long is taken as settled whatever its
// change time says (a file server whose clock runs ahead of ours).
constexpr auto observedSettled = std::chrono::seconds(2);
// How long a hashing waits for a version just made to settle; beyond, it is
// left owed and tried again later.
constexpr auto settleWait = writeSettle + std::chrono::milliseconds(100);
constexpr std::size_t hashBufferBytes = 128 * 1024;

qint64 nanoseconds(const timespec& t) {
    return static_cast<qint64>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Adds a watch on the folder open as dirFd. Returns false when it could not be
// watched (mostly: the system has no watch to spare).
bool addWatch(int inotify, int dirFd, const QByteArray& path) {
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(dirFd);
    if (::inotify_add_watch(inotify, link.constData(), watchedEvents) >= 0)
        return true;
    if (errno == ENOSPC || errno == ENOMEM)
        return false;
    // Without /proc: by name, which names the same folder unless it was just
    // swapped (the swap is an event of the parent's watch).
    return ::inotify_add_watch(inotify, path.constData(), watchedEvents | IN_DONT_FOLLOW) >= 0;
}

struct HashJob {
    QByteArray onDisk;
    FileVersion version;
    SteadyClock::time_point firstSeen;
    enum class Outcome { Known, Unreadable, Changed, Unsettled, Cancelled };
    Outcome outcome = Outcome::Cancelled;
    QByteArray digest;
};

// How long until the version of info is settled at now (0 or less: it is):
// no write is under way any more, and one that begins later gets another
// change time (file systems stamp changes from the coarse clock, so a change
// time before its reading cannot recur).
qint64 nanosecondsToSettle(const struct stat& info, const timespec& now, const HashJob& job) {
    if (SteadyClock::now() - job.firstSeen >= observedSettled)
        return 0;
    return nanoseconds(info.st_ctim) + std::chrono::nanoseconds(writeSettle).count() -
           nanoseconds(now) + 1;
}

// Reads the file of job beneath rootFd for its digest. A digest is kept only
// when the descriptor shows the job's version before and after the reading, and
// that version was settled before the reading began: a change during the
// reading then shows in the second look.
HashJob::Outcome hashOne(int rootFd, HashJob& job, char* buffer, const std::atomic<bool>& cancelled,
                         std::atomic<quint64>& hashed) {
    using Outcome = HashJob::Outcome;
    const FileDescriptor fd(
        openBeneath(rootFd, job.onDisk, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return errno == EACCES || errno == EPERM ? Outcome::Unreadable : Outcome::Changed;
    const auto waitUntil = SteadyClock::now() + settleWait;
    struct stat before {};
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        platform::letTruncationsEnd(fd.get());
        if (::fstat(fd.get(), &before) != 0)
            return Outcome::Unreadable;
        if (!S_ISREG(before.st_mode) || !(FileVersion::of(before) == job.version) ||
            platform::beingTruncated(before))
            return Outcome::Changed;
        const auto wait = std::chrono::nanoseconds(nanosecondsToSettle(before, now, job));
        if (wait <= std::chrono::nanoseconds(0))
            break;
        // Further ahead, the change time is another clock's (a file server's):
        // waiting here would not help, seeing the version unchanged later does.
        if (SteadyClock::now() + wait > waitUntil)
            return Outcome::Unsettled;
        // In short steps: a server that stops does not wait for it.
        const auto awake = SteadyClock::now() + wait;
        while (SteadyClock::now() < awake) {
            if (cancelled)
                return Outcome::Cancelled;
            std::this_thread::sleep_for(std::min<SteadyClock::duration>(
                awake - SteadyClock::now(), std::chrono::milliseconds(10)));
        }
    }
    ++hashed;
    if (job.version.size > static_cast<qint64>(hashBufferBytes))
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    platform::Sha256 sha;
    qint64 total = 0;
    // Up to the version's size: a file that grew or shrank meanwhile shows
    // another version in the second look, so no read has to find the end.
    while (total < job.version.size) {
        if (cancelled)
            return Outcome::Cancelled;
        const ssize_t got = ::read(
            fd.get(), buffer,
            static_cast<std::size_t>(std::min<qint64>(job.version.size - total, hashBufferBytes)));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return Outcome::Unreadable;
        }
        if (got == 0)
            break;
        sha.update(buffer, static_cast<std::size_t>(got));
        total += got;
    }
    struct stat after {};
    platform::letTruncationsEnd(fd.get());
    if (::fstat(fd.get(), &after) != 0 || !(FileVersion::of(after) == job.version) ||
        total != job.version.size)
        return Outcome::Changed;
    job.digest = sha.finish();
    return Outcome::Known;
}

// The jobs on a few threads: reading from the page cache is bound by the
// processor, from a disk by the waiting, and several readers help both.
void runHashJobs(int rootFd, std::vector<HashJob>& jobs, const std::atomic<bool>& cancelled,
                 std::atomic<quint64>& hashed) {
    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        try {
            const std::unique_ptr<char[]> buffer(new char[hashBufferBytes]);
            for (std::size_t i; (i = next++) < jobs.size();) {
                if (cancelled)
                    return;
                try {
                    jobs[i].outcome = hashOne(rootFd, jobs[i], buffer.get(), cancelled, hashed);
                } catch (const std::exception&) {
                    jobs[i].outcome = HashJob::Outcome::Unreadable;
                }
            }
        } catch (const std::bad_alloc&) {
            // No buffer: the jobs left stay owed.
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t threads = std::min<std::size_t>(FileCatalogue::hashThreads(), jobs.size());
    try {
        for (std::size_t t = 1; t < threads; ++t)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: the ones there take all the jobs.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace

FileVersion FileVersion::of(const struct stat& info) {
    FileVersion v;
    v.device = static_cast<quint64>(info.st_dev);
    v.inode = static_cast<quint64>(info.st_ino);
    v.size = static_cast<qint64>(info.st_size);
    v.modifiedNs = nanoseconds(info.st_mtim);
    v.changedNs = nanoseconds(info.st_ctim);
    return v;
}

std::size_t FileVersionHash::operator()(const FileVersion& v) const noexcept {
    quint64 h = 0x9e3779b97f4a7c15ULL;
    for (const quint64 part :
         {v.device, v.inode, static_cast<quint64>(v.size), static_cast<quint64>(v.modifiedNs),
          static_cast<quint64>(v.changedNs)}) {
        h ^= part + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h *= 0xff51afd7ed558ccdULL;
    }
    return static_cast<std::size_t>(h ^ (h >> 33));
}

bool maskMatches(const QString& mask, const QString& name) {
    if (mask.isEmpty() || mask == QLatin1StringView("*") || mask == QLatin1StringView("*.*"))
        return true;
    return wildcardMatch(mask, name);
}

unsigned FileCatalogue::hashThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 2U, 4U);
}

FileCatalogue::FileCatalogue(const QString& rootPath, int rootFd, const DigestMap& known)
    : m_rootPath(rootPath), m_rootFd(rootFd), m_known(known),
      m_published(std::make_shared<const DigestMap>()) {}

FileCatalogue::~FileCatalogue() = default;

QByteArray FileCatalogue::digestOf(const FileVersion& version) const {
    std::shared_ptr<const DigestMap> published;
    {
        const std::lock_guard lock(m_publishedMutex);
        published = m_published;
    }
    const auto it = published->find(version);
    return it == published->end() ? QByteArray() : it->second;
}

DigestMap FileCatalogue::digests() const {
    const std::lock_guard lock(m_publishedMutex);
    return *m_published;
}

// Marks the tree stale when inotify reported anything or the clock's offset
// changed.
void FileCatalogue::pollEvents() {
    if (!m_scanned)
        return;
    bool changed = false;
    // Ages are local times: when the clock's offset changes (daylight saving),
    // every age changes with it, as it does on the share.
    if (platform::currentUtcOffsetMs() != m_utcOffsetMs)
        changed = true;
    if (m_inotify.valid()) {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(m_inotify.get(), buffer, sizeof buffer);
            if (n > 0) {
                changed = true; // any event at all: drain them, then read the tree once
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                changed = true;
            break;
        }
    }
    if (changed) {
        m_stale = true;
        m_lastChange = SteadyClock::now();
    }
}

void FileCatalogue::refresh() {
    scan();
    hashOwed();
}

void FileCatalogue::scan() {
    // A fresh watch set for each reading: closing the old one drops its watches.
    // Events that arrive while the tree is read mark it changed for next time.
    m_inotify.reset();
    m_inotify = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    m_watching = m_inotify.valid();
    m_utcOffsetMs = platform::currentUtcOffsetMs();
    FileDescriptor fd(::openat(m_rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        m_stale = true; // tried again next time
        throw std::runtime_error("the served folder cannot be read");
    }
    std::vector<Entry> entries;
    entries.reserve(m_entries.size());
    WalkTrace trace;
    trace.versions.reserve(m_entries.size());
    walkFolder(std::move(fd), QByteArray(), QString(), &entries, trace);
    m_trace = std::move(trace);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    m_scanned = true;
    m_stale = false;

    // A reading that finds what was there keeps the answers and the digests.
    const bool same =
        std::equal(entries.begin(), entries.end(), m_entries.begin(), m_entries.end(),
                   [](const Entry& a, const Entry& b) {
                       return a.name == b.name && a.version == b.version && a.age == b.age;
                   });
    if (same)
        return;
    m_entries = std::move(entries);
    m_answers.clear();
    const auto now = SteadyClock::now();
    std::unordered_map<FileVersion, VersionState, FileVersionHash> versions;
    versions.reserve(m_entries.size());
    for (const Entry& e : m_entries) {
        if (versions.count(e.version) != 0)
            continue;
        if (const auto old = m_versions.find(e.version); old != m_versions.end()) {
            versions.emplace(e.version, std::move(old->second));
        } else if (const auto found = m_known.find(e.version); found != m_known.end()) {
            versions.emplace(e.version, VersionState{DigestState::Known, found->second, now});
        } else {
            versions.emplace(e.version, VersionState{DigestState::Owed, QByteArray(), now});
        }
    }
    m_versions = std::move(versions);
    m_known = DigestMap(); // only for the first reading
    m_owed = static_cast<std::size_t>(
        std::count_if(m_versions.begin(), m_versions.end(),
                      [](const auto& v) { return v.second.state == DigestState::Owed; }));
    publish();
}

void FileCatalogue::WalkTrace::met(const char* name, unsigned char kind) {
    for (const char* c = name; *c; ++c) {
        names ^= static_cast<unsigned char>(*c);
        names *= 1099511628211ULL;
    }
    names ^= 0x100U + kind; // ends the name, and tells a folder from a file
    names *= 1099511628211ULL;
}

// With entries, collects the listed files of the folder dirFd and sets
// watches; without, only traces the walk (a re-check: no names are made).
void FileCatalogue::walkFolder(FileDescriptor dirFd, const QByteArray& relative,
                               const QString& name, std::vector<Entry>* entries, WalkTrace& trace) {
    if (entries && m_watching) {
        const QByteArray path =
            QFile::encodeName(m_rootPath) + (relative.isEmpty() ? QByteArray() : "/" + relative);
        if (!addWatch(m_inotify.get(), dirFd.get(), path))
            m_watching = false; // out of watches: read the tree for every listing
    }
    const Directory dir = listDirectory(std::move(dirFd));
    if (!dir) {
        trace.met("", 0xff); // an unreadable folder
        return;
    }
    struct Folder {
        QByteArray entry;
        QString name;
    };
    std::vector<Folder> folders;
    const auto relativeOf = [&](const char* entry) {
        return relative.isEmpty() ? QByteArray(entry) : relative + '/' + entry;
    };
    while (const dirent* e = ::readdir(dir.get())) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        unsigned char type = e->d_type;
        struct stat st {};
        if (type == DT_UNKNOWN) {
            if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                trace.met(e->d_name, DT_UNKNOWN);
                continue;
            }
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISLNK(st.st_mode) ? DT_LNK
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        }
        trace.met(e->d_name, type);
        const auto add = [&](const QByteArray& entryRelative) {
            trace.versions.push_back(FileVersion::of(st));
            if (!entries)
                return;
            const QString fileName = QFile::decodeName(e->d_name);
            const QString entryName = name.isEmpty() ? fileName : name + u'\\' + fileName;
            entries->push_back({entryName, entryName.size() - fileName.size(),
                                platform::ageOfFileTime(st.st_mtim, m_utcOffsetMs), entryRelative,
                                FileVersion::of(st)});
        };
        if (type == DT_DIR) {
            folders.push_back({QByteArray(e->d_name),
                               entries
                                   ? (name.isEmpty() ? QFile::decodeName(e->d_name)
                                                     : name + u'\\' + QFile::decodeName(e->d_name))
                                   : QString()});
        } else if (type == DT_REG) {
            if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                add(entries ? relativeOf(e->d_name) : QByteArray());
            else
                trace.versions.push_back(FileVersion());
        } else if (type == DT_LNK) {
            // Listed only when a download would serve it: it must end at a
            // regular file beneath the root.
            const QByteArray entryRelative = relativeOf(e->d_name);
            FileDescriptor target(openBeneath(m_rootFd, entryRelative, O_PATH | O_CLOEXEC));
            if (target.valid() && ::fstat(target.get(), &st) == 0 && S_ISREG(st.st_mode))
                add(entryRelative);
            else
                trace.versions.push_back(FileVersion());
        }
    }
    const int parentFd = ::dirfd(dir.get());
    for (const Folder& f : folders) {
        FileDescriptor fd(::openat(parentFd, f.entry.constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        trace.met(f.entry.constData(), fd.valid() ? 0xfe : 0xfd); // into the folder
        if (fd.valid())
            walkFolder(std::move(fd), relativeOf(f.entry.constData()), f.name, entries, trace);
        trace.met("", 0xfc); // out of it
    }
}

bool FileCatalogue::treeMatches() {
    FileDescriptor fd(::openat(m_rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return false; // the reading that follows says why
    WalkTrace trace;
    trace.versions.reserve(m_trace.versions.size());
    walkFolder(std::move(fd), QByteArray(), QString(), nullptr, trace);
    return trace.names == m_trace.names && trace.versions == m_trace.versions;
}

void FileCatalogue::hashOwed() {
    if (m_owed == 0 || m_cancelled)
        return;
    std::vector<HashJob> jobs;
    jobs.reserve(m_owed);
    std::unordered_map<FileVersion, bool, FileVersionHash> queued;
    for (const Entry& e : m_entries) {
        const auto it = m_versions.find(e.version);
        if (it == m_versions.end() || it->second.state != DigestState::Owed ||
            !queued.emplace(e.version, true).second)
            continue;
        HashJob job;
        job.onDisk = e.onDisk;
        job.version = e.version;
        job.firstSeen = it->second.firstSeen;
        jobs.push_back(std::move(job));
    }
    runHashJobs(m_rootFd, jobs, m_cancelled, m_hashedFiles);
    bool learned = false;
    for (HashJob& job : jobs) {
        VersionState& state = m_versions[job.version];
        switch (job.outcome) {
        case HashJob::Outcome::Known:
            state.state = DigestState::Known;
            state.digest = std::move(job.digest);
            learned = true;
            --m_owed;
            break;
        case HashJob::Outcome::Unreadable:
            state.state = DigestState::Unreadable;
            --m_owed;
            break;
        case HashJob::Outcome::Changed:
            // Another version is there now: the next reading finds it.
            m_stale = true;
            m_lastChange = SteadyClock::now();
            break;
        case HashJob::Outcome::Unsettled:
        case HashJob::Outcome::Cancelled:
            break; // still owed, tried again later
        }
    }
    if (learned) {
        m_answers.clear();
        publish();
    }
}

void FileCatalogue::publish() {
    auto published = std::make_shared<DigestMap>();
    published->reserve(m_versions.size());
    for (const auto& [version, state] : m_versions)
        if (state.state == DigestState::Known)
            published->emplace(version, state.digest);
    const std::lock_guard lock(m_publishedMutex);
    m_published = std::move(published);
}

void FileCatalogue::maintain(bool recheck) {
    const std::lock_guard lock(m_mutex);
    pollEvents();
    if (!m_scanned || (m_stale && SteadyClock::now() - m_lastChange >= settleTime) ||
        (recheck && !treeMatches()))
        refresh();
    else
        hashOwed();
}

std::shared_ptr<const Listing> FileCatalogue::listing(const QString& folder, const QString& mask,
                                                      bool recursive) {
    const std::lock_guard lock(m_mutex);
    pollEvents();
    if (!m_scanned || m_stale || !m_watching)
        refresh();
    else
        hashOwed();
    const QString key = folder + u'\0' + mask + (recursive ? u'r' : u'-');
    if (const auto it = m_answers.find(key); it != m_answers.end())
        return it->second;

    QString prefix = folder;
    prefix.replace(u'/', u'\\');
    if (!prefix.isEmpty())
        prefix += u'\\';
    const auto first =
        std::lower_bound(m_entries.begin(), m_entries.end(), prefix,
                         [](const Entry& e, const QString& p) { return e.name < p; });
    FileListWriter list;
    for (auto it = first; it != m_entries.end() && it->name.startsWith(prefix); ++it) {
        const QStringView relative = QStringView(it->name).sliced(prefix.size());
        if (!recursive && relative.contains(u'\\'))
            continue;
        if (!maskMatches(mask, it->name.sliced(it->fileNameAt)))
            continue;
        // Only what the server can vouch for is offered: a file without a digest
        // (being written, emptied, unreadable) waits for a later listing, so that
        // no workstation takes half a copy for the current file.
        const auto v = m_versions.find(it->version);
        if (v == m_versions.end() || v->second.state != DigestState::Known)
            continue;
        list.append(TFileInfoDTO(relative.toString(), it->age, it->version.size, v->second.digest));
    }
    auto answer = std::make_shared<Listing>();
    answer->body = list.finish();
    answer->etag = etagOf(answer->body);
    // Odd masks must not grow the kept answers without end.
    if (m_answers.size() >= 64)
        m_answers.clear();
    m_answers.emplace(key, answer);
    return answer;
}

QByteArray folderListBody(const QString& folderPath, const QString& mask, bool recursive) {
    const ServedRoot root(folderPath);
    FileCatalogue catalogue(folderPath, root.fd());
    return catalogue.listing(QString(), mask, recursive)->body;
}

} // namespace fileserver
