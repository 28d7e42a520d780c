// The checks and the deletion that guard the local side of a download.

#include "fileserver/rest_clients.h"

#include "platform/file_ops.h"
#include "platform/paths.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace fileserver {

void checkLocalPath(const QString& path) {
    // The limits of the file systems the program was first written for; a path
    // beyond them could not have been created there, and is not created here.
    if (path.size() >= 260)
        throw platform::EPathTooLongException(platform::messages::pathTooLong());
    if (path.contains(QChar(u'\0')))
        throw platform::ENotSupportedException(platform::messages::pathFormatNotSupported());
    if (path.trimmed().isEmpty() || platform::hasInvalidPathChars(path))
        throw platform::EArgumentException(platform::messages::invalidPathChars());
    const QString folder = platform::folderOf(path);
    if (!folder.isEmpty() && !platform::directoryExists(folder))
        throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound());
}

void guardedDeleteFile(const QString& path) {
    checkLocalPath(path);
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) == 0)
        return;
    const int error = errno;
    switch (error) {
    case ENOENT:
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
        throw platform::EInOutError(platform::systemErrorMessage(error));
    default:
        break; // any other failure to delete is left alone
    }
}

} // namespace fileserver
