#include "file_catalogue.h"

#include "fileserver/iso_date_time.h"
#include "served_root.h"

#include <QDateTime>
#include <QFile>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

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

constexpr qint64 unixEpochJulianDay = 2440588;

// The age of a last-write time exactly as platform::tryReadFileAge gives it
// (local time with the offset of the moment of the scan, cut to the millisecond).
platform::TDateTime ageOf(const struct stat& st, qint64 utcOffsetMs) {
    const qint64 localMs =
        static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000 + utcOffsetMs;
    qint64 days = localMs / platform::MSecsPerDay;
    qint64 msecOfDay = localMs % platform::MSecsPerDay;
    if (msecOfDay < 0) {
        msecOfDay += platform::MSecsPerDay;
        --days;
    }
    return platform::encodeDateTime(QDate::fromJulianDay(unixEpochJulianDay + days), msecOfDay);
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

constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

} // namespace

bool maskMatches(const QString& mask, const QString& name) {
    if (mask.isEmpty() || mask == QLatin1StringView("*") || mask == QLatin1StringView("*.*"))
        return true;
    return wildcardMatch(mask, name);
}

FileCatalogue::FileCatalogue(const QString& rootPath, int rootFd)
    : m_rootPath(rootPath), m_rootFd(rootFd) {}

FileCatalogue::~FileCatalogue() {
    if (m_inotify >= 0)
        ::close(m_inotify);
}

bool FileCatalogue::watching() {
    const std::lock_guard lock(m_mutex);
    return m_watching;
}

bool FileCatalogue::treeChanged() {
    if (!m_scanned || !m_watching)
        return true;
    // Ages are local times: when the clock's offset changes (daylight saving),
    // every age changes with it, as it does on the share.
    if (static_cast<qint64>(QDateTime::currentDateTime().offsetFromUtc()) * 1000 != m_utcOffsetMs)
        return true;
    alignas(inotify_event) char buffer[16 * 1024];
    bool changed = false;
    for (;;) {
        const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n > 0) {
            changed = true; // any event at all: drain them, then read the tree once
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return changed || (n < 0 && errno != EAGAIN);
    }
}

void FileCatalogue::scan() {
    // A fresh watch set for each reading: closing the old one drops its watches.
    // Events that arrive while the tree is read mark it changed for next time.
    if (m_inotify >= 0)
        ::close(m_inotify);
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_watching = m_inotify >= 0;
    m_entries.clear();
    m_answers.clear();
    m_utcOffsetMs = static_cast<qint64>(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
    const int fd = ::openat(m_rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("the served folder cannot be read");
    scanFolder(fd, QByteArray(), QString());
    std::sort(m_entries.begin(), m_entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    m_scanned = true;
}

// Takes ownership of dirFd.
void FileCatalogue::scanFolder(int dirFd, const QByteArray& relative, const QString& name) {
    if (m_watching) {
        const QByteArray path =
            QFile::encodeName(m_rootPath) + (relative.isEmpty() ? QByteArray() : "/" + relative);
        if (::inotify_add_watch(m_inotify, path.constData(), watchedEvents) < 0)
            m_watching = false; // out of watches: read the tree for every listing
    }
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    struct Folder {
        QByteArray entry, relative;
        QString name;
    };
    std::vector<Folder> folders;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray entry(e->d_name);
        if (entry == "." || entry == "..")
            continue;
        const QByteArray entryRelative = relative.isEmpty() ? entry : relative + '/' + entry;
        const QString entryName =
            name.isEmpty() ? QFile::decodeName(entry) : name + u'\\' + QFile::decodeName(entry);
        unsigned char type = e->d_type;
        struct stat st {};
        if (type == DT_UNKNOWN) {
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISLNK(st.st_mode) ? DT_LNK
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            folders.push_back({entry, entryRelative, entryName});
        } else if (type == DT_REG) {
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                m_entries.push_back({entryName, entryName.size() - QFile::decodeName(entry).size(),
                                     ageOf(st, m_utcOffsetMs)});
        } else if (type == DT_LNK) {
            // Listed only when a download would serve it: it must end at a
            // regular file beneath the root.
            FileDescriptor target(
                openBeneath(m_rootFd, entryRelative, O_PATH | O_CLOEXEC));
            if (target.valid() && ::fstat(target.get(), &st) == 0 && S_ISREG(st.st_mode))
                m_entries.push_back({entryName, entryName.size() - QFile::decodeName(entry).size(),
                                     ageOf(st, m_utcOffsetMs)});
        }
    }
    const int parentFd = ::dirfd(dir);
    for (const Folder& f : folders) {
        const int fd = ::openat(parentFd, f.entry.constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            scanFolder(fd, f.relative, f.name);
    }
    ::closedir(dir);
}

std::shared_ptr<const Listing> FileCatalogue::listing(const QString& folder, const QString& mask,
                                                      bool recursive) {
    const std::lock_guard lock(m_mutex);
    if (treeChanged())
        scan();
    const QString key = folder + u'\0' + mask + (recursive ? u'r' : u'-');
    if (const auto it = m_answers.find(key); it != m_answers.end())
        return it->second;

    QString prefix = folder;
    prefix.replace(u'/', u'\\');
    if (!prefix.isEmpty())
        prefix += u'\\';
    const auto first = std::lower_bound(m_entries.begin(), m_entries.end(), prefix,
                                        [](const Entry& e, const QString& p) { return e.name < p; });
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto it = first; it != m_entries.end() && it->name.startsWith(prefix); ++it) {
        const QStringView relative = QStringView(it->name).sliced(prefix.size());
        if (!recursive && relative.contains(u'\\'))
            continue;
        if (!maskMatches(mask, it->name.sliced(it->fileNameAt)))
            continue;
        nlohmann::ordered_json item;
        item["fileName"] = relative.toString().toStdString();
        item["age"] = dateTimeToIso(it->age).toStdString();
        list.push_back(std::move(item));
    }
    auto answer = std::make_shared<Listing>();
    answer->body = QByteArray::fromStdString(list.dump());
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
