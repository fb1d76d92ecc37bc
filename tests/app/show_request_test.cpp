#include "app/show_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/app/wait_until.h"

namespace {

using namespace std::chrono_literals;

// A listening socket at path that never accepts: a hung copy, or one of an older version.
int silentListener(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class ShowRequest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-show-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // Asks from another thread, as a second start would, while this one runs the loop.
    bool ask(const std::string& path) {
        std::atomic<int> answer{-1};
        std::thread asker([&] { answer = askRunningCopyToShow(path, 1000ms) ? 1 : 0; });
        waitUntil([&] { return answer >= 0; }, 5s);
        asker.join();
        return answer == 1;
    }

    // Sends bytes as they are from another thread and reads until the copy closes.
    std::string exchange(const std::string& path, const std::string& bytes) {
        std::atomic<bool> done{false};
        std::string reply;
        std::thread asker([&] {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
            timeval limit{3, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
            if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
                send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0) {
                char buffer[256];
                ssize_t got = 0;
                while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
                    reply.append(buffer, static_cast<std::size_t>(got));
                }
            }
            close(fd);
            done = true;
        });
        waitUntil([&] { return done.load(); }, 5s);
        asker.join();
        return reply;
    }

    std::string folder_;
    int shown_ = 0;
};

TEST_F(ShowRequest, TheRunningCopyShowsItsWindowAndAnswers) {
    const std::string path = folder_ + "/G.socket";
    {
        // A socket left by a copy that ended is replaced.
        const int stale = silentListener(path);
        ASSERT_GE(stale, 0);
        close(stale);
        EXPECT_FALSE(ask(path));
        CShowRequestServer server([this] { ++shown_; });
        ASSERT_TRUE(server.listen(path));
        struct stat status {};
        ASSERT_EQ(lstat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0077, 0u) << "not owner-only";
        EXPECT_TRUE(ask(path));
        EXPECT_TRUE(ask(path));
        EXPECT_EQ(shown_, 2);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));

    // Nobody answers: the asker gives up at its timeout.
    const int hung = silentListener(path);
    ASSERT_GE(hung, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ask(path));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    close(hung);
}

// Connections of this user's own that never ask cannot keep a second start from its answer.
TEST_F(ShowRequest, IdleConnectionsDoNotHoldUpASecondStart) {
    const std::string path = folder_ + "/G.socket";
    CShowRequestServer server([this] { ++shown_; });
    ASSERT_TRUE(server.listen(path));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    for (std::size_t idle : {std::size_t{8}, std::size_t{40}}) {
        std::vector<int> silent;
        // Connected while the loop runs, so that a full backlog is taken in between.
        EXPECT_TRUE(waitUntil(
            [&] {
                while (silent.size() < idle) {
                    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
                        0) {
                        close(fd);
                        return false;
                    }
                    silent.push_back(fd);
                }
                return true;
            },
            5s));
        EXPECT_TRUE(ask(path)) << idle << " idle connections";
        for (int fd : silent) {
            close(fd);
        }
    }
    EXPECT_EQ(shown_, 2);
}

// A command line's request gets the reply the window gives; what is no request (too long,
// never finished) gets an error line, and nothing is asked of the window.
TEST_F(ShowRequest, CommandsAreAnsweredAndBadInputGetsAnErrorLine) {
    const std::string path = folder_ + "/G.socket";
    std::vector<std::string> asked;
    CShowRequestServer server([this] { ++shown_; },
                              [&asked](const std::string& line) {
                                  asked.push_back(line);
                                  return "OUT " + line + "\nEND 0\n";
                              });
    ASSERT_TRUE(server.listen(path));
    struct Case {
        std::string sent;
        std::string reply;
    };
    const Case cases[] = {
        {"LIST JSON\n", "OUT LIST JSON\nEND 0\n"},
        {"\x01\x02garbage\n", "OUT \x01\x02garbage\nEND 0\n"},
        {std::string(600, 'x'), "ERR request too long\nEND 1\n"},
        {"RELOAD", "ERR no complete request line in time\nEND 1\n"},
        {"SHOW\n", "SHOWN\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(exchange(path, c.sent), c.reply) << c.sent.substr(0, 20);
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"LIST JSON", "\x01\x02garbage"}));
    EXPECT_EQ(shown_, 1);
}

TEST_F(ShowRequest, OnlyASocketOfThisUsersOwnIsUsed) {
    const std::string real = folder_ + "/real.socket";
    CShowRequestServer server([this] { ++shown_; });
    ASSERT_TRUE(server.listen(real));
    const std::string link = folder_ + "/link.socket";
    std::filesystem::create_symlink(real, link);
    const std::string file = folder_ + "/file.socket";
    std::ofstream(file) << "x";

    struct Case {
        std::string path;
        const char* why;
    };
    for (const Case& c : {Case{link, "is a link"}, Case{file, "is not a socket"},
                          Case{folder_ + "/missing", "does not exist"}}) {
        std::string why;
        EXPECT_FALSE(trustedSocketPath(c.path, &why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_FALSE(ask(c.path)) << c.path;
    }
    // Not ours: left where it is, and nothing listens there.
    for (const std::string& occupied : {link, file}) {
        CShowRequestServer refused([] {});
        EXPECT_FALSE(refused.listen(occupied)) << occupied;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(shown_, 0);

    if (chown(real.c_str(), getuid() + 1, getgid()) != 0) {
        GTEST_SKIP() << "only a privileged user can give a socket away";
    }
    std::string why;
    EXPECT_FALSE(trustedSocketPath(real, &why));
    EXPECT_NE(why.find("another user"), std::string::npos) << why;
    EXPECT_FALSE(ask(real));
    EXPECT_EQ(shown_, 0);
}

}  // namespace
