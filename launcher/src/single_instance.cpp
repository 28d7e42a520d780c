#include "launcher/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

// Silent unless asked for (QT_LOGGING_RULES=quorvia.instance.info=true): the program logs nothing.
Q_LOGGING_CATEGORY(lcQuorviaInstance, "quorvia.instance", QtWarningMsg)

namespace launcher {

namespace {
const QByteArray ActivateRequest = QByteArrayLiteral("activate\n");
constexpr int ConnectAttempts = 20;
constexpr int ConnectWaitMs = 250;
} // namespace

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
    : QObject(parent), m_key(key),
      m_lock(std::make_unique<QLockFile>(
          QDir(QDir::tempPath()).filePath(key + QStringLiteral(".lock")))) {
    // Only a dead owner makes the lock stale; a copy may run for weeks.
    m_lock->setStaleLockTime(0);
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_server != nullptr)
        m_server->close();
}

bool SingleInstanceGuard::claim() {
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
    QLocalServer::removeServer(m_key);
    if (!m_server->listen(m_key)) {
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
        socket.connectToServer(m_key);
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
