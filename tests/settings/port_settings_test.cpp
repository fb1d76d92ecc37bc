#include "settings/port_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

namespace {

namespace fs = std::filesystem;

class PortSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "port-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / kSettingsFileName).string();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }

    void writeFile(const std::string& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    std::string readFile() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
    std::string path_;
};

void expectSettings(const PortSettings& actual, const PortSettings& expected) {
    EXPECT_EQ(actual.act, expected.act);
    EXPECT_EQ(actual.port, expected.port);
    EXPECT_EQ(actual.forwardHost, expected.forwardHost);
    EXPECT_EQ(actual.forwardPort, expected.forwardPort);
    EXPECT_EQ(actual.bufferSize, expected.bufferSize);
}

TEST_F(PortSettingsTest, SectionNames) {
    EXPECT_EQ(portSectionName(0), "TCP-PORT0");
    EXPECT_EQ(portSectionName(12), "TCP-PORT12");
    EXPECT_STREQ(kSettingsFileName, "TarnwickPico.ini");
}

TEST_F(PortSettingsTest, NoFileGivesDefaultsAndFirstSaveWritesFourLines) {
    const PortSettings loaded = loadPortSettings(path_, 0);
    expectSettings(loaded, PortSettings{0, 0, "127.0.0.1", 0, 128});
    savePortSettings(path_, 0, loaded);
    EXPECT_EQ(readFile(), "[TCP-PORT0]\nACT=0\nPORT=0\nFORWARDHOST=127.0.0.1\nFORWARDPORT=0\n");
}

TEST_F(PortSettingsTest, RoundTripsEveryWrittenField) {
    const PortSettings saved{1, 8080, "relay.example", 443, 128};
    savePortSettings(path_, 1, saved);
    expectSettings(loadPortSettings(path_, 1), saved);
    expectSettings(loadPortSettings(path_, 0), PortSettings{});

    const PortSettings odd{0, -1, "", 70000, 128};  // kept as they are, not clamped
    savePortSettings(path_, 1, odd);
    EXPECT_EQ(readFile(), "[TCP-PORT1]\nACT=0\nPORT=-1\nFORWARDHOST=\nFORWARDPORT=70000\n");
    expectSettings(loadPortSettings(path_, 1), odd);
}

TEST_F(PortSettingsTest, LoadsHandWrittenFilesAsTheyAre) {
    struct Case {
        const char* name;
        std::string file;
        PortSettings expected;
    };
    const Case cases[] = {
        {"names in any case, blanks around",
         "[tcp-port0]\n  act = 1 \n Port=8080\nforwardhost = h \n",
         {1, 8080, "h", 0, 128}},
        {"present but empty host", "[TCP-PORT0]\nFORWARDHOST=\n", {0, 0, "", 0, 128}},
        {"trailing letters and no digits",
         "[TCP-PORT0]\nPORT=8080abc\nFORWARDPORT=abc\n",
         {0, 8080, "127.0.0.1", 0, 128}},
        {"hand-added buffer size", "[TCP-PORT0]\nBUFFERSIZE=64\n", {0, 0, "127.0.0.1", 0, 64}},
        {"largest buffer size", "[TCP-PORT0]\nBUFFERSIZE=65536\n", {0, 0, "127.0.0.1", 0, 65536}},
        {"buffer size above 64 MiB",
         "[TCP-PORT0]\nBUFFERSIZE=2097151\n",
         {0, 0, "127.0.0.1", 0, 65536}},
        {"out-of-range values kept",
         "[TCP-PORT0]\nACT=5\nPORT=99999\nBUFFERSIZE=-1\n",
         {5, 99999, "127.0.0.1", 0, -1}},
        {"another section only", "[TCP-PORT1]\nACT=1\nPORT=1\n", {0, 0, "127.0.0.1", 0, 128}},
        {"CRLF with a byte-order mark",
         "\xEF\xBB\xBF[TCP-PORT0]\r\nACT=1\r\nPORT=81\r\nFORWARDHOST=x\r\nFORWARDPORT=82\r\n",
         {1, 81, "x", 82, 128}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(c.file);
        expectSettings(loadPortSettings(path_, 0), c.expected);
    }
}

TEST_F(PortSettingsTest, IntegerTextBeyond32BitsSaturatesInsteadOfWrapping) {
    constexpr int kMax = std::numeric_limits<int>::max();
    constexpr int kMin = std::numeric_limits<int>::min();
    struct Case {
        const char* name;
        std::string lines;
        PortSettings expected;
    };
    const Case cases[] = {
        {"2^32 + 8080 is not port 8080",
         "PORT=4294975376\nFORWARDPORT=-4294959216\n",
         {0, kMax, "127.0.0.1", kMin, 128}},
        {"2^32 + 1 does not switch on", "ACT=4294967297\n", {kMax, 0, "127.0.0.1", 0, 128}},
        {"one past either end",
         "PORT=2147483648\nFORWARDPORT=-2147483649\n",
         {0, kMax, "127.0.0.1", kMin, 128}},
        {"both ends exactly",
         "PORT=2147483647\nFORWARDPORT=-2147483648\n",
         {0, kMax, "127.0.0.1", kMin, 128}},
        {"huge buffer size", "BUFFERSIZE=99999999999\n", {0, 0, "127.0.0.1", 0, 65536}},
        {"digits longer than the value buffer",
         "PORT=" + std::string(300, '9') + "\n",
         {0, kMax, "127.0.0.1", 0, 128}},
        {"leading zeros, sign and trailing text",
         "PORT=000000000000000008080\nFORWARDPORT=+65536x\n",
         {0, 8080, "127.0.0.1", 65536, 128}},
        {"small out-of-range values stay",
         "PORT=65536\nFORWARDPORT=-1\nBUFFERSIZE=0\n",
         {0, 65536, "127.0.0.1", -1, 0}},
        {"quoted", "PORT=\"4294975376\"\n", {0, kMax, "127.0.0.1", 0, 128}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("[TCP-PORT0]\n" + c.lines);
        expectSettings(loadPortSettings(path_, 0), c.expected);
    }
}

TEST_F(PortSettingsTest, SaturatedPortIsWrittenBackAsLoaded) {
    writeFile("[TCP-PORT0]\nACT=1\nPORT=4294975376\nFORWARDPORT=80\nBUFFERSIZE=99999999999\n");
    savePortSettings(path_, 0, loadPortSettings(path_, 0));
    EXPECT_EQ(readFile(),
              "[TCP-PORT0]\nACT=1\nPORT=2147483647\nFORWARDPORT=80\nBUFFERSIZE=99999999999\n"
              "FORWARDHOST=127.0.0.1\n");
}

TEST_F(PortSettingsTest, EmptyHostStaysEmpty) {
    writeFile("[TCP-PORT0]\nACT=0\nPORT=1\nFORWARDHOST=\nFORWARDPORT=2\n");
    PortSettings settings = loadPortSettings(path_, 0);
    EXPECT_EQ(settings.forwardHost, "");
    settings.act = 1;
    savePortSettings(path_, 0, settings);
    EXPECT_EQ(readFile(), "[TCP-PORT0]\nACT=1\nPORT=1\nFORWARDHOST=\nFORWARDPORT=2\n");
}

TEST_F(PortSettingsTest, LongHostIsCutAndWrittenBackCut) {
    writeFile("[TCP-PORT0]\nFORWARDHOST=" + std::string(300, 'h') + "\n");
    const PortSettings settings = loadPortSettings(path_, 0);
    EXPECT_EQ(settings.forwardHost, std::string(260, 'h'));
    savePortSettings(path_, 0, settings);
    EXPECT_EQ(readFile(), "[TCP-PORT0]\nFORWARDHOST=" + std::string(260, 'h') +
                              "\nACT=0\nPORT=0\nFORWARDPORT=0\n");
}

TEST_F(PortSettingsTest, HostWithControlBytesRoundTripsByteForByte) {
    struct Case {
        const char* name;
        std::string host;
    };
    const Case cases[] = {
        {"start of heading",
         "a\x01"
         "b"},
        {"inner tab", "a\tb"},
        {"delete", "\x7f"},
        {"bytes that are not UTF-8", "\xff\xfe\x80host"},
        {"escape sequence", "\x1b[2Jx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = "[TCP-PORT0]\nACT=0\nPORT=1\nFORWARDHOST=" + c.host +
                                 "\nFORWARDPORT=2\nBUFFERSIZE=64\n";
        writeFile(file);
        const PortSettings loaded = loadPortSettings(path_, 0);
        EXPECT_EQ(loaded.forwardHost, c.host);
        savePortSettings(path_, 0, loaded);
        EXPECT_EQ(readFile(), file);
    }
}

TEST_F(PortSettingsTest, ForeignLinesSurviveManySaves) {
    const std::string before =
        "; my relay\r\n"
        "[TCP-PORT0]\r\n"
        "ACT=1\r\n"
        "BUFFERSIZE=64\r\n"
        "COMMENT=keep me\r\n"
        "PORT=8080\r\n"
        "FORWARDHOST=127.0.0.1\r\n"
        "FORWARDPORT=80\r\n"
        "\r\n"
        "[TCP-PORT1]\r\n"
        "ACT=1\r\n";
    writeFile("\xEF\xBB\xBF" + before);
    PortSettings settings = loadPortSettings(path_, 0);
    EXPECT_EQ(settings.bufferSize, 64);
    for (int i = 0; i < 20; ++i) {
        settings.act = i % 2;
        settings.forwardPort = 1000 + i;
        savePortSettings(path_, 0, settings);
        settings = loadPortSettings(path_, 0);
    }
    EXPECT_EQ(readFile(),
              "\xEF\xBB\xBF; my relay\r\n"
              "[TCP-PORT0]\r\n"
              "ACT=1\r\n"
              "BUFFERSIZE=64\r\n"
              "COMMENT=keep me\r\n"
              "PORT=8080\r\n"
              "FORWARDHOST=127.0.0.1\r\n"
              "FORWARDPORT=1019\r\n"
              "\r\n"
              "[TCP-PORT1]\r\n"
              "ACT=1\r\n");
}

TEST_F(PortSettingsTest, SaveThatCannotWriteChangesNothing) {
    const std::string original = "[TCP-PORT0]\nACT=0\nPORT=1\n";
    writeFile(original);
    const PortSettings changed{1, 2, "h", 3, 128};

    ::chmod(path_.c_str(), 0444);
    savePortSettings(path_, 0, changed);
    EXPECT_EQ(readFile(), original);
    ::chmod(path_.c_str(), 0644);

    savePortSettings((dir_ / "missing" / kSettingsFileName).string(), 0, changed);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    savePortSettings(path_ + "/" + kSettingsFileName, 0, changed);  // the "directory" is a file
    EXPECT_EQ(readFile(), original);

    // Once writing is possible again the next save goes through.
    savePortSettings(path_, 0, changed);
    expectSettings(loadPortSettings(path_, 0), changed);
}

}  // namespace

std::string sections(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
        text += "[" + portSectionName(i) + "]\nPORT=" + std::to_string(1000 + i) + "\n";
    }
    return text;
}

TEST_F(PortSettingsTest, PanelCountIsTheRunOfConsecutiveSections) {
    struct Case {
        const char* name;
        std::string file;
        int count;
    };
    const Case cases[] = {
        {"no sections", "; nothing\n", 1},
        {"one", sections(0, 1), 1},
        {"two", sections(0, 2), 2},
        {"three", sections(0, 3), 3},
        {"ten", sections(0, 10), 10},
        {"eleventh ignored", sections(0, 11), 10},
        {"a gap ends the list", sections(0, 2) + sections(3, 5), 2},
        {"first missing", sections(1, 3), 1},
        {"any case, any order", "[tcp-port1]\n[Other]\n[ TCP-Port0 ]\n[TCP-PORT2]\n", 3},
    };
    EXPECT_EQ(countPortSections(path_), 1) << "no file";
    for (const Case& c : cases) {
        writeFile(c.file);
        EXPECT_EQ(countPortSections(path_), c.count) << c.name;
    }
}

TEST_F(PortSettingsTest, RemovingAPanelRenumbersTheRestAndKeepsEveryOtherByte) {
    writeFile(
        "; relays\r\n"
        "[TCP-PORT0]\r\nACT=0\r\nPORT=81\r\n\r\n"
        "; the second one\r\n"
        "[TCP-PORT1]\r\nACT=0\r\n; by hand\r\nBUFFERSIZE=64\r\nPORT=82\r\n\r\n"
        "[Other]\r\nK=v\r\n"
        "[tcp-port2]  \r\nACT=1\r\nBUFFERSIZE=32\r\nMINE = x \r\nPORT=83\r\n"
        "[TCP-PORT3]\r\nPORT=84\r\n");
    removePortSection(path_, 1, 3);
    EXPECT_EQ(readFile(),
              "; relays\r\n"
              "[TCP-PORT0]\r\nACT=0\r\nPORT=81\r\n\r\n"
              "; the second one\r\n"
              "[Other]\r\nK=v\r\n"
              "[TCP-PORT1]  \r\nACT=1\r\nBUFFERSIZE=32\r\nMINE = x \r\nPORT=83\r\n"
              "[TCP-PORT3]\r\nPORT=84\r\n");
    EXPECT_EQ(loadPortSettings(path_, 1).bufferSize, 32);
    EXPECT_EQ(countPortSections(path_), 2);

    // The last panel goes without renumbering; the file ends where its section began.
    removePortSection(path_, 1, 2);
    EXPECT_EQ(readFile(),
              "; relays\r\n"
              "[TCP-PORT0]\r\nACT=0\r\nPORT=81\r\n\r\n"
              "; the second one\r\n"
              "[Other]\r\nK=v\r\n"
              "[TCP-PORT3]\r\nPORT=84\r\n");
}
