#include "platform/private_profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class PrivateProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "private-profile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "test.ini").string();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }

    static void writeFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::vector<std::string> directoryEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::string readString(const char* section, const char* key, const char* defaultValue,
                           unsigned int size = 261) const {
        std::vector<char> buffer(size + 1, 'x');
        const unsigned int length = GetPrivateProfileStringA(section, key, defaultValue,
                                                             buffer.data(), size, path_.c_str());
        EXPECT_EQ(buffer[length], '\0');
        return {buffer.data(), length};
    }

    int write(const char* section, const char* key, const char* value) const {
        return WritePrivateProfileStringA(section, key, value, path_.c_str());
    }

    fs::path dir_;
    std::string path_;
};

const char* const kSample =
    "; hand-written\n"
    "[Other]\n"
    "ACT=9\n"
    "\n"
    "[ tcp-port0 ]\n"
    "  act  =  1  \n"
    "Port=8080abc\n"
    "FORWARDHOST=\n"
    "QUOTED=\"  spaced  \"\n"
    "[NOSUCH\n"  // no closing bracket: not a header
    "NEG=-5\n"
    "PLUS= +7\n"
    "WRAPS=4294967297\n"
    "LETTERS=abc\n"
    "HEX=0x10\n"
    "NOEQUALS\n"
    "ACT=3\n"
    "[TCP-PORT0]\n"
    "ACT=2\n";

TEST_F(PrivateProfileTest, ReadsIntegers) {
    writeFile(path_, kSample);
    struct Case {
        const char* section;
        const char* key;
        int defaultValue;
        int expected;
    };
    const Case cases[] = {
        {"TCP-PORT0", "ACT", 7, 1},          // first section and first key of a name count
        {"tcp-port0", "PORT", 7, 8080},      // digits up to the first other character
        {"TCP-PORT0", "NEG", 7, -5},         //
        {"TCP-PORT0", "PLUS", 7, 7},         //
        {"TCP-PORT0", "WRAPS", 7, 1},        // 2^32 + 1 wraps like the system's conversion
        {"TCP-PORT0", "LETTERS", 7, 0},      //
        {"TCP-PORT0", "HEX", 7, 0},          // decimal only
        {"TCP-PORT0", "FORWARDHOST", 7, 7},  // an empty value gives the default
        {"TCP-PORT0", "NOEQUALS", 7, 7},     // a line without "=" is no key
        {"TCP-PORT0", "MISSING", 7, 7},      //
        {"Other", "act", 7, 9},              //
        {"TCP-PORT1", "ACT", -3, -3},        //
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<int>(
                      GetPrivateProfileIntA(c.section, c.key, c.defaultValue, path_.c_str())),
                  c.expected)
            << c.section << '/' << c.key;
    }
}

TEST_F(PrivateProfileTest, ReadsTexts) {
    writeFile(path_, kSample);
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"TCP-PORT0", "ACT", "1"},
        {"TCP-PORT0", "port", "8080abc"},
        {"TCP-PORT0", "FORWARDHOST", ""},  // present but empty: not the default
        {"TCP-PORT0", "QUOTED", "  spaced  "},
        {"TCP-PORT0", "MISSING", "default"},
        {"NOSUCH", "ACT", "default"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readString(c.section, c.key, "default"), c.expected) << c.section << '/' << c.key;
    }
    EXPECT_EQ(readString("NOSUCH", "ACT", "trailing  "), "trailing");
    EXPECT_EQ(readString("NOSUCH", "ACT", nullptr), "");
}

TEST_F(PrivateProfileTest, MissingOrUnreadableFileGivesDefaults) {
    const std::string missing = (dir_ / "none.ini").string();
    EXPECT_EQ(GetPrivateProfileIntA("S", "K", 128, missing.c_str()), 128U);
    path_ = dir_.string();  // a directory in the file's place
    EXPECT_EQ(GetPrivateProfileIntA("S", "K", 5, path_.c_str()), 5U);
    EXPECT_EQ(readString("S", "K", "127.0.0.1"), "127.0.0.1");
}

TEST_F(PrivateProfileTest, CutsTextWithoutSplittingCharacters) {
    const std::string e2 = "\xC3\xA9";          // two-byte character
    const std::string e3 = "\xE2\x82\xAC";      // three bytes
    const std::string e4 = "\xF0\x9F\x98\x80";  // four bytes
    struct Case {
        std::string value;
        std::string expected;
    };
    const Case cases[] = {
        {std::string(300, 'a'), std::string(260, 'a')},
        {std::string(260, 'a'), std::string(260, 'a')},
        {std::string(259, 'a') + e2, std::string(259, 'a')},
        {std::string(258, 'a') + e2 + "b", std::string(258, 'a') + e2},
        {std::string(258, 'a') + e3, std::string(258, 'a')},
        {std::string(257, 'a') + e3, std::string(257, 'a') + e3},
        {std::string(257, 'a') + e4, std::string(257, 'a')},
        {std::string(256, 'a') + e4 + "bb", std::string(256, 'a') + e4},
    };
    for (const auto& c : cases) {
        writeFile(path_, "[S]\nK=" + c.value + "\n");
        EXPECT_EQ(readString("S", "K", ""), c.expected) << c.value.size();
    }
    // The default is cut the same way, and a tiny buffer still gets its terminating zero.
    EXPECT_EQ(readString("S", "MISSING", (std::string(259, 'a') + e2).c_str()),
              std::string(259, 'a'));
    EXPECT_EQ(readString("S", "K", "", 1), "");
    char untouched = 'x';
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", &untouched, 0, path_.c_str()), 0U);
    EXPECT_EQ(untouched, 'x');
}

