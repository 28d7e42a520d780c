#include "update_command.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/files_updater.h"
#include "update/installation_lock.h"
#include "update/server_settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <mutex>

QString updateCommandUsage() {
    return QStringLiteral(
        "Usage: quorvia-update [--dir DIR] [--share PATH] [--url URL] [--module NAME]\n"
        "                      [--shared-files] [--json] [--wait SECONDS]\n"
        "Refreshes an installation folder from its central copy.\n"
        "  --dir DIR        the installation folder (default: the current folder)\n"
        "  --share PATH     the share folder, in place of \"Local Exe\" of Quorvia.ini\n"
        "  --url URL        the file-server address, in place of \"url\" of Quorvia.ini\n"
        "  --module NAME    refresh this module executable (relative name)\n"
        "  --shared-files   refresh the shared support files\n"
        "  --json           print the summary as one JSON object\n"
        "  --wait SECONDS   wait this long for another run on the folder (default 120)\n"
        "Exit codes: 0 all replaced, 1 some failed, 2 run not prepared, 3 no source\n"
        "configured, 64 wrong usage.\n");
}

ParsedCommandLine parseUpdateCommandLine(const QStringList& arguments) {
    ParsedCommandLine parsed;
    auto usageError = [&parsed](const QString& message) {
        parsed.kind = ParsedCommandLine::Kind::UsageError;
        parsed.message = message;
        return parsed;
    };
    UpdateCommandOptions& options = parsed.options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments[i];
        std::optional<QString> inlineValue;
        if (const qsizetype eq = option.indexOf(u'='); option.startsWith(u"--") && eq > 0) {
            inlineValue = option.mid(eq + 1);
            option = option.left(eq);
        }
        auto takeValue = [&]() -> std::optional<QString> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 >= arguments.size())
                return std::nullopt;
            return arguments[++i];
        };
        auto flag = [&](bool& target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };

        if (option == u"--help" || option == u"-h") {
            parsed.kind = ParsedCommandLine::Kind::Help;
            parsed.message = updateCommandUsage();
            return parsed;
        }
        if (option == u"--dir" || option == u"--share" || option == u"--url" ||
            option == u"--module" || option == u"--wait") {
            const std::optional<QString> value = takeValue();
            if (!value)
                return usageError(QStringLiteral("missing value for %1").arg(option));
            if (option == u"--dir")
                options.dir = *value;
            else if (option == u"--share")
                options.share = *value;
            else if (option == u"--url")
                options.url = *value;
            else if (option == u"--wait") {
                bool ok = false;
                options.waitSeconds = value->toInt(&ok);
                if (!ok || options.waitSeconds < 0)
                    return usageError(QStringLiteral("--wait takes a number of seconds"));
            } else
                options.module = *value;
        } else if (option == u"--shared-files") {
            if (!flag(options.sharedFiles))
                return usageError(QStringLiteral("--shared-files takes no value"));
        } else if (option == u"--json") {
            if (!flag(options.json))
                return usageError(QStringLiteral("--json takes no value"));
        } else {
            return usageError(QStringLiteral("unknown argument: %1").arg(arguments[i]));
        }
    }
    parsed.kind = ParsedCommandLine::Kind::Run;
    return parsed;
}

QString summaryLine(const RunSummary& summary) {
    return QStringLiteral("checked %1, stale %2, fetched %3, failed %4, elapsed %5 s")
        .arg(summary.checked)
        .arg(summary.stale)
        .arg(summary.fetched)
        .arg(summary.failed)
        .arg(static_cast<double>(summary.elapsedMs) / 1000.0, 0, 'f', 3);
}

QString summaryJson(const RunSummary& summary) {
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (const FileFailure& failure : summary.failures)
        failures.push_back(
            {{"file", failure.file.toStdString()}, {"error", failure.error.toStdString()}});
    const nlohmann::ordered_json object = {
        {"checked", summary.checked},     {"stale", summary.stale},
        {"fetched", summary.fetched},     {"failed", summary.failed},
        {"elapsedMs", summary.elapsedMs}, {"failures", failures}};
    return QString::fromStdString(object.dump());
}

int exitCodeFor(const RunSummary& summary) {
    return summary.failed == 0 ? exit_codes::AllReplaced : exit_codes::SomeFailed;
}

