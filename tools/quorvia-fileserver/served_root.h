#pragma once

#include "platform/file_descriptor.h"
#include "platform/file_ops.h"

#include <QString>
#include <QStringList>

#include <memory>

#include <dirent.h>
#include <sys/stat.h>

namespace fileserver {

using platform::FileDescriptor;

struct CloseDirectory {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

// The entries of the folder open as folder, which the listing then owns; null
// with errno set when it cannot be listed (the descriptor is closed then).
Directory listDirectory(FileDescriptor folder);

enum class NameKind { File, Folder };

struct ResolvedName {
    enum class Outcome { Found, NotFound, Forbidden };
    Outcome outcome = Outcome::NotFound;
    QString path;      // the full local path when found
    QString relative;  // below the root as spelled on disk, "/" separators, empty for the root
    FileDescriptor fd; // the checked object, open for reading; serve from this, never from path
    struct stat info {};
    int error = 0; // errno of a failure that is neither "missing" nor "outside"
};

// Names are opened beneath the root by the kernel (see platform::openBeneath).
using platform::openBeneath;

// The served folder, opened once. Names from clients are resolved beneath it
// without regard to letter case, as a share on a Windows server would resolve
// them; what is found is opened and checked there, so a link swapped in between
// a check and a read can never lead outside.
class ServedRoot {
public:
    // Throws std::runtime_error with the reason when the folder cannot be opened.
    explicit ServedRoot(const QString& path);

    const QString& path() const { return m_path; }
    int fd() const { return m_fd.get(); }

    // Names use backslash or slash separators. Names that leave the root (a ".."
    // part, an absolute path, a drive, a network path, a link that points
    // outside) are Forbidden. A folder name may start with one separator, meaning
    // the root itself ("\" is the whole tree).
    ResolvedName resolve(const QString& name, NameKind kind) const;

private:
    // The parts spelled as on disk ("/" separators); null when a part is
    // missing (result tells when it leads outside).
    QByteArray spellAsOnDisk(const QStringList& parts, ResolvedName& result) const;
    ResolvedName checked(ResolvedName result, const QByteArray& onDisk, NameKind kind) const;

    QString m_path;
    FileDescriptor m_fd;
};

// One-off resolution below root (opens the root each time).
ResolvedName resolveName(const QString& root, const QString& name, NameKind kind);

} // namespace fileserver
