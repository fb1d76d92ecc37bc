#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/control_client.h"
#include "app/instance_guard.h"
#include "app/tarnwick_app.h"
#include "platform/qt/message_box.h"
#include "resources/string_table.h"
#include "tests/app/child_program.h"
#include "tests/app/scoped_env.h"
#include "tests/app/wait_until.h"
#include "tests/support/file_text.h"
#include "tests/support/loopback.h"
#include "tests/support/message_recorder.h"
#include "tests/support/process_figures.h"

namespace {

using namespace std::chrono_literals;

// One round trip through the relay on port, within a few seconds.
bool relays(int port) {
    int fd = loopback::connectTo(port, 3s);
    if (fd < 0) {
        return false;
    }
    bool echoed = loopback::sendAll(fd, "ping", 4) && loopback::receiveExactly(fd, 4) == "ping";
    close(fd);
    return echoed;
}

// Retries until the child has come up and relays, for at most the timeout.
bool relaysSoon(int port, std::chrono::seconds timeout = 20s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (relays(port)) {
            return true;
        }
        // Nobody listens yet: the refused connect returns at once, so pace the retries.
        int fd = loopback::connectTo(port, 100ms);
        if (fd >= 0) {
            close(fd);
        } else {
            std::this_thread::sleep_for(50ms);
        }
    }
    return false;
}

std::vector<int> distinctFreePorts(std::size_t count) {
    std::vector<int> ports(count);
    std::generate(ports.begin(), ports.end(), loopback::freePort);
    return ports;
}

std::string portSection(int index, int act, int port, int destination,
                        const std::string& more = {}) {
    return "[TCP-PORT" + std::to_string(index) + "]\nACT=" + std::to_string(act) +
           "\nPORT=" + std::to_string(port) +
           "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(destination) + "\n" + more;
}

std::string fileText(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}

struct Answer {
    int status = -1;
    std::string out;
    std::string err;
};

class Program : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-run-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::filesystem::path iniFile() const { return folder_ + "/TarnwickPico.ini"; }

    // Saves the port ON towards the echo server; returns the listen port.
    int saveRelayTo(int destination) {
        int port = loopback::freePort();
        std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=1\nPORT=" << port
                                 << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << destination << "\n";
        return port;
    }

    // Saves the port ON without FORWARDHOST (its default): the program's own save when it
    // switches the port on at start adds the key, so a test can tell that save has happened.
    int saveRelayWithoutHostTo(int destination) {
        int port = loopback::freePort();
        std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=1\nPORT=" << port
                                 << "\nFORWARDPORT=" << destination << "\n";
        return port;
    }
    bool startSaved() const {
        return waitUntil(
            [&] { return readFile(iniFile().string()).find("FORWARDHOST=") != std::string::npos; });
    }
    // Puts text in place of the settings file in one step, so the program never reads half
    // of it; text that the start's last write (FORWARDPORT, unchanged) leaves as it is, and
    // that any later save of the ON port (ACT=1) would change.
    void replaceSettings(const std::string& text) const {
        const std::filesystem::path next = iniFile().string() + ".next";
        std::ofstream(next) << text;
        std::filesystem::rename(next, iniFile());
    }

    std::string program() const { return ChildProgram::programIn(folder_); }

    // What the command line gets from the copy running in this test's folder.
    Answer command(ControlVerb verb, const std::string& forward = {}) const {
        const std::string runtime = ChildProgram::runtimeFolder(folder_);
        ScopedEnv runtimeFolder("XDG_RUNTIME_DIR", runtime.c_str());
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Answer answer;
        answer.status =
            runControlRequest(instanceSocketPath(instanceGuardName()), {verb, forward}, out, err);
        answer.out = fileText(out);
        answer.err = fileText(err);
        return answer;
    }

    std::string folder_;
    loopback::Server echo_{loopback::echo};
};

