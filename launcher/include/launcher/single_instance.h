#pragma once

#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

Q_DECLARE_LOGGING_CATEGORY(lcQuorviaInstance)

namespace launcher {

// Lets one copy of the program run per person and executable path (compared
// without regard to case). The first copy holds a lock file and listens on a local
// socket, both in the person's own registry folder (instanceRegistryFolder); a
// later copy of the same person finds the lock taken, asks the first copy to come
// to the front and then gives way. Other people's copies never meet it.
class SingleInstanceGuard : public QObject {
    Q_OBJECT
public:
    // key names the program (normally instanceKeyFor the executable's path).
    explicit SingleInstanceGuard(const QString& key, QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    // True when this copy is the first one and goes on; false when another copy
    // runs (it has been asked to activate itself) and this one must end. Without
    // a private registry folder the copy goes on unguarded (and says so in the
    // log): a person locked out of the suite is worse than a second copy.
    bool claim();

signals:
    // Another copy started from the same executable asked this one to show itself.
    void activationRequested();

private:
    void startListening();
    bool askFirstCopyToActivate() const;

    QString m_key;
    QString m_serverName; // the socket's full path in the registry folder
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

// The name shared by every copy started from executablePath: a digest of the
// canonical path, case-folded.
QString instanceKeyFor(const QString& executablePath);

// The folder where one person's copies find each other: the user's runtime folder
// (the session's XDG_RUNTIME_DIR when it is this user's own and closed to others,
// else Qt's "runtime-<user>" in the temporary folder); when someone else holds
// that name, a folder "quorvia-arvento-<uid>" in the temporary folder, created
// for this user alone (0700). Throws platform::EInOutError when none can be had.
QString instanceRegistryFolder();

} // namespace launcher
