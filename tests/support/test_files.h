#pragma once

#include "platform/datetime.h"
#include "platform/file_ops.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Small file fixtures shared by the test programs.
namespace test_files {

// Writes content to path, creating missing folders, and stamps it with age unless
// age is negative. A fixture that cannot be written ends the test program.
inline void writeFile(const QString& path, const QByteArray& content,
                      platform::TDateTime age = -1.0) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    file.close();
    if (age >= 0)
        platform::stampFileAge(path, age);
}

// The file's content, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The file's age as the update engine reads it, or -1.0 when it has none.
inline platform::TDateTime ageOf(const QString& path) {
    platform::TDateTime age = -1.0;
    platform::tryReadFileAge(path, age);
    return age;
}

} // namespace test_files