namespace {

// What the pool threads report while files are fetched.
class RunProgress {
public:
    RunProgress(QTextStream& err, bool showLine) : m_err(err), m_showLine(showLine) {}

    void queued(int checked, int stale) {
        const std::lock_guard guard(m_lock);
        m_summary.checked = checked;
        m_summary.stale = stale;
    }
    void succeeded(const QString& file) {
        const std::lock_guard guard(m_lock);
        ++m_summary.fetched;
        showLine(file);
    }
    void failed(const QString& file, const QString& error) {
        const std::lock_guard guard(m_lock);
        ++m_summary.failed;
        m_summary.failures.append({file, error});
        showLine(file);
    }
    // Only after the completion: every report of the run has come in by then.
    RunSummary finish() {
        const std::lock_guard guard(m_lock);
        if (m_shown)
            m_err << "\r\033[K" << Qt::flush;
        return m_summary;
    }

private:
    void showLine(const QString& file) {
        if (!m_showLine)
            return;
        m_shown = true;
        m_err << "\r\033[K" << (m_summary.fetched + m_summary.failed) << '/' << m_summary.stale
              << ' ' << file << Qt::flush;
    }

    std::mutex m_lock;
    QTextStream& m_err;
    const bool m_showLine;
    bool m_shown = false;
    RunSummary m_summary;
};

} // namespace

int runUpdateCommand(const UpdateCommandOptions& options, QTextStream& out, QTextStream& err,
                     bool progress) {
    const QString dir = options.dir.isEmpty() ? QDir::currentPath() : options.dir;
    // A mistyped folder must not become a fresh installation.
    if (!platform::directoryExists(dir)) {
        err << platform::messages::pathNotFound() << '\n';
        return exit_codes::NotPrepared;
    }
    ServerSettings settings = readServerSettings(dir);
    if (options.share)
        settings.remotePath =
            options.share->isEmpty() ? QString() : platform::withTrailingSeparator(*options.share);
    if (options.url)
        settings.url = *options.url;
    if (hasNoSource(settings)) {
        err << "No source configured: neither a share folder (\"Local Exe\") nor a server "
               "address (\"url\") in section \"Servidor\" of "
            << QDir(dir).filePath(SettingsFileName) << ", and no --share or --url given.\n";
        return exit_codes::NoSource;
    }

    auto runProgress = std::make_shared<RunProgress>(err, progress);
    TUpdateObserver observer;
    observer.filesQueued = [runProgress](int checked, int stale) {
        runProgress->queued(checked, stale);
    };
    observer.fileSucceeded = [runProgress](const QString& file) {
        runProgress->succeeded(file);
    };
    observer.fileFailed = [runProgress](const QString& file, const QString& error) {
        runProgress->failed(file, error);
    };

    // One run at a time on a folder, whichever process runs it.
    auto lock = std::make_unique<TInstallationLock>(dir);
    try {
        if (!lock->lock(std::min(options.waitSeconds, 24 * 3600) * 1000)) {
            const QString holder = lock->holderDescription();
            err << "Another update run holds the installation folder " << QDir(dir).absolutePath()
                << " (" << (holder.isEmpty() ? QStringLiteral("holder unknown") : holder)
                << "); gave up after " << options.waitSeconds << " s.\n";
            return exit_codes::NotPrepared;
        }
    } catch (const std::exception& e) {
        err << platform::errorMessage(e) << '\n';
        return exit_codes::NotPrepared;
    }

    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    bool completed = false;
    try {
        std::shared_ptr<IFilesUpdater> updater = TFilesUpdater::New(
            settings.localPath, settings.remotePath, settings.url,
            [&] {
                completed = true;
                loop.quit();
            },
            observer, std::move(lock));
        updater->Execute(options.module, options.sharedFiles);
    } catch (const std::exception& e) {
        err << platform::errorMessage(e) << '\n';
        return exit_codes::NotPrepared;
    }
    if (!completed)
        loop.exec();

    RunSummary summary = runProgress->finish();
    summary.elapsedMs = elapsed.elapsed();
    for (const FileFailure& failure : summary.failures)
        err << failure.file << ": " << failure.error << '\n';
    err.flush();
    out << (options.json ? summaryJson(summary) : summaryLine(summary)) << '\n';
    out.flush();
    return exitCodeFor(summary);
}
