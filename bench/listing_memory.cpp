// Measures what one folder listing costs in memory: a child process serves a
// file-list body from a file on a loopback port, and this process runs one
// TRESTClientFileList::Execute against it and reports, on one line each:
//   entries          the descriptors read
//   body_bytes       the size of the body
//   descriptors_kib  heap in use after the listing minus before it: what the
//                    descriptors (and their array) need while they are kept
//   rss_before_kib   resident memory before the listing
//   peak_rss_kib     the highest resident memory during the listing
//   peak_growth_kib  peak_rss_kib - rss_before_kib
// Used by listing_bench.sh; it links only the client's public interface, so the
// same source builds against older versions of it.
#include "fileserver/rest_clients.h"

#include <QString>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(2);
}

long statusField(const char* name) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        die("/proc/self/status");
    char line[256];
    long value = -1;
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, length) == 0 && line[length] == ':')
            value = std::strtol(line + length + 1, nullptr, 10);
    std::fclose(f);
    return value;
}

std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Serves the body to every request until killed; writes its port to portPipe.
[[noreturn]] void serve(const char* bodyPath, int portPipe) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0)
        die("listen");
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    const unsigned short port = ntohs(addr.sin_port);
    if (::write(portPipe, &port, sizeof port) != sizeof port)
        die("pipe");
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, std::size_t(n));
        }
        const int body = ::open(bodyPath, O_RDONLY);
        struct stat st {};
        if (body < 0 || ::fstat(body, &st) != 0)
            die(bodyPath);
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                 "Content-Length: " +
                                 std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
        if (::send(client, head.data(), head.size(), MSG_NOSIGNAL) < 0)
            die("send");
        off_t offset = 0;
        while (offset < st.st_size)
            if (::sendfile(client, body, &offset, std::size_t(st.st_size - offset)) <= 0)
                break;
        ::close(body);
        ::close(client);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s BODY_FILE\n", argv[0]);
        return 64;
    }
    struct stat st {};
    if (::stat(argv[1], &st) != 0)
        die(argv[1]);

    // The server runs in a child so that its memory is not counted here.
    int portPipe[2];
    if (::pipe(portPipe) != 0)
        die("pipe");
    const pid_t child = ::fork();
    if (child < 0)
        die("fork");
    if (child == 0)
        serve(argv[1], portPipe[1]);
    unsigned short port = 0;
    if (::read(portPipe[0], &port, sizeof port) != sizeof port)
        die("port");

    long count = -1;
    std::size_t descriptors = 0;
    long before = 0;
    long peak = 0;
    QString failure;
    {
        TRESTClientFileList client(QStringLiteral("http://127.0.0.1:%1").arg(port));
        const std::size_t heapBefore = heapInUse();
        before = statusField("VmRSS");
        // Starts the peak count afresh from here (Linux 4.0 and later).
        const int clear = ::open("/proc/self/clear_refs", O_WRONLY);
        if (clear < 0 || ::write(clear, "5", 1) != 1)
            die("/proc/self/clear_refs");
        ::close(clear);
        try {
            client.Execute(QStringLiteral("\\"), QStringLiteral("*.*"), true);
            count = client.Count();
        } catch (const std::exception& e) {
            failure = QString::fromLocal8Bit(e.what());
        }
        descriptors = heapInUse() - heapBefore;
        peak = statusField("VmHWM");
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "listing failed: %s\n", qPrintable(failure));
        return 1;
    }
    std::printf("entries %ld\nbody_bytes %lld\ndescriptors_kib %zu\nrss_before_kib %ld\n"
                "peak_rss_kib %ld\npeak_growth_kib %ld\n",
                count, static_cast<long long>(st.st_size), descriptors / 1024, before, peak,
                peak - before);
    return 0;
}
