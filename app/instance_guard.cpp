#include "app/instance_guard.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char* runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return (runtime != nullptr && runtime[0] == '/') ? runtime : nullptr;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    const passwd* user = getpwuid(getuid());
    return (user != nullptr && user->pw_dir != nullptr) ? user->pw_dir : "";
}

std::string privateFolder() {
    return homeFolder() + "/.cache/tarnwick-pico";
}

InstanceGuardResult fail(std::string* problem, const std::string& why) {
    if (problem != nullptr) {
        *problem = why;
    }
    return InstanceGuardResult::Failed;
}

// The folder must be the user's own and closed to everyone else; a link is not followed.
bool makePrivateFolder(const std::string& folder, std::string& why) {
    const std::string cache = folder.substr(0, folder.rfind('/'));
    mkdir(cache.c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        why = "the folder " + folder + " cannot be made (" + std::strerror(errno) + ")";
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != getuid() || (status.st_mode & 0022) != 0) {
        why = "the folder " + folder + " is not a folder of this user's own";
        return false;
    }
    return true;
}

}  // namespace

std::string instanceGuardName() {
    // Made of two parts, as it has always been.
    return std::string("__MISTRELSOFT__") + "TARNWICKPICO";
}

std::string instanceLockPath(const std::string& name) {
    if (const char* runtime = runtimeFolder()) {
        return std::string(runtime) + "/" + name;
    }
    return privateFolder() + "/" + name;
}

std::string instanceSocketPath(const std::string& name) {
    return instanceLockPath(name) + ".socket";
}

InstanceGuardResult acquireInstanceGuard(const std::string& name, std::string* problem) {
    std::string why;
    if (runtimeFolder() == nullptr && !makePrivateFolder(privateFolder(), why)) {
        return fail(problem, why);
    }
    std::string path = instanceLockPath(name);
    // Close-on-exec, so that a browser started from the program does not inherit the lock
    // and keep it after the program has ended; no following of planted links.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return fail(problem,
                    "the lock file " + path + " cannot be opened (" + std::strerror(errno) + ")");
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != getuid()) {
        close(fd);
        return fail(problem, "the lock file " + path + " belongs to another user");
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
    if (error == EWOULDBLOCK) {
        return InstanceGuardResult::AlreadyRunning;
    }
    return fail(problem,
                "the lock file " + path + " cannot be locked (" + std::strerror(error) + ")");
}
