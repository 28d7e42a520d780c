#pragma once

#include <QString>

#include <deque>
#include <functional>
#include <optional>

// One update run the panel asked for: the module to refresh and start (empty for
// the start-up refresh) and whether the shared support files come along.
struct UpdateRunRequest {
    QString moduleName;
    bool additionalFiles = false;
    bool startsModule = false; // a module click; false for the start-up refresh
    // Called in the main thread once the run's files have all been dealt with.
    std::function<void()> onTerminate;
};

// Keeps update runs from overlapping: one runs at a time, later requests wait in
// order. A module that is already running or waiting is not queued twice, so a
// burst of clicks on one picture starts it once; every other clicked module starts
// once, in click order.
class UpdateRunQueue {
public:
    enum class Admission { StartNow, Queued, AlreadyQueued };

    Admission admit(const UpdateRunRequest& request);

    // The current run is over (completed or failed to start). Returns the next
    // request to start, if any; it becomes the current one.
    std::optional<UpdateRunRequest> finishCurrent();

    bool busy() const { return m_current.has_value(); }
    bool hasWaiting() const { return !m_waiting.empty(); }
    const std::optional<UpdateRunRequest>& current() const { return m_current; }

private:
    static bool sameRun(const UpdateRunRequest& a, const UpdateRunRequest& b);

    std::optional<UpdateRunRequest> m_current;
    std::deque<UpdateRunRequest> m_waiting;
};