TEST_F(PrivateProfileTest, CreatesFileWithLfLines) {
    EXPECT_NE(write("TCP-PORT0", "ACT", "0"), 0);
    EXPECT_NE(write("TCP-PORT0", "PORT", "80"), 0);
    EXPECT_NE(write("TCP-PORT1", "ACT", "1"), 0);
    EXPECT_EQ(readFile(path_), "[TCP-PORT0]\nACT=0\nPORT=80\n[TCP-PORT1]\nACT=1\n");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(path_).permissions(), static_cast<fs::perms>(0666 & ~mask));
}

struct EditCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

TEST_F(PrivateProfileTest, EditsOnlyWhatItMust) {
    const std::string lf =
        "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
        "\n; about the next one\n[Last]\nZ=1";
    const std::string crlfBom = "\xEF\xBB\xBF[TCP-PORT0]\r\nACT=1\r\n\r\n[Other]\r\nK=v\r\n";
    const EditCase cases[] = {
        {"update in place keeps the key's spelling", lf, "TCP-PORT0", "PORT", "8080",
         "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\nPort=8080\nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=1"},
        {"missing key goes after the section's last entry", lf, "TCP-PORT0", "FORWARDHOST", "h",
         "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "FORWARDHOST=h\n\n; about the next one\n[Last]\nZ=1"},
        {"missing key in a last section without a final line end", lf, "Last", "Y", "2",
         "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=1\nY=2\n"},
        {"missing section goes at the end", lf, "New", "A", "",
         "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=1\n[New]\nA=\n"},
        {"line breaks in a value are cut", lf, "Last", "Z", "2\n[Evil]\nQ=1",
         "; kept\n[Other]\nPORT=1\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=2"},
        {"null value removes the key", lf, "Other", "PORT", nullptr,
         "; kept\n[Other]\n\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=1"},
        {"null key removes the section", lf, "Other", nullptr, nullptr,
         "; kept\n[tcp-port0]\n  Port = 80 \nBUFFERSIZE=64\nX=y\n"
         "\n; about the next one\n[Last]\nZ=1"},
        {"CRLF and mark: update", crlfBom, "TCP-PORT0", "ACT", "0",
         "\xEF\xBB\xBF[TCP-PORT0]\r\nACT=0\r\n\r\n[Other]\r\nK=v\r\n"},
        {"CRLF and mark: new key", crlfBom, "tcp-port0", "PORT", "1",
         "\xEF\xBB\xBF[TCP-PORT0]\r\nACT=1\r\nPORT=1\r\n\r\n[Other]\r\nK=v\r\n"},
        {"CRLF and mark: new section", crlfBom, "TCP-PORT1", "ACT", "1",
         "\xEF\xBB\xBF[TCP-PORT0]\r\nACT=1\r\n\r\n[Other]\r\nK=v\r\n[TCP-PORT1]\r\nACT=1\r\n"},
        {"mark alone", "\xEF\xBB\xBF", "S", "K", "v", "\xEF\xBB\xBF[S]\nK=v\n"},
    };
    for (const auto& c : cases) {
        writeFile(path_, c.before);
        EXPECT_NE(write(c.section, c.key, c.value), 0) << c.name;
        EXPECT_EQ(readFile(path_), c.after) << c.name;
    }
}

// A write ignores blanks around the names and anything after a line break in them; a
// read must address the same key, or what was just saved reads back as the default.
TEST_F(PrivateProfileTest, ReadsUnderTheNamesItWrote) {
    struct Case {
        const char* section;
        const char* key;
        const char* plainSection;
        const char* plainKey;
        const char* file;
    };
    const Case cases[] = {
        {" S\t", "\tK ", "S", "K", "[S]\nK=7\n"},
        {"S\n[Evil]", "K\r\nQ=1", "S", "K", "[S]\nK=7\n"},
        {"  ", " ", "", "", "[]\n=7\n"},
    };
    for (const auto& c : cases) {
        fs::remove(path_);
        EXPECT_NE(write(c.section, c.key, "7"), 0) << c.file;
        EXPECT_EQ(readFile(path_), c.file);
        EXPECT_EQ(readString(c.section, c.key, "default"), "7") << c.file;
        EXPECT_EQ(GetPrivateProfileIntA(c.section, c.key, -1, path_.c_str()), 7U) << c.file;
        EXPECT_EQ(readString(c.plainSection, c.plainKey, "default"), "7") << c.file;
    }
}

TEST_F(PrivateProfileTest, KeepsPermissionsAndFollowsLinks) {
    writeFile(path_, "[S]\nK=1\n");
    fs::permissions(path_, static_cast<fs::perms>(0640));
    const std::string link = (dir_ / "link.ini").string();
    fs::create_symlink(path_, link);

    ASSERT_NE(WritePrivateProfileStringA("S", "K", "2", link.c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(path_), "[S]\nK=2\n");
    EXPECT_EQ(fs::status(path_).permissions(), static_cast<fs::perms>(0640));
}

TEST_F(PrivateProfileTest, UnchangedValueLeavesTheFileAlone) {
    writeFile(path_, "[S]\nK=1\n");
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    EXPECT_NE(write("S", "K", "1"), 0);
    EXPECT_NE(write("S", "GONE", nullptr), 0);
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_FALSE(fs::exists(dir_ / "none.ini"));
    EXPECT_NE(WritePrivateProfileStringA("S", "K", nullptr, (dir_ / "none.ini").c_str()), 0);
    EXPECT_FALSE(fs::exists(dir_ / "none.ini"));
}

TEST_F(PrivateProfileTest, FailedWritesChangeNothing) {
    const std::string inMissingDir = (dir_ / "no-such-dir" / "test.ini").string();
    EXPECT_EQ(WritePrivateProfileStringA("S", "K", "v", inMissingDir.c_str()), 0);
    EXPECT_FALSE(fs::exists(dir_ / "no-such-dir"));

    const std::string notADir = (dir_ / "plain-file").string();
    writeFile(notADir, "x");
    const std::string underFile = notADir + "/test.ini";
    EXPECT_EQ(WritePrivateProfileStringA("S", "K", "v", underFile.c_str()), 0);
    EXPECT_EQ(readFile(notADir), "x");

    // A file marked read-only is left alone even for root.
    writeFile(path_, "[S]\nK=old\n");
    fs::permissions(path_, static_cast<fs::perms>(0444));
    EXPECT_EQ(write("S", "K", "new"), 0);
    EXPECT_EQ(readFile(path_), "[S]\nK=old\n");

    EXPECT_EQ(directoryEntries().size(), 2U) << "no temporary file may stay behind";
}

TEST_F(PrivateProfileTest, ReadOnlyDirectoryChangesNothing) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permission bits do not stop root";
    }
    writeFile(path_, "[S]\nK=old\n");
    fs::permissions(dir_, static_cast<fs::perms>(0555));
    EXPECT_EQ(write("S", "K", "new"), 0);
    EXPECT_EQ(readFile(path_), "[S]\nK=old\n");
}