TEST_F(Program, HeadlessRunRelaysEchoesArgumentsAndKeepsSignalDefaults) {
    const int port = saveRelayWithoutHostTo(echo_.port());
    ChildProgram child(folder_, program(), {"a", "-d503"}, "/");
    ASSERT_TRUE(child.started());
    // The inherited output gets the arguments and nothing after them.
    EXPECT_EQ(child.standardOutput(), "1番目の引数=a\n2番目の引数=-d503\n");
    ASSERT_TRUE(relaysSoon(port));
    ASSERT_TRUE(startSaved());

    const std::string unsaved = "[TCP-PORT0]\nACT=0\nPORT=" + std::to_string(port) +
                                "\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n";
    replaceSettings(unsaved);
    child.signal(SIGTERM);
    std::optional<int> status = child.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    // Killed by the signal: nothing was saved on the way out.
    EXPECT_EQ(readFile(iniFile().string()), unsaved);
}

// Without the debug switch, SIGTERM and SIGINT still end the program by the signal and save
// nothing, but a stream the destination was still sending ends in a reset, not a clean end.
TEST_F(Program, SignalsWithoutDebugModeResetStreamsStillFlowing) {
    const std::string stream = loopback::pattern(std::size_t{1} << 20, 8);
    loopback::Server source([&](int fd) {
        for (int i = 0; i < 64 && loopback::sendAll(fd, stream.data(), stream.size()); ++i) {
        }
    });
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const int port = saveRelayWithoutHostTo(source.port());
        ChildProgram child(folder_, program(), {}, "/");
        ASSERT_TRUE(child.started());
        // Only what is written after the signal counts: not the start's own save.
        ASSERT_TRUE(startSaved());
        int client = -1;
        for (int i = 0; i < 200 && client < 0; ++i) {
            client = loopback::connectTo(port, 10s);
            if (client < 0) {
                std::this_thread::sleep_for(50ms);  // paces retries until the child listens
            }
        }
        ASSERT_GE(client, 0);
        const std::string unsaved = "[TCP-PORT0]\nACT=0\nPORT=" + std::to_string(port) +
                                    "\nFORWARDPORT=" + std::to_string(source.port()) + "\n";
        replaceSettings(unsaved);
        std::string got;
        std::array<char, 4096> buffer{};
        ssize_t n = 1;
        bool signalled = false;
        for (int round = 0; round < 100'000 && n > 0; ++round) {
            n = recv(client, buffer.data(), buffer.size(), 0);
            got.append(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
            if (!signalled && got.size() >= (256u << 10)) {
                child.signal(signal);
                signalled = true;
            }
            std::this_thread::sleep_for(200us);  // a slow reader, not a wait for an event
        }
        const int error = errno;
        close(client);
        EXPECT_TRUE(signalled);
        EXPECT_TRUE(n < 0 && error == ECONNRESET) << got.size() << " bytes, then " << n;
        for (std::size_t at = 0; at < got.size(); at += stream.size()) {
            ASSERT_EQ(got.compare(at, stream.size(), stream, 0, got.size() - at), 0) << at;
        }
        std::optional<int> status = child.waitForExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << *status;
        EXPECT_EQ(readFile(iniFile().string()), unsaved);
    }
}

TEST_F(Program, DebugModeIgnoresInterruptsAndSavesOnTerminate) {
    const int port = saveRelayTo(echo_.port());
    ChildProgram child(folder_, program(), {"-D503"}, "/");
    ASSERT_TRUE(child.started());
    // Written before the console took standard output over.
    EXPECT_EQ(child.standardOutput(), "1番目の引数=-D503\nDEBUGMODE ON\n");
    ASSERT_TRUE(relaysSoon(port));

    for (int ignored : {SIGINT, SIGQUIT, SIGHUP}) {
        child.signal(ignored);
    }
    EXPECT_TRUE(relays(port));
    EXPECT_FALSE(child.waitForExit(200ms).has_value());

    std::filesystem::remove(iniFile());
    child.signal(SIGTERM);
    std::optional<int> status = child.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(readFile(iniFile()),
              "[TCP-PORT0]\nACT=1\nPORT=" + std::to_string(port) +
                  "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n");
    EXPECT_FALSE(relays(port));
}

