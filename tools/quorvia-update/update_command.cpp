#include "update_command.h"

#include "command_line.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/files_updater.h"
#include "update/installation_lock.h"
#include "update/server_settings.h"
#include "update/shared_files.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTextStream>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include <sys/stat.h>

namespace {

const QString DirOption = QStringLiteral("dir");
const QString ShareOption = QStringLiteral("share");
const QString UrlOption = QStringLiteral("url");
const QString ModuleOption = QStringLiteral("module");
const QString SharedFilesOption = QStringLiteral("shared-files");
const QString JsonOption = QStringLiteral("json");
const QString WaitOption = QStringLiteral("wait");

} // namespace

void addUpdateOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Refreshes an installation folder from its central copy: the module executable\n"
        "and/or the shared support files whose central copy differs in time.\n"
        "\n"
        "Exit codes: 0 everything asked for is current, 1 some file failed or the module\n"
        "is in neither copy, 2 the run could not be prepared (folder missing, listing\n"
        "failed or refused by the server, another run held the folder past --wait),\n"
        "3 no source configured, 64 wrong usage."));
    parser.addOptions({
        {DirOption, QStringLiteral("The installation folder (default: the current folder)."),
         QStringLiteral("DIR")},
        {ShareOption, QStringLiteral("The share folder, in place of \"Local Exe\" of Quorvia.ini."),
         QStringLiteral("PATH")},
        {UrlOption, QStringLiteral("The file-server address, in place of \"url\" of Quorvia.ini."),
         QStringLiteral("URL")},
        {ModuleOption, QStringLiteral("Refresh this module executable (name relative to DIR)."),
         QStringLiteral("NAME")},
        {SharedFilesOption, QStringLiteral("Refresh the shared support files.")},
        {JsonOption, QStringLiteral("Print the summary as one JSON object.")},
        {WaitOption,
         QStringLiteral("Wait this long for another run on the folder to end (default 120)."),
         QStringLiteral("SECONDS"), QStringLiteral("120")},
    });
}

std::variant<UpdateCommandOptions, QString> updateOptionsFrom(const QCommandLineParser& parser) {
    // A variable that expanded to nothing must not turn into the current folder
    // or into "no module".
    for (const QString& name : {DirOption, ModuleOption})
        if (parser.isSet(name) && command_line::trimmedValue(parser, name).isEmpty())
            return QStringLiteral("--%1 needs a value that is not blank").arg(name);
    UpdateCommandOptions options;
    options.dir = command_line::trimmedValue(parser, DirOption);
    if (parser.isSet(ShareOption))
        options.share = command_line::trimmedValue(parser, ShareOption);
    if (parser.isSet(UrlOption))
        options.url = command_line::trimmedValue(parser, UrlOption);
    options.module = command_line::trimmedValue(parser, ModuleOption);
    options.sharedFiles = parser.isSet(SharedFilesOption);
    options.json = parser.isSet(JsonOption);
    bool waitOk = false;
    options.waitSeconds = command_line::trimmedValue(parser, WaitOption).toInt(&waitOk);
    if (!waitOk || options.waitSeconds < 0)
        return QStringLiteral("--wait takes a number of seconds, not '%1'")
            .arg(parser.value(WaitOption));
    if (options.module.isEmpty() && !options.sharedFiles)
        return QStringLiteral("nothing to do: give --module NAME, --shared-files or both");
    return options;
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
    nlohmann::ordered_json object = {{"checked", summary.checked},     {"stale", summary.stale},
                                     {"fetched", summary.fetched},     {"failed", summary.failed},
                                     {"elapsedMs", summary.elapsedMs}, {"failures", failures}};
    if (!summary.missingModule.isEmpty())
        object["missingModule"] = summary.missingModule.toStdString();
    if (summary.refused)
        object["refused"] = {{"status", summary.refused->status},
                             {"error", summary.refused->error.toStdString()},
                             {"detail", summary.refused->detail.toStdString()}};
    return QString::fromStdString(object.dump());
}

int exitCodeFor(const RunSummary& summary) {
    if (summary.refused)
        return exit_codes::NotPrepared;
    if (summary.failed != 0 || !summary.missingModule.isEmpty())
        return exit_codes::SomeFailed;
    return exit_codes::AllReplaced;
}

