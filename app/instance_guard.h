#pragma once

#include <string>

// The single-instance guard: an exclusive lock on a file named after the guard, per user.
// The lock belongs to the open file, which is never closed, so it is held until the process
// ends, however it ends, and the system then releases it.

enum class InstanceGuardResult {
    Owned,           // this process holds the guard
    AlreadyRunning,  // another process of the same user holds it
    Failed,          // the lock file could not be opened, trusted or locked
};

// The program's guard name, the same for every copy of the same user.
std::string instanceGuardName();

// The lock file for a guard name: in XDG_RUNTIME_DIR when it is set, which is per user by
// itself; otherwise in $HOME/.cache/tarnwick-pico, a folder only the user can write, so
// nobody else can plant the file or a link to it first.
std::string instanceLockPath(const std::string& name);

// The local socket through which a second start asks the running copy to show its window:
// beside the lock file, in the same private folder.
std::string instanceSocketPath(const std::string& name);

// Takes the guard. On Owned the descriptor stays open (and out of child processes) for the
// rest of the process; otherwise nothing is left open. On Failed, problem (when given)
// says why, for a person to read.
InstanceGuardResult acquireInstanceGuard(const std::string& name, std::string* problem = nullptr);
