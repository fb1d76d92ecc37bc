#include "relay/connection_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "address/ip_filter.h"
#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::vector<std::string>> logLines(const fs::path& path) {
    std::vector<std::vector<std::string>> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        for (std::string field; std::getline(parts, field, '\t');) {
            fields.push_back(field);
        }
        lines.push_back(fields);
    }
    return lines;
}

class ConnectionLogTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        folder = fs::temp_directory_path() / ("tarnwick-log-" + std::to_string(getpid()));
        fs::create_directories(folder);
        path = folder / "TarnwickPico.log";
    }
    void TearDown() override {
        fs::remove_all(folder);
        RelayTest::TearDown();
    }

    fs::path folder;
    fs::path path;
};

TEST_F(ConnectionLogTest, EachEventIsOneLineOfTabSeparatedFields) {
    loopback::Server server(loopback::echo);
    config.log = true;
    config.logPath = path.string();
    startRelay(server.port());

    loopback::Client client;
    ASSERT_TRUE(client.connectTo(relayPort));
    const int clientPort = client.localPort();
    EXPECT_TRUE(
        whileRelaying([&] { return client.send("hello") && client.receive(5) == "hello"; }));
    client.close();
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    config.filter.mode = 3;  // an empty allow list admits nobody
    repeater.configure(config);
    int refused = loopback::connectTo(relayPort);
    EXPECT_TRUE(whileRelaying([refused] { return loopback::waitClosed(refused); }));
    close(refused);
    repeater.stop();

    const std::string relay = "TCP:" + std::to_string(relayPort);
    const std::string clientEnd = "127.0.0.1:" + std::to_string(clientPort);
    const std::string destination = "127.0.0.1:" + std::to_string(server.port());
    auto lines = logLines(path);
    ASSERT_EQ(lines.size(), 3u);
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    for (const auto& fields : lines) {
        ASSERT_GE(fields.size(), 4u);
        EXPECT_TRUE(std::regex_match(fields[0], time)) << fields[0];
        EXPECT_EQ(fields[1], relay);
    }
    EXPECT_EQ(lines[0],
              (std::vector<std::string>{lines[0][0], relay, "open", clientEnd, destination}));
    ASSERT_EQ(lines[1].size(), 9u);
    EXPECT_EQ(std::vector<std::string>(lines[1].begin() + 2, lines[1].begin() + 7),
              (std::vector<std::string>{"close", clientEnd, destination, "5", "5"}));
    EXPECT_TRUE(std::regex_match(lines[1][7], std::regex(R"(\d+\.\d{3})")));
    EXPECT_EQ(lines[1][8], "client-end");
    EXPECT_EQ(lines[2][2], "refused");
}

TEST_F(ConnectionLogTest, ANameEndsEveryLineAsOneMoreFieldWithoutItsTabs) {
    {
        ConnectionLog log(path.string(), 8080, "web\tlab");
        log.opened({"192.0.2.7:5000", "192.0.2.1:80"});
        log.refused("192.0.2.8:5001");
    }
    auto lines = logLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines[0].begin() + 1, lines[0].end()),
              (std::vector<std::string>{"TCP:8080", "open", "192.0.2.7:5000", "192.0.2.1:80",
                                        "web lab"}));
    EXPECT_EQ(std::vector<std::string>(lines[1].begin() + 1, lines[1].end()),
              (std::vector<std::string>{"TCP:8080", "refused", "192.0.2.8:5001", "", "web lab"}));
}

TEST_F(ConnectionLogTest, RotatesPastTenMebibytesAndSurvivesAFolderItCannotWrite) {
    {
        std::ofstream big(path);
        big << std::string(ConnectionLog::kRotateBytes, 'x');
    }
    {
        ConnectionLog log(path.string(), 8080);
        log.failed({"[::1]:5000", "192.0.2.1:80"}, 10061);
    }
    EXPECT_EQ(fs::file_size(folder / "TarnwickPico.log.1"), ConnectionLog::kRotateBytes);
    auto lines = logLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        std::vector<std::string>(lines[0].begin() + 1, lines[0].end()),
        (std::vector<std::string>{"TCP:8080", "failed", "[::1]:5000", "192.0.2.1:80", "10061"}));

    testing::internal::CaptureStderr();
    {
        ConnectionLog nowhere((folder / "missing" / "TarnwickPico.log").string(), 1);
        nowhere.opened({"a", "b"});
        nowhere.flush();
        nowhere.opened({"c", "d"});
    }
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot write"), std::string::npos);
    EXPECT_EQ(said.find("cannot write"), said.rfind("cannot write"));  // said once
}

// Sets the open-files limit to 0 for its lifetime: no new descriptor can be had.
struct NoNewDescriptors {
    rlimit saved{};
    NoNewDescriptors() {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit none = saved;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoNewDescriptors() { setrlimit(RLIMIT_NOFILE, &saved); }
    NoNewDescriptors(const NoNewDescriptors&) = delete;
    NoNewDescriptors& operator=(const NoNewDescriptors&) = delete;
};

// Every line reaches a file: while descriptors are exhausted, and when rotation moved or
// removed the file (later lines go to a new file at the path).
TEST_F(ConnectionLogTest, NoLineIsLostForWantOfADescriptorOrToRotation) {
    enum class Then { DescriptorsRunOut, Moved, Removed, MovedWhileDescriptorsRunOut };
    const fs::path moved = folder / "rotated.log";
    for (Then then :
         {Then::DescriptorsRunOut, Then::Moved, Then::Removed, Then::MovedWhileDescriptorsRunOut}) {
        SCOPED_TRACE(static_cast<int>(then));
        fs::remove(path);
        fs::remove(moved);
        ConnectionLog log(path.string(), 8080);
        log.opened({"first:1", "d:2"});
        log.flush();
        if (then == Then::Moved || then == Then::MovedWhileDescriptorsRunOut) {
            fs::rename(path, moved);
        } else if (then == Then::Removed) {
            fs::remove(path);
        }
        {
            std::optional<NoNewDescriptors> none;
            if (then == Then::DescriptorsRunOut || then == Then::MovedWhileDescriptorsRunOut) {
                none.emplace();
            }
            log.opened({"second:1", "d:2"});
            log.flush();
        }
        log.opened({"third:1", "d:2"});
        log.flush();
        std::vector<std::string> clients;
        for (const fs::path& file : {moved, path}) {
            for (const auto& line : logLines(file)) {
                clients.push_back(line.at(3));
            }
        }
        // A removed file takes its lines with it; every other line is somewhere.
        std::vector<std::string> expected{"first:1", "second:1", "third:1"};
        if (then == Then::Removed) {
            expected.erase(expected.begin());
        }
        EXPECT_EQ(clients, expected);
        if (then != Then::DescriptorsRunOut) {
            ASSERT_EQ(logLines(path).size(), then == Then::MovedWhileDescriptorsRunOut ? 1u : 2u);
            EXPECT_EQ(logLines(path).back().at(3), "third:1");
        }
    }
}

}  // namespace
