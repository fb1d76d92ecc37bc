#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "settings/port_settings.h"
#include "tests/app/child_program.h"
#include "tests/support/loopback.h"

// The program started on settings files that a user, a broken disk or another program
// could leave beside it. Whatever the file holds, the program comes up, does not crash,
// opens no port other than the one written, and leaves every byte it does not own alone.
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The TCP ports the process listens on: its socket descriptors matched against the kernel's
// tables of listening sockets.
std::set<int> listeningPorts(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(proc + "/fd", error)) {
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (!error && target.starts_with("socket:[") && target.ends_with("]")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    std::set<int> ports;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream in(proc + table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state == "0A" && inodes.contains(inode)) {
                ports.insert(std::stoi(local.substr(local.rfind(':') + 1), nullptr, 16));
            }
        }
    }
    return ports;
}

int socketsOn(int port) {
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (std::stoi(local.substr(local.rfind(':') + 1), nullptr, 16) == port) {
                ++count;
            }
        }
    }
    return count;
}

// The debug console catches SIGTERM from just before the main window is made; earlier, the
// signal would kill the program instead of closing it.
bool catchesTerminate(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("SigCgt:")) {
            const std::uint64_t mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (SIGTERM - 1)) & 1U) != 0;
        }
    }
    return false;
}

// Lines with their line ends; the last one may have none.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t lf = text.find('\n', begin);
        std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(begin, end - begin));
        begin = end;
    }
    return lines;
}

