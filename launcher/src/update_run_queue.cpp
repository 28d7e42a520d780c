#include "launcher/update_run_queue.h"

#include <algorithm>

bool UpdateRunQueue::sameRun(const UpdateRunRequest& a, const UpdateRunRequest& b) {
    return a.startsModule == b.startsModule &&
           a.moduleName.compare(b.moduleName, Qt::CaseInsensitive) == 0 &&
           a.additionalFiles == b.additionalFiles;
}

UpdateRunQueue::Admission UpdateRunQueue::admit(const UpdateRunRequest& request) {
    if (!m_current) {
        m_current = request;
        return Admission::StartNow;
    }
    const auto matches = [&](const UpdateRunRequest& r) {
        return sameRun(r, request);
    };
    if (matches(*m_current) || std::any_of(m_waiting.begin(), m_waiting.end(), matches))
        return Admission::AlreadyQueued;
    m_waiting.push_back(request);
    return Admission::Queued;
}

std::optional<UpdateRunRequest> UpdateRunQueue::finishCurrent() {
    m_current.reset();
    if (m_waiting.empty())
        return std::nullopt;
    m_current = m_waiting.front();
    m_waiting.pop_front();
    return m_current;
}