TEST_F(Program, TwoPanelsRelayTogetherAndComeBackOnAfterAnOrderlyEnd) {
    const int first = loopback::freePort();
    int second = loopback::freePort();
    while (second == first) {
        second = loopback::freePort();
    }
    std::string saved;
    for (int index : {0, 1}) {
        saved += "[TCP-PORT" + std::to_string(index) +
                 "]\nACT=1\nPORT=" + std::to_string(index == 0 ? first : second) +
                 "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n";
    }
    std::ofstream(iniFile()) << saved;

    for (int run = 0; run < 2; ++run) {
        ChildProgram child(folder_, program(), {"-D503"}, "/");
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(relaysSoon(first) && relaysSoon(second)) << "run " << run;
        // Both connections open at once, the data crossing on both.
        const int a = loopback::connectTo(first, 3s);
        const int b = loopback::connectTo(second, 3s);
        EXPECT_TRUE(loopback::sendAll(a, "one", 3) && loopback::sendAll(b, "two", 3));
        EXPECT_EQ(loopback::receiveExactly(b, 3), "two");
        EXPECT_EQ(loopback::receiveExactly(a, 3), "one");
        close(a);
        close(b);

        std::filesystem::remove(iniFile());
        child.signal(SIGTERM);
        std::optional<int> status = child.waitForExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        EXPECT_EQ(readFile(iniFile()), saved);
        EXPECT_FALSE(relays(first) || relays(second));
    }
}

TEST_F(Program, SettingsFileLiesBesideTheProgramWhateverTheCurrentDirectory) {
    std::filesystem::create_directory(folder_ + "/elsewhere");
    ChildProgram child(folder_, program(), {}, folder_ + "/elsewhere");
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.standardOutput(), "");
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!std::filesystem::exists(iniFile()) && std::chrono::steady_clock::now() < deadline &&
           !child.waitForExit(20ms)) {
    }
    EXPECT_TRUE(std::filesystem::exists(iniFile()));
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/elsewhere/TarnwickPico.ini"));
}

TEST_F(Program, StartedByBareNameUsesTheCurrentDirectory) {
    std::string elsewhere = folder_ + "/elsewhere";
    std::filesystem::create_directory(elsewhere);
    ChildProgram child(folder_, "tarnwick-pico", {}, elsewhere);
    ASSERT_TRUE(child.started());
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!std::filesystem::exists(elsewhere + "/TarnwickPico.ini") &&
           std::chrono::steady_clock::now() < deadline && !child.waitForExit(20ms)) {
    }
    EXPECT_TRUE(std::filesystem::exists(elsewhere + "/TarnwickPico.ini"));
    EXPECT_FALSE(std::filesystem::exists(iniFile()));
}