std::string_view trimmed(std::string_view text) {
    const std::string_view blanks = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

// The key of a line the program writes in its own section, or empty text for any other line.
std::string ownKey(std::string_view line) {
    line = trimmed(line);
    std::size_t equals = line.find('=');
    if (line.starts_with(";") || line.starts_with("[") || equals == std::string_view::npos) {
        return {};
    }
    std::string key = upper(trimmed(line.substr(0, equals)));
    return key == "ACT" || key == "PORT" || key == "FORWARDHOST" || key == "FORWARDPORT"
               ? key
               : std::string();
}

bool isOwnSectionHeader(std::string_view line) {
    return upper(trimmed(line)) == "[TCP-PORT0]";
}

// Empty when after differs from before only by the program's own lines: its section header
// and its four keys, added or rewritten in its own section; otherwise the first damage.
std::string damage(const std::string& before, const std::string& after) {
    const std::vector<std::string> old = linesOf(before);
    const std::vector<std::string> now = linesOf(after);
    std::size_t i = 0;
    bool inOwnSection = false;
    for (std::size_t j = 0; j < now.size(); ++j) {
        if (i < old.size()) {
            const std::string& line = old[i];
            const bool lineEndAdded =
                i + 1 == old.size() && !line.ends_with('\n') && now[j].starts_with(line) &&
                (now[j].size() - line.size() <= 2) && trimmed(now[j].substr(line.size())).empty();
            if (now[j] == line || lineEndAdded) {
                if (trimmed(line).starts_with("[")) {
                    inOwnSection = isOwnSectionHeader(line);
                }
                ++i;
                continue;
            }
        }
        const std::string key = ownKey(now[j]);
        if (key.empty() && !isOwnSectionHeader(now[j])) {
            return "line " + std::to_string(j + 1) + " is not the program's: " + now[j];
        }
        if (!key.empty() && i < old.size() && inOwnSection && ownKey(old[i]) == key) {
            ++i;  // rewritten in place
        }
    }
    if (i < old.size()) {
        return "line " + std::to_string(i + 1) + " is lost: " + old[i];
    }
    return {};
}

TEST(SettingsDamage, TellsTheProgramsOwnLinesFromDamage) {
    const std::string before = "; c\n[TCP-PORT0]\nPORT=70000\nX=1\n[TCP-PORT1]\nACT=1";
    struct Case {
        const char* name;
        std::string after;
        bool damaged;
    };
    const Case cases[] = {
        {"unchanged", before, false},
        {"own key rewritten, own key added, line end added",
         "; c\n[TCP-PORT0]\nPORT=2147483647\nX=1\nACT=1\n[TCP-PORT1]\nACT=1\n", false},
        {"own section added at the end", before + "\n[TCP-PORT0]\nACT=0\n", false},
        {"foreign line changed", "; c\n[TCP-PORT0]\nPORT=70000\nX=2\n[TCP-PORT1]\nACT=1", true},
        {"foreign line lost", "; c\n[TCP-PORT0]\nPORT=70000\n[TCP-PORT1]\nACT=1", true},
        {"own key of another section rewritten",
         "; c\n[TCP-PORT0]\nPORT=70000\nX=1\n[TCP-PORT1]\nACT=0", true},
        {"foreign line added", before + "\nY=1\n", true},
        {"line end changed", "; c\r\n[TCP-PORT0]\nPORT=70000\nX=1\n[TCP-PORT1]\nACT=1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(damage(before, c.after).empty(), !c.damaged) << damage(before, c.after);
    }
}

constexpr std::int64_t kTwoTo32 = std::int64_t{1} << 32;

class HostileSettings : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "tarnwick-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        fs::create_directories(ChildProgram::runtimeFolder(folder_));
        fs::copy_file(TARNWICK_PICO_PATH, ChildProgram::programIn(folder_));
    }

    void TearDown() override {
        chmod(folder_.c_str(), 0700);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path ini() const { return fs::path(folder_) / kSettingsFileName; }

    // In debug mode, where SIGTERM closes the window in order and saves.
    std::unique_ptr<ChildProgram> start() {
        return std::make_unique<ChildProgram>(folder_, ChildProgram::programIn(folder_),
                                              std::vector<std::string>{"-D503"}, "/");
    }

    // Waits for ready while the child runs; false if it ended or the time ran out.
    static bool waitWhileRunning(ChildProgram& child, const std::function<bool()>& ready,
                                 std::chrono::seconds timeout = 30s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (ready()) {
                return true;
            }
            if (child.waitForExit(20ms).has_value()) {
                return false;
            }
        }
        return false;
    }

    static testing::AssertionResult startsListening(ChildProgram& child, int port) {
        if (waitWhileRunning(child, [&] { return listeningPorts(child.pid()).contains(port); })) {
            return testing::AssertionSuccess();
        }
        // The port was free when the test took it, but any connection on the machine may
        // have been given it since.
        return testing::AssertionFailure()
               << "not listening on " << port
               << "; sockets of any process on that port: " << socketsOn(port) << "; "
               << state(child);
    }

    testing::AssertionResult savesOver(ChildProgram& child, const std::string& original) {
        if (waitWhileRunning(child, [&] { return readBytes(ini()) != original; })) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "never saved; " << state(child);
    }

    static std::string state(ChildProgram& child) {
        std::optional<int> status = child.waitForExit(0ms);
        return status ? "ended with wait status " + std::to_string(*status) : "still running";
    }

    // SIGTERM, once the program catches it, must end the program normally.
    static void endsInOrder(ChildProgram& child) {
        ASSERT_TRUE(waitWhileRunning(child, [&] { return catchesTerminate(child.pid()); }));
        child.signal(SIGTERM);
        std::optional<int> status = child.waitForExit(30s);
        ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
        EXPECT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }

    // Only the program, its settings file and its lock folder: no temporary file left.
    void expectNoLeftovers() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.insert(entry.path().filename().string());
        }
        EXPECT_EQ(names, (std::set<std::string>{"run", "tarnwick-pico", kSettingsFileName}));
    }

    std::string folder_;
    loopback::Server echo_{loopback::echo};
};

// A file around the section, with lines the program must keep; after the gap at index 1,
// [TCP-PORT2] belongs to no panel.
std::string withForeignLines(const std::string& sectionLines) {
    return "; kept as written\n[TCP-PORT0]\nBUFFERSIZE=64\n" + sectionLines +
           "NOTE = mine \n\n[TCP-PORT2]\nACT=1\nPORT=5\n";
}

