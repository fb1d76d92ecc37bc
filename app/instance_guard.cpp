#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string instanceLockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + name;
    }
    const char* temporary = std::getenv("TMPDIR");
    std::string folder = (temporary != nullptr && temporary[0] == '/') ? temporary : "/tmp";
    return folder + "/" + name + "-" + std::to_string(getuid());
}

InstanceGuardResult acquireInstanceGuard(const std::string& name) {
    std::string path = instanceLockPath(name);
    // Close-on-exec, so that a browser started from the program does not inherit the lock
    // and keep it after the program has ended; no following of links planted in /tmp.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return InstanceGuardResult::Failed;
    }
    int result = 0;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return InstanceGuardResult::Owned;
    }
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? InstanceGuardResult::AlreadyRunning : InstanceGuardResult::Failed;
}
