#pragma once

#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

Q_DECLARE_LOGGING_CATEGORY(lcQuorviaInstance)

namespace launcher {

// Lets one copy of the program run per executable path (compared without regard
// to case). The first copy holds a lock file and listens on a local socket; a
// later copy finds the lock taken, asks the first copy to come to the front and
// then gives way.
class SingleInstanceGuard : public QObject {
    Q_OBJECT
public:
    // key names the program (normally instanceKeyFor the executable's path).
    explicit SingleInstanceGuard(const QString& key, QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    // True when this copy is the first one and goes on; false when another copy
    // runs (it has been asked to activate itself) and this one must end.
    bool claim();

signals:
    // Another copy started from the same executable asked this one to show itself.
    void activationRequested();

private:
    void startListening();
    bool askFirstCopyToActivate() const;

    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

// The name shared by every copy started from executablePath: a digest of the
// canonical path, case-folded.
QString instanceKeyFor(const QString& executablePath);

} // namespace launcher