// --- Listen and destination ports outside 1 to 65535 ---

struct PortCase {
    const char* name;
    std::int64_t listenOffset;       // added to a free port
    std::int64_t destinationOffset;  // added to the echo server's port
};

class PortValues : public HostileSettings, public testing::WithParamInterface<PortCase> {};

TEST_P(PortValues, NoPortWrapsAndForeignLinesStay) {
    const PortCase& c = GetParam();
    const int port = loopback::freePort();
    const std::int64_t listen = port + c.listenOffset;
    const std::int64_t destination = echo_.port() + c.destinationOffset;
    // No FORWARDHOST: the program adds it when it saves at the end of its start.
    const std::string original =
        withForeignLines("ACT=1\nPORT=" + std::to_string(listen) +
                         "\nFORWARDPORT=" + std::to_string(destination) + "\n");
    writeBytes(ini(), original);
    const bool listenValid = c.listenOffset == 0;

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(savesOver(*child, original));
    EXPECT_EQ(listeningPorts(child->pid()), listenValid ? std::set<int>{port} : std::set<int>{});
    if (listenValid) {
        // The destination is out of range: the client is let go, never sent elsewhere.
        int fd = loopback::connectTo(port, 5s);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(loopback::waitClosed(fd));
        close(fd);
        EXPECT_EQ(echo_.accepted(), 0);
    }
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    const std::string saved = readBytes(ini());
    EXPECT_EQ(damage(original, saved), "");
    const PortSettings reloaded = loadPortSettings(ini(), 0);
    // A port that cannot be opened is switched off, and saved so.
    EXPECT_EQ(reloaded.act, listenValid ? 1 : 0);
    EXPECT_EQ(reloaded.forwardHost, "127.0.0.1");
    EXPECT_EQ(reloaded.bufferSize, 64);
    // A wrapped value written back would open the wrong port at the next start.
    EXPECT_EQ(reloaded.port == port, listenValid);
    EXPECT_EQ(reloaded.forwardPort == echo_.port(), c.destinationOffset == 0);
    expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(HostileSettings, PortValues,
                         testing::Values(PortCase{"ListenPortPlus65536", 65536, 0},
                                         PortCase{"ListenPortPlus2To32", kTwoTo32, 0},
                                         PortCase{"ListenPortMinus2To32", -kTwoTo32, 0},
                                         PortCase{"ListenPortMinus65536", -65536, 0},
                                         PortCase{"ListenPortElevenDigits", 99999999999, 0},
                                         PortCase{"DestinationPortPlus65536", 0, 65536},
                                         PortCase{"DestinationPortPlus2To32", 0, kTwoTo32},
                                         PortCase{"DestinationPortMinus65536", 0, -65536}),
                         [](const testing::TestParamInfo<PortCase>& info) {
                             return info.param.name;
                         });

// --- Buffer sizes ---

// Every size relays: below 1 KiB counts as 1 KiB, above 64 MiB as 64 MiB.
struct BufferCase {
    const char* name;
    const char* value;
};

class BufferSizes : public HostileSettings, public testing::WithParamInterface<BufferCase> {};

TEST_P(BufferSizes, ProgramServesEachClientAndKeepsTheLine) {
    const BufferCase& c = GetParam();
    const int port = loopback::freePort();
    const std::string original =
        "[TCP-PORT0]\nACT=1\nPORT=" + std::to_string(port) +
        "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo_.port()) +
        "\nBUFFERSIZE=" + c.value + "\n";
    writeBytes(ini(), original);

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(startsListening(*child, port));
    for (int round = 0; round < 2; ++round) {
        int fd = loopback::connectTo(port, 5s);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(loopback::sendAll(fd, "ping", 4));
        EXPECT_EQ(loopback::receiveExactly(fd, 4), "ping");
        close(fd);
    }
    EXPECT_EQ(listeningPorts(child->pid()), std::set<int>{port});
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    EXPECT_EQ(readBytes(ini()), original);
    expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    HostileSettings, BufferSizes,
    testing::Values(BufferCase{"Zero", "0"}, BufferCase{"MinusOne", "-1"},
                    BufferCase{"Int32Min", "-2147483648"}, BufferCase{"Largest", "65536"},
                    BufferCase{"JustUnder2GiB", "2097151"}, BufferCase{"Int32Max", "2147483647"},
                    BufferCase{"FourGiB", "4194304"}, BufferCase{"TwoTo32PlusOne", "4294967297"},
                    BufferCase{"ElevenDigits", "99999999999"}),
    [](const testing::TestParamInfo<BufferCase>& info) { return info.param.name; });

// --- Destination hosts ---

struct HostCase {
    const char* name;
    std::string host;
    // Bytes that are not UTF-8 come back from the window's text as U+FFFD.
    bool keptAsWritten = true;
};

std::string randomLineBytes(unsigned seed, std::size_t length) {
    std::mt19937 generator(seed);
    std::string bytes;
    while (bytes.size() < length) {
        auto byte = static_cast<char>(generator() & 0xFFU);
        if (byte != '\n' && byte != '\0') {
            bytes += byte;
        }
    }
    return bytes;
}

class ForwardHosts : public HostileSettings, public testing::WithParamInterface<HostCase> {};

// Clients are not sent to these hosts: resolving them could wait on a name server.
TEST_P(ForwardHosts, ProgramListensAndKeepsEveryOtherLine) {
    const HostCase& c = GetParam();
    const int port = loopback::freePort();
    const std::string original =
        withForeignLines("ACT=1\nPORT=" + std::to_string(port) + "\nFORWARDHOST=" + c.host +
                         "\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n");
    writeBytes(ini(), original);

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(startsListening(*child, port));
    EXPECT_EQ(listeningPorts(child->pid()), std::set<int>{port});
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    const std::string saved = readBytes(ini());
    EXPECT_EQ(damage(original, saved), "");
    const PortSettings reloaded = loadPortSettings(ini(), 0);
    EXPECT_EQ(reloaded.port, port);
    EXPECT_LE(reloaded.forwardHost.size(), 260U);
    if (c.keptAsWritten) {
        EXPECT_EQ(reloaded.forwardHost, c.host.substr(0, 260));
    }
    expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(HostileSettings, ForwardHosts,
                         testing::Values(HostCase{"TenThousandBytes", std::string(10000, 'h')},
                                         HostCase{"ControlCharacters", "a\x01\tb\x7f\x1b[0m"},
                                         HostCase{"NotAscii", "中継先.例え.テスト"},
                                         HostCase{"RandomBytes1", randomLineBytes(1, 400), false},
                                         HostCase{"RandomBytes2", randomLineBytes(2, 40), false}),
                         [](const testing::TestParamInfo<HostCase>& info) {
                             return info.param.name;
                         });

// --- Files of random bytes ---

struct RandomCase {
    const char* name;
    unsigned seed;
    std::string alphabet;  // empty: any byte
    std::string prefix;
};

std::string randomFile(const RandomCase& c, std::size_t length) {
    std::mt19937 generator(c.seed);
    std::string bytes = c.prefix;
    while (bytes.size() < length) {
        std::uint32_t value = generator();
        bytes += c.alphabet.empty() ? static_cast<char>(value & 0xFFU)
                                    : c.alphabet[value % c.alphabet.size()];
    }
    return bytes;
}

class RandomFiles : public HostileSettings, public testing::WithParamInterface<RandomCase> {};

TEST_P(RandomFiles, ProgramAddsOnlyItsOwnLines) {
    const std::string original = randomFile(GetParam(), 8192);
    writeBytes(ini(), original);

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(savesOver(*child, original));
    EXPECT_EQ(listeningPorts(child->pid()), std::set<int>{});
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    const std::string saved = readBytes(ini());
    EXPECT_EQ(damage(original, saved), "");
    // Nothing of the old bytes is moved: the program's lines come after them or in between.
    EXPECT_GT(saved.size(), original.size());
    const PortSettings reloaded = loadPortSettings(ini(), 0);
    EXPECT_EQ(reloaded.act, 0);
    EXPECT_EQ(reloaded.port, 0);
    expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    HostileSettings, RandomFiles,
    testing::Values(RandomCase{"AnyBytes1", 1, "", ""}, RandomCase{"AnyBytes2", 2, "", ""},
                    RandomCase{"AnyBytes3", 3, "", ""},
                    RandomCase{"IniPunctuation", 4, "[]=;\r\n \tACTPORT0-\x01\xff", ""},
                    RandomCase{"InsideTheOwnSection", 5, "[]=;\r\n \tacXYZ\x7f",
                               "[TCP-PORT0]\r\n"}),
    [](const testing::TestParamInfo<RandomCase>& info) { return info.param.name; });

// --- The file's place taken by something else ---

TEST_F(HostileSettings, DirectoryInPlaceOfTheFileStaysAsItIs) {
    fs::create_directory(ini());
    writeBytes(ini() / "inside", "x");

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));
    EXPECT_TRUE(fs::is_directory(ini()));
    EXPECT_EQ(readBytes(ini() / "inside"), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(ini()), fs::directory_iterator()), 1);
    expectNoLeftovers();
}

