#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/spawned_process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Root may write anywhere, so as root the unpacked program runs as nobody: only then is
// its read-only folder not the user's, as /usr/bin is for everyone else.
constexpr uid_t kNobody = 65534;

bool relaysSoon(int port) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = loopback::connectTo(port, 1s);
        if (fd >= 0) {
            bool echoed =
                loopback::sendAll(fd, "ping", 4) && loopback::receiveExactly(fd, 4) == "ping";
            close(fd);
            return echoed;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

bool appearsSoon(const fs::path& file, SpawnedProcess& program) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline &&
           !program.waitForExit(20ms)) {
    }
    return fs::exists(file);
}

class UnpackedPackage : public testing::Test {
  protected:
    void SetUp() override {
        const char* deb = std::getenv("TARNWICK_PACKAGE_DEB");
        ASSERT_NE(deb, nullptr);
        std::string pattern = fs::temp_directory_path() / "tarnwick-pkg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        // Unpacked here rather than in the build tree, which the unprivileged user may not
        // be able to reach.
        SpawnedProcess unpack({"/usr/bin/dpkg", "-x", deb, (folder_ / "root").string()},
                              {"PATH=/usr/bin:/bin"});
        std::optional<int> status = unpack.waitForExit();
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        chmod((folder_ / "root/usr/bin").c_str(), 0555);
        program_ = (folder_ / "root/usr/bin/tarnwick-pico").string();
        for (const char* sub : {"home", "config", "run"}) {
            fs::create_directory(folder_ / sub);
        }
        chmod((folder_ / "run").c_str(), 0700);
        if (geteuid() == 0) {
            for (const char* sub : {"", "home", "config", "run"}) {
                ASSERT_EQ(chown((folder_ / sub).c_str(), kNobody, kNobody), 0);
            }
        }
    }
    void TearDown() override {
        chmod((folder_ / "root/usr/bin").c_str(), 0755);
        fs::remove_all(folder_);
    }

    // The program (or argument 0 given) as an unprivileged user, headless, with a home,
    // config and lock folder of the test's own.
    std::vector<std::string> command(const std::vector<std::string>& arguments,
                                     const std::string& program = "") const {
        std::vector<std::string> out;
        if (geteuid() == 0) {
            out = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        }
        out.push_back(program.empty() ? program_ : program);
        out.insert(out.end(), arguments.begin(), arguments.end());
        return out;
    }
    std::vector<std::string> environment() const {
        return {"HOME=" + (folder_ / "home").string(),
                "XDG_CONFIG_HOME=" + (folder_ / "config").string(),
                "XDG_RUNTIME_DIR=" + (folder_ / "run").string(), "QT_QPA_PLATFORM=offscreen",
                "PATH=/usr/bin:/bin"};
    }
    fs::path configFile() const { return folder_ / "config/tarnwick-pico/TarnwickPico.ini"; }

    std::string program_;
    fs::path folder_;
};

TEST_F(UnpackedPackage, InstalledCopyKeepsItsSettingsInTheConfigFolderAndRelays) {
    {
        SpawnedProcess first(command({}), environment());
        ASSERT_TRUE(first.started());
        EXPECT_TRUE(appearsSoon(configFile(), first));
        first.signal(SIGTERM);
        ASSERT_TRUE(first.waitForExit());
    }
    struct stat info {};
    ASSERT_EQ(stat(configFile().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(fs::exists(fs::path(program_).parent_path() / "TarnwickPico.ini"));

    loopback::Server echo(loopback::echo);
    int port = loopback::freePort();
    std::ofstream(configFile()) << "[TCP-PORT0]\nACT=1\nPORT=" << port
                                << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << echo.port() << "\n";
    SpawnedProcess relay(command({}), environment());
    ASSERT_TRUE(relay.started());
    EXPECT_TRUE(relaysSoon(port));
    relay.signal(SIGTERM);
    EXPECT_TRUE(relay.waitForExit());
}

TEST_F(UnpackedPackage, HelpAndVersionExitAtOnceWithTheirText) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"--version", "tarnwick-pico 1.0.1.113\n"}, {"--help", "Usage: tarnwick-pico"}};
    for (const auto& [argument, text] : cases) {
        SpawnedProcess program(command({argument}), environment());
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.standardOutput().rfind(text, 0), 0u) << argument;
        std::optional<int> status = program.waitForExit();
        ASSERT_TRUE(status.has_value()) << argument;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << argument;
    }
    EXPECT_TRUE(fs::is_empty(folder_ / "config"));
    EXPECT_TRUE(fs::is_empty(folder_ / "run"));
}

TEST_F(UnpackedPackage, CopyInAWritableFolderStaysPortable) {
    fs::path copy = folder_ / "home/tarnwick-pico";
    fs::copy_file(program_, copy);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(copy.c_str(), kNobody, kNobody), 0);
    }
    SpawnedProcess program(command({}, copy), environment());
    ASSERT_TRUE(program.started());
    EXPECT_TRUE(appearsSoon(folder_ / "home/TarnwickPico.ini", program));
    EXPECT_FALSE(fs::exists(folder_ / "config/tarnwick-pico"));
}

}  // namespace
