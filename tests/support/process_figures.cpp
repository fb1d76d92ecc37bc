#include "tests/support/process_figures.h"

#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace figures {

namespace {
long limitValue(rlim_t value) {
    return value == RLIM_INFINITY ? LONG_MAX : static_cast<long>(value);
}

rlim_t kernelOpenFilesCeiling() {
    std::ifstream file("/proc/sys/fs/nr_open");
    unsigned long value = 0;
    return file >> value ? static_cast<rlim_t>(value) : rlim_t{1048576};
}
}  // namespace

std::vector<int> openDescriptorList() {
    std::vector<int> descriptors;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return descriptors;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != own) {
            descriptors.push_back(fd);
        }
    }
    closedir(dir);
    return descriptors;
}

int openDescriptors() {
    return static_cast<int>(openDescriptorList().size());
}

long openFilesLimit() {
    rlimit limit{};
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limitValue(limit.rlim_cur) : -1;
}

long openFilesHardLimit() {
    rlimit limit{};
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limitValue(limit.rlim_max) : -1;
}

long setOpenFiles(long wanted) {
    rlimit limit{};
    if (wanted <= 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return openFilesLimit();
    }
    auto want = static_cast<rlim_t>(wanted);
    if (want <= limit.rlim_max) {
        rlimit lowered = limit;
        lowered.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &lowered);
        return openFilesLimit();
    }
    rlim_t ceiling = std::min(want, kernelOpenFilesCeiling());
    rlimit raised{ceiling, std::max(ceiling, limit.rlim_max)};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        // Not allowed to raise the hard limit: go as far as it lets.
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return openFilesLimit();
}

int openDescriptorsSettlingAt(int expected) {
    int now = openDescriptors();
    for (int i = 0; i < 400 && now != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = openDescriptors();
    }
    return now;
}

}  // namespace figures
