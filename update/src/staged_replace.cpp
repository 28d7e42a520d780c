#include "update/staged_replace.h"

#include "platform/errors.h"
#include "platform/file_ops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

void removeQuietly(const QString& path) { ::unlink(encoded(path).constData()); }

// Permission bits for the fresh file: those of the file it replaces, or, for a new
// executable, read bits turned into execute bits too.
void applyPermissions(const QString& target, const QString& temporary, bool executable) {
    struct stat targetStat {};
    if (::stat(encoded(target).constData(), &targetStat) == 0 && S_ISREG(targetStat.st_mode)) {
        ::chmod(encoded(temporary).constData(), targetStat.st_mode & 07777);
        return;
    }
    if (!executable)
        return;
    struct stat tempStat {};
    if (::stat(encoded(temporary).constData(), &tempStat) != 0)
        return;
    const mode_t mode = tempStat.st_mode & 07777;
    ::chmod(encoded(temporary).constData(), mode | ((mode & 0444) >> 2));
}

} // namespace

QString stagedTemporaryPath(const QString& target) {
    const QString folder = platform::folderOf(target);
    const QString name = target.mid(folder.size() + (folder.isEmpty() ? 0 : 1));
    const QString staged = QStringLiteral(".") + name + QStringLiteral(".quorvia-part");
    return folder.isEmpty() ? staged : folder + u'/' + staged;
}

void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const QString& temporaryPath)>& fetch,
                       bool executable) {
    const QString temporary = stagedTemporaryPath(target);
    removeQuietly(temporary); // the leftover of an interrupted run, if any
    try {
        fetch(temporary);
        if (!platform::fileExists(temporary))
            throw platform::EInOutError(QStringLiteral("The fetched file was not written"));
        applyPermissions(target, temporary, executable);
        platform::stampFileAge(temporary, age);
        if (::rename(encoded(temporary).constData(), encoded(target).constData()) != 0) {
            const int error = errno;
            throw platform::EInOutError(platform::systemErrorMessage(error),
                                        platform::pathDetail(target, error));
        }
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
}
