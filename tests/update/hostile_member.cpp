// Another member of an installation's group at its worst: watches the folder and
// puts a link to victim in place of every staged temporary the moment it appears.
// Usage: hostile_member FOLDER VICTIM SECONDS. Prints "watching" once it watches,
// and on exit the number of temporaries it replaced.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4)
        return 64;
    const std::string folder = argv[1];
    const char* victim = argv[2];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(argv[3]));
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE) < 0) {
        std::perror("inotify");
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    constexpr char Suffix[] = ".quorvia-part";
    int replaced = 0;
    alignas(inotify_event) char buffer[64 * 1024];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fd{watch, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0)
            continue;
        const ssize_t got = ::read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; got > 0 && at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const std::string name = event->len ? event->name : "";
            if (name.size() <= sizeof Suffix - 1 ||
                name.compare(name.size() - (sizeof Suffix - 1), std::string::npos, Suffix) != 0)
                continue;
            const std::string path = folder + '/' + name;
            if (::unlink(path.c_str()) == 0 && ::symlink(victim, path.c_str()) == 0)
                ++replaced;
        }
    }
    std::printf("%d\n", replaced);
    return 0;
}
