#pragma once

#include "platform/file_descriptor.h"

#include <QString>

namespace fileserver {

struct Listener {
    platform::FileDescriptor socket; // listening, non-blocking, closed on exec
    int port = 0;                    // the one bound, also when 0 was asked for
};

// A socket listening on host:port; port 0 takes any free one. Throws
// std::runtime_error with the reason (unknown address, port in use...).
Listener listenOn(const QString& host, int port);

} // namespace fileserver
