#include "listener.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace fileserver {

namespace {

struct AddressesFree {
    void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};
using Addresses = std::unique_ptr<addrinfo, AddressesFree>;

} // namespace

Listener listenOn(const QString& host, int port) {
    QByteArray name = host.toUtf8();
    if (name.startsWith('[') && name.endsWith(']'))
        name = name.mid(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (const int rc = ::getaddrinfo(name.isEmpty() ? nullptr : name.constData(),
                                     service.constData(), &hints, &found);
        rc != 0)
        throw std::runtime_error("unknown address \"" + name.toStdString() +
                                 "\": " + ::gai_strerror(rc));
    const Addresses addresses(found);
    int error = 0;
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
        platform::FileDescriptor fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!fd.valid()) {
            error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // A queue as deep as the system allows: a rush of workstations at the
        // start of a shift must not see its connections dropped and retried.
        if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 ||
            ::listen(fd.get(), SOMAXCONN) != 0) {
            error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        const int boundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        return {std::move(fd), boundPort};
    }
    throw std::runtime_error("cannot listen on " + host.toStdString() + ':' + std::to_string(port) +
                             ": " + std::strerror(error));
}

} // namespace fileserver