TEST_F(Program, WithoutADisplayBoxesAnswerThemselvesOnStandardError) {
    const int port = saveRelayTo(echo_.port());
    ChildProgram first(folder_, program(), {}, "/");
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(relaysSoon(port));
    {
        ChildProgram second(folder_, program(), {"-D503"}, "/");
        const std::optional<int> status = second.waitForExit(5s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    }
    EXPECT_EQ(readFile(ChildProgram::errorFile(folder_)),
              "２重起動:      既に起動されています.     \n");
    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit().has_value());

    // Refused at start: the panel stays OFF and a shutdown ends the program in order.
    std::filesystem::remove(ChildProgram::errorFile(folder_));
    std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=1\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n";
    ChildProgram refused(folder_, program(), {"-D503"}, "/");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    // Qt may say something of its own first: wait for the refusal itself.
    while (readFile(ChildProgram::errorFile(folder_)).find(": Listenポートが無効な設定です\n") ==
               std::string::npos &&
           std::chrono::steady_clock::now() < deadline && !refused.waitForExit(20ms)) {
    }
    refused.signal(SIGTERM);
    const std::optional<int> status = refused.waitForExit(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(readFile(iniFile()), "[TCP-PORT0]\nACT=0\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n");
    EXPECT_NE(readFile(ChildProgram::errorFile(folder_)).find(": Listenポートが無効な設定です\n"),
              std::string::npos);
}

// The start hook of this test process, against a program that runs as a child.
class FailingSockets : public CTarnwickApp {
  protected:
    bool startSockets() override { return false; }
};

TEST_F(Program, SecondInstanceIsRefusedWhileTheFirstRelaysOn) {
    const int port = saveRelayTo(echo_.port());
    ChildProgram first(folder_, program(), {}, "/");
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(relaysSoon(port));

    ScopedEnv runtime("XDG_RUNTIME_DIR", ChildProgram::runtimeFolder(folder_).c_str());
    struct stat outputBefore {};
    ASSERT_EQ(fstat(STDOUT_FILENO, &outputBefore), 0);
    std::array<char, 4096> directory{};
    ASSERT_NE(getcwd(directory.data(), directory.size()), nullptr);
    {
        MessageRecorder boxes;
        std::string path = program();
        std::string debugSwitch = "-D503";
        std::array<char*, 3> argv{path.data(), debugSwitch.data(), nullptr};
        CTarnwickApp second;
        EXPECT_EQ(second.InitInstance(2, argv.data()), -1);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, "     既に起動されています.     ");
        EXPECT_EQ(boxes.shown[0].caption, "２重起動");
        EXPECT_EQ(boxes.shown[0].type, MB_OK);
        EXPECT_EQ(boxes.shown[0].owner, nullptr);
    }
    // Refused before the argument scan: no debug mode, streams and directory untouched.
    EXPECT_EQ(g_debugMode, 0);
    struct stat outputAfter {};
    ASSERT_EQ(fstat(STDOUT_FILENO, &outputAfter), 0);
    EXPECT_EQ(outputAfter.st_ino, outputBefore.st_ino);
    std::array<char, 4096> after{};
    ASSERT_NE(getcwd(after.data(), after.size()), nullptr);
    EXPECT_STREQ(after.data(), directory.data());

    // A failed socket start-up is reported first, guard or no guard.
    {
        MessageRecorder boxes;
        std::string path = program();
        std::array<char*, 2> argv{path.data(), nullptr};
        FailingSockets broken;
        EXPECT_EQ(broken.InitInstance(1, argv.data()), 0);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, loadResourceString(IDP_SOCKETS_INIT_FAILED));
        EXPECT_EQ(boxes.shown[0].caption, applicationTitle());
        EXPECT_EQ(boxes.shown[0].type, MB_OK | MB_ICONWARNING);
    }

    EXPECT_TRUE(relays(port));
    EXPECT_FALSE(first.waitForExit(0ms).has_value());
}