TEST_F(PrivateProfileTest, AbandonedReplaceKeepsTheOldFile) {
    writeFile(path_, "[S]\nK=old\nBUFFERSIZE=64\n");
    std::string seenTemporary;
    const int result = private_profile_detail::writeProfileString(
        "S", "K", "new", path_.c_str(), [&](const std::string& temporaryPath) {
            seenTemporary = temporaryPath;
            // The new file is complete before it replaces anything.
            EXPECT_EQ(readFile(temporaryPath), "[S]\nK=new\nBUFFERSIZE=64\n");
            EXPECT_EQ(readFile(path_), "[S]\nK=old\nBUFFERSIZE=64\n");
            return false;
        });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fs::path(seenTemporary).parent_path(), dir_);
    EXPECT_EQ(readFile(path_), "[S]\nK=old\nBUFFERSIZE=64\n");
    EXPECT_EQ(directoryEntries(), std::vector<std::string>{"test.ini"});

    // The next save tries again and succeeds.
    EXPECT_NE(write("S", "K", "new"), 0);
    EXPECT_EQ(readFile(path_), "[S]\nK=new\nBUFFERSIZE=64\n");
}

TEST_F(PrivateProfileTest, ProcessDyingBeforeTheRenameLeavesTheOldFileWhole) {
    writeFile(path_, "[S]\nK=old\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        private_profile_detail::writeProfileString("S", "K", "new", path_.c_str(),
                                                   [](const std::string&) -> bool { ::_exit(7); });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(readFile(path_), "[S]\nK=old\n");
    EXPECT_EQ(readString("S", "K", ""), "old");

    EXPECT_NE(write("S", "K", "new"), 0);
    EXPECT_EQ(readString("S", "K", ""), "new");
}

}  // namespace

TEST_F(PrivateProfileTest, LeftoversOfEndedWritersGoAtTheNextWrite) {
    const pid_t ended = fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string base = path_ + ".tmp-";
    const std::vector<std::string> kept{
        base + std::to_string(getpid()) + "-7", base + std::to_string(getppid()) + "-1",
        base + "x-1", (dir_ / "other.ini.tmp-").string() + std::to_string(ended) + "-1"};
    const std::string leftover = base + std::to_string(ended) + "-3";
    for (const std::string& name : kept) {
        std::ofstream(name) << "x";
    }
    std::ofstream(leftover) << "half";
    ASSERT_NE(write("S", "K", "v"), 0);
    EXPECT_FALSE(fs::exists(leftover));
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(name)) << name;
    }
}
