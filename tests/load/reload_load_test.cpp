#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/load/load_support.h"
#include "tests/support/spawned_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// The program in a folder of its own, headless, with its lock and socket folder there too.
class ProgramInFolder {
  public:
    explicit ProgramInFolder(const std::string& folder) : folder_(folder) {
        std::filesystem::create_directories(folder + "/run");
        chmod((folder + "/run").c_str(), 0700);
        std::filesystem::copy_file(TARNWICK_PICO_PATH, program());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "XDG_RUNTIME_DIR") {
                environment_.push_back(text);
            }
        }
        environment_.push_back("XDG_RUNTIME_DIR=" + folder + "/run");
    }
    std::string program() const { return folder_ + "/tarnwick-pico"; }
    std::unique_ptr<SpawnedProcess> run(const std::vector<std::string>& arguments) const {
        std::vector<std::string> all{program()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return std::make_unique<SpawnedProcess>(all, environment_,
                                                SpawnOptions{{}, folder_, folder_ + "/err.txt"});
    }

  private:
    std::string folder_;
    std::vector<std::string> environment_;
};

std::string section(int index, int port, int destination) {
    return "[TCP-PORT" + std::to_string(index) + "]\nACT=1\nPORT=" + std::to_string(port) +
           "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(destination) + "\n";
}

bool echoes(int port) {
    const int fd = loopback::connectTo(port, 2s);
    const bool ok =
        fd >= 0 && loopback::sendAll(fd, "x", 1) && loopback::receiveExactly(fd, 1) == "x";
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// Reloads of one forward never refuse or reset a connection on another, and the changed
// forward's live connections all go on to their end.
TEST(ReloadLoad, AnUnchangedForwardRefusesNobodyWhileAnotherIsReloaded) {
    std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-reload-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string folder = pattern;
    loopback::Server first{loopback::echo};
    loopback::Server second{loopback::echo};
    const int unchanged = loopback::freePort();
    int changed = loopback::freePort();
    int moved = loopback::freePort();
    for (int tries = 0;
         tries < 50 && (changed == unchanged || moved == unchanged || moved == changed); ++tries) {
        changed = loopback::freePort();
        moved = loopback::freePort();
    }
    const std::string ini = folder + "/TarnwickPico.ini";
    auto write = [&](int port, int destination) {
        std::ofstream(ini + ".next")
            << section(0, unchanged, first.port()) + section(1, port, destination);
        std::filesystem::rename(ini + ".next", ini);
    };
    write(changed, first.port());
    ProgramInFolder copy(folder);
    std::unique_ptr<SpawnedProcess> relay = copy.run({});
    ASSERT_TRUE(relay->started());
    const auto upBy = load::Clock::now() + 20s;
    while (!(echoes(unchanged) && echoes(changed)) && load::Clock::now() < upBy) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(echoes(unchanged) && echoes(changed));

    std::vector<int> live;
    for (int i = 0; i < 20; ++i) {
        live.push_back(loopback::connectTo(changed, 10s));
        ASSERT_GE(live.back(), 0);
    }

    // The probe: four threads, each opening a connection every 2 ms (2,000 a second in
    // all), each echoing a byte.
    std::atomic<bool> probing{true};
    std::atomic<int> opened{0};
    std::atomic<int> refused{0};
    std::atomic<int> broken{0};
    const auto probeStart = load::Clock::now();
    auto probeLoop = [&] {
        auto next = load::Clock::now();
        while (probing) {
            next += 2ms;
            const int fd = loopback::connectTo(unchanged, 5s);
            if (fd < 0) {
                ++refused;
            } else {
                if (!(loopback::sendAll(fd, "p", 1) && loopback::receiveExactly(fd, 1) == "p")) {
                    ++broken;
                }
                close(fd);
                ++opened;
            }
            std::this_thread::sleep_until(next);
        }
    };
    std::vector<std::thread> probes;
    for (int i = 0; i < 4; ++i) {
        probes.emplace_back(probeLoop);
    }

    const int reloads = load::byForm(10, 100);
    int done = 0;
    for (int i = 1; i <= reloads; ++i) {
        // Every reload changes the destination; every fifth also moves the port.
        const bool away = (i / 5) % 2 == 1;
        write(away ? moved : changed, i % 2 == 0 ? first.port() : second.port());
        std::unique_ptr<SpawnedProcess> reload = copy.run({"--reload"});
        const std::optional<int> status = reload->waitForExit(30s);
        if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
            ++done;
        }
        // Twenty reloads a second, so that the probe runs across all of them.
        std::this_thread::sleep_until(probeStart + i * 50ms);
    }
    probing = false;
    for (std::thread& probe : probes) {
        probe.join();
    }
    const double seconds = std::chrono::duration<double>(load::Clock::now() - probeStart).count();
    EXPECT_EQ(done, reloads);
    EXPECT_GT(opened.load(), 0);
    EXPECT_EQ(refused.load(), 0) << "of " << opened.load() + refused.load();
    EXPECT_EQ(broken.load(), 0) << "of " << opened.load();
    std::printf("probe: %d connections (%.0f a second), %d refused, %d broken over %d reloads\n",
                opened.load(), opened.load() / seconds, refused.load(), broken.load(), reloads);

    for (std::size_t i = 0; i < live.size(); ++i) {
        const std::string payload = loopback::pattern(4096, static_cast<unsigned>(i));
        EXPECT_TRUE(loopback::sendAll(live[i], payload.data(), payload.size()));
        EXPECT_EQ(loopback::receiveExactly(live[i], payload.size()), payload) << i;
        close(live[i]);
    }
    relay->signal(SIGTERM);
    EXPECT_TRUE(relay->waitForExit(10s).has_value());
    std::filesystem::remove_all(folder);
}

}  // namespace
