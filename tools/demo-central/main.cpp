// quorvia-demo-central CENTRAL MODULE_PROGRAM NAME...
//
// Makes CENTRAL a central copy for the demo: a placeholder for every shared
// support file, and MODULE_PROGRAM copied under each module NAME. Every file gets
// one fixed time, as files published to a share would have.
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/shared_files.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTextStream>

namespace {

const platform::TDateTime PublishedAge = platform::encodeDateTime(2022, 6, 23, 75'025'000);

void place(const QString& path) {
    platform::createFolders(platform::folderOf(path));
    platform::stampFileAge(path, PublishedAge);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    QTextStream err(stderr);
    if (args.size() < 2) {
        err << "usage: quorvia-demo-central CENTRAL MODULE_PROGRAM NAME...\n";
        return 64;
    }
    const QString central = args.at(0);
    const QString program = args.at(1);
    try {
        platform::createFolders(central);
        QSet<QString> done;
        for (const QString& name : AdditionalFiles) {
            if (done.contains(platform::fileKey(name)))
                continue;
            done.insert(platform::fileKey(name));
            const QString path = platform::joinPath(central, name);
            platform::createFolders(platform::folderOf(path));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                throw platform::EInOutError(file.errorString());
            file.write(QStringLiteral("Demo placeholder for %1\n").arg(name).toUtf8());
            file.close();
            place(path);
        }
        for (const QString& module : args.mid(2)) {
            const QString path = platform::joinPath(central, module);
            if (platform::fileExists(path))
                platform::deleteFile(path);
            platform::copyFileNoOverwrite(program, path);
            place(path);
        }
    } catch (const platform::Exception& error) {
        err << error.message() << '\n';
        return 2;
    }
    return 0;
}
