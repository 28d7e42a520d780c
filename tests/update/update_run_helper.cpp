// A test-only program that plays "another updater" on an installation folder: it
// takes the installation's lock as the shipped programs do and then either holds
// it until told to let go, or fetches one file through the real share or server
// fetch and then holds the lock until it is killed. It tells the test where it is
// by one line on standard output per step, so a test can kill it at a known
// moment without any hook in the shipped programs.
//
//   update_run_helper hold DIR
//       "locked" once the lock is held; lets go and ends at a line on stdin or EOF.
//   update_run_helper fetch DIR share|url SOURCE NAME AGE
//       "locked", then fetches NAME from the share folder or server SOURCE into DIR,
//       stamped with AGE (a TDateTime), then "fetched" (or "failed MESSAGE") and
//       waits to be killed, still holding the lock.

#include "platform/datetime.h"
#include "platform/errors.h"
#include "update/folder_source.h"
#include "update/installation_lock.h"
#include "update/server_source.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <exception>
#include <unistd.h>

namespace {

void say(const QString& line) {
    QTextStream out(stdout);
    out << line << '\n';
    out.flush();
}

[[noreturn]] void waitToBeKilled() {
    for (;;)
        ::pause();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // Unlike its executable's name, as the launcher's own title is.
    QCoreApplication::setApplicationName(QStringLiteral("Quorvia Test Helper"));
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2)
        return 64;
    TInstallationLock lock(args[1]);
    if (!lock.lock(60'000)) {
        say(QStringLiteral("busy ") + lock.holderDescription());
        return 2;
    }
    say(QStringLiteral("locked"));

    if (args[0] == u"hold") {
        char line[16];
        (void)std::fgets(line, sizeof line, stdin);
        return 0;
    }
    if (args[0] != u"fetch" || args.size() != 6)
        return 64;
    const QString& dir = args[1];
    const QString& source = args[3];
    const QString& name = args[4];
    const platform::TDateTime age = args[5].toDouble();
    try {
        if (args[2] == u"share")
            updateFileFromFolder(source, dir, name, name, age, true);
        else
            updateFileFromServer(source, dir, name, TFileInfoDTO(name, age), true);
        say(QStringLiteral("fetched"));
    } catch (const std::exception& e) {
        say(QStringLiteral("failed ") + platform::errorMessage(e));
    }
    waitToBeKilled();
}
