#include "app/instance_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/app/scoped_env.h"

namespace {

TEST(InstanceLockPath, UsesTheRuntimeDirectoryOrAPrivateFolderInTheHome) {
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(instanceLockPath("__MISTRELSOFT__TARNWICKPICO"),
                  "/run/user/1000/__MISTRELSOFT__TARNWICKPICO");
    }
    ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(instanceLockPath("G"), "/home/someone/.cache/tarnwick-pico/G");
}

class InstanceGuard : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-guard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        runtime_ = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", folder_.c_str());
    }
    void TearDown() override {
        runtime_.reset();
        std::filesystem::remove_all(folder_);
    }

    std::string folder_;
    std::unique_ptr<ScopedEnv> runtime_;
};

TEST_F(InstanceGuard, SecondTakerIsRefusedUntilTheHolderLetsGo) {
    // Another holder, as a running program holds it: its own open file with the lock on it.
    int holder = open(instanceLockPath("GUARD").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(acquireInstanceGuard("GUARD"), InstanceGuardResult::AlreadyRunning);
    // Another name is another guard.
    EXPECT_EQ(acquireInstanceGuard("OTHER"), InstanceGuardResult::Owned);

    // What the system does when the holder's process ends.
    close(holder);
    EXPECT_EQ(acquireInstanceGuard("GUARD"), InstanceGuardResult::Owned);
    // Held for good by this process now.
    EXPECT_EQ(acquireInstanceGuard("GUARD"), InstanceGuardResult::AlreadyRunning);
    int late = open(instanceLockPath("GUARD").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(late, 0);
    EXPECT_NE(flock(late, LOCK_EX | LOCK_NB), 0);
    close(late);
}

TEST_F(InstanceGuard, UntrustworthyPlacesFailWithAReason) {
    std::string problem;
    {
        ScopedEnv missing("XDG_RUNTIME_DIR", (folder_ + "/missing").c_str());
        EXPECT_EQ(acquireInstanceGuard("GUARD", &problem), InstanceGuardResult::Failed);
        EXPECT_NE(problem.find("cannot be opened"), std::string::npos) << problem;
    }
    // A link planted in the lock's place is not followed.
    std::filesystem::create_symlink(folder_ + "/elsewhere", instanceLockPath("LINKED"));
    EXPECT_EQ(acquireInstanceGuard("LINKED"), InstanceGuardResult::Failed);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/elsewhere"));

    {
        // Without a runtime folder the home's private folder is made, closed to others.
        ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
        ScopedEnv home("HOME", folder_.c_str());
        EXPECT_EQ(acquireInstanceGuard("HOMED"), InstanceGuardResult::Owned);
        struct stat status {};
        ASSERT_EQ(lstat((folder_ + "/.cache/tarnwick-pico").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
    }
    // A lock file that someone else made first.
    const std::string planted = instanceLockPath("PLANTED");
    int fd = open(planted.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    if (chown(planted.c_str(), getuid() + 1, getgid()) != 0) {
        GTEST_SKIP() << "only a privileged user can give a file away";
    }
    problem.clear();
    EXPECT_EQ(acquireInstanceGuard("PLANTED", &problem), InstanceGuardResult::Failed);
    EXPECT_NE(problem.find("another user"), std::string::npos) << problem;
}

}  // namespace