// Mode 000 stops every user but root. Either way the file stays exactly as it was: root
// reads it, but the program never replaces a file that nobody may write.
TEST_F(HostileSettings, UnreadableFileIsNeverWritten) {
    const int port = loopback::freePort();
    const std::string original =
        withForeignLines("ACT=1\nPORT=" + std::to_string(port) +
                         "\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n");
    writeBytes(ini(), original);
    ASSERT_EQ(chmod(ini().c_str(), 0), 0);
    const bool readable = access(ini().c_str(), R_OK) == 0;

    auto child = start();
    ASSERT_TRUE(child->started());
    if (readable) {
        ASSERT_TRUE(startsListening(*child, port));
    } else {
        ASSERT_TRUE(waitWhileRunning(*child, [&] { return catchesTerminate(child->pid()); }));
        EXPECT_FALSE(listeningPorts(child->pid()).contains(port));
    }
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    struct stat info {};
    ASSERT_EQ(stat(ini().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0U);
    chmod(ini().c_str(), 0600);
    EXPECT_EQ(readBytes(ini()), original);
    expectNoLeftovers();
}

// A folder without write permission stops the save for every user but root, for whom the
// save goes through; either way the foreign lines stay and no temporary file is left.
TEST_F(HostileSettings, ReadOnlyFolderKeepsTheFileWhole) {
    const int port = loopback::freePort();
    const std::string original =
        withForeignLines("ACT=1\nPORT=" + std::to_string(port) +
                         "\nFORWARDPORT=" + std::to_string(echo_.port()) + "\n");
    writeBytes(ini(), original);
    ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
    const bool writable = access(folder_.c_str(), W_OK) == 0;

    auto child = start();
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(startsListening(*child, port));
    int fd = loopback::connectTo(port, 5s);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(loopback::sendAll(fd, "ping", 4));
    EXPECT_EQ(loopback::receiveExactly(fd, 4), "ping");
    close(fd);
    ASSERT_NO_FATAL_FAILURE(endsInOrder(*child));

    const std::string saved = readBytes(ini());
    if (writable) {
        EXPECT_EQ(damage(original, saved), "");
        EXPECT_EQ(loadPortSettings(ini(), 0).forwardHost, "127.0.0.1");
    } else {
        EXPECT_EQ(saved, original);
    }
    expectNoLeftovers();
}

}  // namespace