// Started with a login's soft limit of 1,024 descriptors, the program still holds 1,500
// connections at once: it takes the hard limit for itself.
TEST_F(Program, HoldsMoreConnectionsThanTheSoftLimitAllows) {
    constexpr int kClients = 1500;
    if (figures::openFilesHardLimit() >= 0 && figures::openFilesHardLimit() < 4096) {
        GTEST_SKIP() << "hard open-files limit " << figures::openFilesHardLimit()
                     << " is below 4096";
    }
    // The clients and the destination's ends are all in this process.
    ASSERT_GE(figures::setOpenFiles(2 * kClients + 256), 2 * kClients + 256);
    int destinationPort = 0;
    const int destination = loopback::listenAny(destinationPort, 4096);
    ASSERT_GE(destination, 0);
    ASSERT_TRUE(loopback::setNonBlocking(destination));
    const int port = saveRelayTo(destinationPort);
    ChildProgram child(folder_, program(), {}, "/", {}, 1024);
    ASSERT_TRUE(child.started());

    std::vector<int> fds;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (fds.empty() && std::chrono::steady_clock::now() < deadline) {
        const int fd = loopback::connectTo(port, 3s);
        if (fd >= 0) {
            fds.push_back(fd);
        } else {
            std::this_thread::sleep_for(50ms);  // not listening yet
        }
    }
    while (static_cast<int>(fds.size()) < kClients && std::chrono::steady_clock::now() < deadline) {
        const int fd = loopback::connectTo(port, 3s);
        ASSERT_GE(fd, 0) << "client " << fds.size();
        fds.push_back(fd);
    }
    int relayed = 0;
    while (relayed < kClients && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{destination, POLLIN, 0};
        poll(&ready, 1, 100);
        for (int fd = 0; (fd = accept4(destination, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            fds.push_back(fd);
            ++relayed;
        }
    }
    EXPECT_EQ(relayed, kClients);
    for (int fd : fds) {
        close(fd);
    }
    close(destination);
}

// Each row of the reload rules at once, with live connections on the unchanged and the
// changed forwards checked byte for byte across it; then SIGHUP in debug mode does the same.
TEST_F(Program, AReloadFollowsTheFileAndKeepsEveryLiveConnection) {
    loopback::Server other{loopback::echo};
    const std::vector<int> p = distinctFreePorts(6);
    ASSERT_EQ(p.size(), 6u);
    const int a = echo_.port();
    const int b = other.port();
    std::ofstream(iniFile()) << portSection(0, 1, p[0], a) + portSection(1, 1, p[1], a) +
                                    portSection(2, 1, p[2], a) + portSection(3, 1, p[3], a);
    ChildProgram child(folder_, program(), {"-D503"}, "/");
    ASSERT_TRUE(child.started());
    std::vector<int> live;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(relaysSoon(p[static_cast<std::size_t>(i)])) << i;
        live.push_back(loopback::connectTo(p[static_cast<std::size_t>(i)], 5s));
        ASSERT_TRUE(loopback::sendAll(live.back(), "hi", 2));
        ASSERT_EQ(loopback::receiveExactly(live.back(), 2), "hi");
    }
    // 0 unchanged, 1 to another destination, 2 to another port, 3 OFF, 4 new and ON.
    const std::string after = portSection(0, 1, p[0], a) + portSection(1, 1, p[1], b) +
                              portSection(2, 1, p[4], a) + portSection(3, 0, p[3], a) +
                              portSection(4, 1, p[5], b);
    replaceSettings(after);
    const Answer reload = command(ControlVerb::Reload);
    EXPECT_EQ(reload.status, 0) << reload.err;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string payload =
            loopback::pattern(std::size_t{1} << 16, static_cast<unsigned>(i));
        EXPECT_TRUE(loopback::sendAll(live[i], payload.data(), payload.size()));
        EXPECT_EQ(loopback::receiveExactly(live[i], payload.size()), payload) << i;
    }
    EXPECT_TRUE(loopback::waitClosed(live[3]));
    const int reachedB = other.accepted();
    EXPECT_TRUE(relays(p[0]));
    EXPECT_TRUE(relays(p[1]));
    EXPECT_EQ(other.accepted(), reachedB + 1) << "only the changed destination is B";
    EXPECT_TRUE(relays(p[4]));
    EXPECT_FALSE(relays(p[2]));
    EXPECT_FALSE(relays(p[3]));
    EXPECT_TRUE(relaysSoon(p[5]));
    const Answer list = command(ControlVerb::List);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 5) << list.out;
    EXPECT_NE(list.out.find("3\tTCP:" + std::to_string(p[4]) + "\t-\tON\t"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("4\tTCP:" + std::to_string(p[3]) + "\t-\tOFF\t"), std::string::npos);
    EXPECT_EQ(readFile(iniFile()), after) << "the window's writes undid the reload";

    // SIGHUP in debug mode reloads and never ends the program.
    replaceSettings(portSection(0, 1, p[0], b));
    child.signal(SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return relays(p[0]) && other.accepted() > reachedB + 2; }, 10s));
    EXPECT_FALSE(child.waitForExit(0ms).has_value());
    EXPECT_TRUE(loopback::sendAll(live[0], "go", 2) &&
                loopback::receiveExactly(live[0], 2) == "go");
    for (int fd : live) {
        close(fd);
    }
}

