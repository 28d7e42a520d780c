#pragma once

// The boundary of a callback from a C library: nothing the work throws may
// unwind into the library, so an exception ends here and the callback gives
// fallback instead.

namespace fileserver {

template <typename Result, typename Work> Result guarded(Result fallback, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        return fallback;
    }
}

template <typename Work> void guarded(Work&& work) noexcept {
    try {
        work();
    } catch (...) {
        // Nothing to answer: what was under way is dropped.
    }
}

} // namespace fileserver
