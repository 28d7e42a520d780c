#include "launcher/single_instance.h"

#include <platform/errors.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

// Silent unless asked for (QT_LOGGING_RULES=quorvia.instance.info=true): the program logs nothing.
Q_LOGGING_CATEGORY(lcQuorviaInstance, "quorvia.instance", QtWarningMsg)

namespace launcher {

namespace {
const QByteArray ActivateRequest = QByteArrayLiteral("activate\n");
constexpr int ConnectAttempts = 20;
constexpr int ConnectWaitMs = 250;

constexpr QFile::Permissions OthersMayAccess = QFile::ReadGroup | QFile::WriteGroup |
                                               QFile::ExeGroup | QFile::ReadOther |
                                               QFile::WriteOther | QFile::ExeOther;

// A folder only this user can reach: anything else would let other people see,
// block or impersonate this person's copies. No link either, which anyone could
// plant in a shared temporary folder.
bool isPrivateFolder(const QFileInfo& info) {
    return !info.isSymLink() && info.isDir() && info.ownerId() == ::geteuid() &&
           (info.permissions() & OthersMayAccess) == 0;
}
} // namespace

QString instanceRegistryFolder() {
    // Qt gives the session's folder (XDG_RUNTIME_DIR) when it is this user's and
    // 0700, else its own "runtime-<user>" in the temporary folder, checked alike;
    // empty when even that one is unusable.
    const QFileInfo runtime(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    if (!runtime.filePath().isEmpty() && isPrivateFolder(runtime))
        return runtime.absoluteFilePath();
    // Someone else holds that name: one more folder of this user alone.
    const QString fallback =
        QDir(QDir::tempPath()).filePath(QStringLiteral("quorvia-arvento-%1").arg(::geteuid()));
    QDir().mkdir(fallback, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QFileInfo info(fallback);
    if (!isPrivateFolder(info))
        throw platform::EInOutError(
            QStringLiteral("No private folder for the single-instance registry: %1").arg(fallback));
    return info.absoluteFilePath();
}

QString instanceKeyFor(const QString& executablePath) {
    const QFileInfo info(executablePath);
    QString path = info.canonicalFilePath();
    if (path.isEmpty())
        path = info.absoluteFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(path.toCaseFolded().toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("quorvia-arvento-") + QString::fromLatin1(digest.toHex().left(24));
}

SingleInstanceGuard::SingleInstanceGuard(const QString& key, QObject* parent)
    : QObject(parent), m_key(key) {}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_server != nullptr)
        m_server->close();
}

bool SingleInstanceGuard::claim() {
    QDir folder;
    try {
        folder.setPath(instanceRegistryFolder());
    } catch (const platform::Exception& error) {
        qCWarning(lcQuorviaInstance) << error.message() << "- running without the guard";
        return true;
    }
    m_serverName = folder.filePath(m_key);
    m_lock = std::make_unique<QLockFile>(folder.filePath(m_key + QStringLiteral(".lock")));
    // Only a dead owner makes the lock stale; a copy may run for weeks.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        startListening();
        qCInfo(lcQuorviaInstance) << "first copy of this program; listening for others";
        return true;
    }
    if (!askFirstCopyToActivate())
        qCWarning(lcQuorviaInstance) << "another copy holds the lock but did not answer";
    return false;
}

void SingleInstanceGuard::startListening() {
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A copy that crashed may have left its socket behind; the lock says we own the name.
    QLocalServer::removeServer(m_serverName);
    if (!m_server->listen(m_serverName)) {
        qCWarning(lcQuorviaInstance)
            << "cannot listen for other copies:" << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                const QByteArray line = socket->readLine();
                if (line == ActivateRequest) {
                    qCInfo(lcQuorviaInstance) << "activation requested by another copy";
                    emit activationRequested();
                }
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstanceGuard::askFirstCopyToActivate() const {
    // The first copy may have taken the lock but not be listening yet.
    for (int attempt = 0; attempt < ConnectAttempts; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(m_serverName);
        if (socket.waitForConnected(ConnectWaitMs)) {
            socket.write(ActivateRequest);
            const bool sent = socket.waitForBytesWritten(ConnectWaitMs * 4);
            // Let the first copy read the request before the connection goes.
            socket.waitForDisconnected(ConnectWaitMs * 4);
            return sent;
        }
        QThread::msleep(ConnectWaitMs / 2);
    }
    return false;
}

} // namespace launcher