TEST_F(Program, TheCommandLineSwitchesListsAndSaysWhatCouldNotBeDone) {
    const std::vector<int> p = distinctFreePorts(2);
    ASSERT_EQ(p.size(), 2u);
    std::ofstream(iniFile()) << portSection(0, 1, p[0], echo_.port(), "NAME=web\n") +
                                    portSection(1, 0, p[1], echo_.port());
    ChildProgram child(folder_, program(), {}, "/");
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(relaysSoon(p[0]));

    const Answer json = command(ControlVerb::ListJson);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"forwards\": [{\"panel\": 1, \"name\": \"web\", \"protocol\": "
                             "\"tcp\", \"port\": " +
                                 std::to_string(p[0]),
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("\"panel\": 2, \"name\": \"\", \"protocol\": \"tcp\", \"port\": " +
                            std::to_string(p[1]) +
                            ", \"listen\": \"\", \"destination\": "
                            "\"127.0.0.1:" +
                            std::to_string(echo_.port()) + "\", \"on\": false"),
              std::string::npos)
        << json.out;

    // Four bytes each way for every round trip since ON, closed connections included.
    const auto figure = [&](const char* key) {
        const std::size_t at = json.out.find(key);
        return at == std::string::npos ? -1L : std::stol(json.out.substr(at + std::strlen(key)));
    };
    EXPECT_GT(figure("\"bytes_up\": "), 0);
    EXPECT_EQ(figure("\"bytes_up\": ") % 4, 0);
    EXPECT_EQ(figure("\"bytes_down\": "), figure("\"bytes_up\": "));
    EXPECT_EQ(command(ControlVerb::On, "tcp:" + std::to_string(p[1])).status, 0);
    EXPECT_TRUE(relaysSoon(p[1]));
    EXPECT_EQ(command(ControlVerb::Off, "web").status, 0);
    EXPECT_FALSE(relays(p[0]));
    EXPECT_NE(readFile(iniFile()).find("[TCP-PORT0]\nACT=0\n"), std::string::npos);
    const Answer unknown = command(ControlVerb::On, "nothing");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "tarnwick-pico: unknown forward: nothing\n");

    // A refusal of the switch, and a port that cannot open: the forward runs on as it was.
    const int taken = loopback::listenAt(0, 1);
    const int takenPort = loopback::localPort(taken);
    replaceSettings(portSection(0, 0, p[0], 0, "NAME=web\n") +
                    portSection(1, 1, takenPort, echo_.port()));
    const Answer reload = command(ControlVerb::Reload);
    EXPECT_EQ(reload.status, 1);
    EXPECT_EQ(reload.err, "tarnwick-pico: TCP:" + std::to_string(p[1]) + ": PORT" +
                              std::to_string(takenPort) + "を開けません (err=10048)\n");
    EXPECT_TRUE(relays(p[1]));
    const Answer refused = command(ControlVerb::On, "web");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tarnwick-pico: TCP:" + std::to_string(p[0]) +
                               ": 転送先ポート番号が無効な設定です\n");
    close(taken);

    child.signal(SIGTERM);
    ASSERT_TRUE(child.waitForExit().has_value());
    const Answer none = command(ControlVerb::List);
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "tarnwick-pico: no running copy to ask\n");
    // The program's own exit statuses, with nobody to ask and for a malformed request.
    for (const auto& [arguments, status] : {std::pair{std::vector<std::string>{"--list"}, 2},
                                            std::pair{std::vector<std::string>{"--json"}, 1},
                                            std::pair{std::vector<std::string>{"--on"}, 1}}) {
        ChildProgram asker(folder_, program(), arguments, "/");
        const std::optional<int> ended = asker.waitForExit();
        ASSERT_TRUE(ended.has_value());
        EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == status) << arguments[0];
    }
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/TarnwickPico.ini.next"));
}

}  // namespace