QStringList problemLines(const RunSummary& summary, const QString& installFolder,
                         const QString& source) {
    QStringList lines;
    const QDir folder(installFolder);
    for (const FileFailure& failure : summary.failures)
        lines << folder.filePath(QString(failure.file).replace(u'\\', u'/')) +
                     QStringLiteral(": ") + failure.error;
    if (!summary.missingModule.isEmpty())
        lines << QStringLiteral("%1: not in the central copy %2, nor in %3")
                     .arg(summary.missingModule, source, folder.path());
    if (summary.refused)
        lines << QStringLiteral("%1 refused the listing: status %2, error \"%3\", detail \"%4\"")
                     .arg(source)
                     .arg(summary.refused->status)
                     .arg(summary.refused->error, summary.refused->detail);
    return lines;
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
    void refused(const TFileInfoErrorDTO& record) {
        const std::lock_guard guard(m_lock);
        m_summary.refused = RefusedListing{record.Status(), record.Error(), record.Detail()};
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

namespace {

// The installation folder must exist: a mistyped folder must not become a fresh
// installation. Returns the errno that tells why it is not a folder, or 0.
int folderProblem(const QString& dir) {
    struct stat st {};
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

} // namespace

int runUpdateCommand(const UpdateCommandOptions& options, QTextStream& out, QTextStream& err,
                     bool progress) {
    const QString program = QStringLiteral("quorvia-update: ");
    const QString dir = options.dir.isEmpty() ? QDir::currentPath() : options.dir;
    if (const int problem = folderProblem(dir); problem != 0) {
        err << program << "installation folder " << platform::pathDetail(dir, problem) << '\n';
        return exit_codes::NotPrepared;
    }
    ServerSettings settings = readServerSettings(dir);
    if (options.share)
        settings.remotePath =
            options.share->isEmpty() ? QString() : platform::withTrailingSeparator(*options.share);
    if (options.url)
        settings.url = *options.url;
    if (hasNoSource(settings)) {
        err << program
            << "No source configured: neither a share folder (\"Local Exe\") nor a server "
               "address (\"url\") in section \"Servidor\" of "
            << QDir(dir).filePath(SettingsFileName) << ", and no --share or --url given.\n";
        return exit_codes::NoSource;
    }
    const QString source = settings.url.isEmpty()
                               ? QStringLiteral("share folder ") + settings.remotePath
                               : QStringLiteral("file server ") + settings.url;

    // The launcher makes the report folder at start-up and the shared support
    // files partly live in it; the server path creates no folders of its own.
    const QString reportFolder = reportFolderOf(settings.localPath);
    if (!platform::directoryExists(reportFolder) && !platform::createFolder(reportFolder)) {
        const int error = errno;
        err << program << "cannot create the report folder "
            << platform::pathDetail(reportFolder, error) << '\n';
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
    observer.listingRefused = [runProgress](const TFileInfoErrorDTO& record) {
        runProgress->refused(record);
    };

    // One run at a time on a folder, whichever process runs it.
    auto lock = std::make_unique<TInstallationLock>(dir);
    try {
        if (!lock->lock(std::min(options.waitSeconds, 24 * 3600) * 1000)) {
            const QString holder = lock->holderDescription();
            err << program << "another update run holds the installation folder "
                << QDir(dir).absolutePath() << " ("
                << (holder.isEmpty() ? QStringLiteral("holder unknown") : holder)
                << "); gave up after " << options.waitSeconds << " s.\n";
            return exit_codes::NotPrepared;
        }
    } catch (const std::exception& e) {
        err << program << platform::errorReport(e) << '\n';
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
        err << program << "the run could not be prepared from the " << source << ": "
            << platform::errorReport(e) << '\n';
        return exit_codes::NotPrepared;
    }
    if (!completed)
        loop.exec();

    RunSummary summary = runProgress->finish();
    summary.elapsedMs = elapsed.elapsed();
    // A module that is in neither copy: had the central copy listed it, it would
    // have been fetched or its failure recorded.
    if (!options.module.isEmpty() && !summary.refused &&
        !platform::fileExists(platform::joinPath(settings.localPath, options.module))) {
        const bool failed = std::any_of(
            summary.failures.cbegin(), summary.failures.cend(), [&](const FileFailure& failure) {
                return platform::fileKey(failure.file) == platform::fileKey(options.module);
            });
        if (!failed)
            summary.missingModule = options.module;
    }
    for (const QString& line : problemLines(summary, settings.localPath, source))
        err << line << '\n';
    err.flush();
    out << (options.json ? summaryJson(summary) : summaryLine(summary)) << '\n';
    out.flush();
    return exitCodeFor(summary);
}
