#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Running a shipped program as a real process, shared by the test programs.
namespace test_process {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs program to its end. A crash gives exit code -1 with what it wrote; a
// program still running after timeoutMs is killed and gives -1 and no output.
inline Outcome
run(const QString& program, const QStringList& arguments, int timeoutMs,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace test_process
