#include "app/settings_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/app/child_program.h"

namespace {

struct ConfigCase {
    const char* xdgConfigHome;
    const char* home;
    const char* expected;
};

TEST(SettingsDirectory, ConfigFolderFollowsXdgConfigHomeElseHome) {
    const std::vector<ConfigCase> cases{
        {"/xdg", "/home/u", "/xdg/tarnwick-pico"},
        {nullptr, "/home/u", "/home/u/.config/tarnwick-pico"},
        {"", "/home/u", "/home/u/.config/tarnwick-pico"},
        {"relative/xdg", "/home/u", "/home/u/.config/tarnwick-pico"},
    };
    for (const ConfigCase& c : cases) {
        EXPECT_EQ(configSettingsDirectory(c.xdgConfigHome, c.home), c.expected)
            << (c.xdgConfigHome != nullptr ? c.xdgConfigHome : "(unset)");
    }
}

class SettingsFolder : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-cfg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string folder_;
};

TEST_F(SettingsFolder, WritableFolderOrSettingsFileBesideMakesACopyPortable) {
    EXPECT_TRUE(isPortableFolder(folder_));
    // The package's folder is never the user's, even for root, unless a file is there.
    EXPECT_EQ(isPortableFolder(TARNWICK_INSTALLED_BINDIR),
              std::filesystem::exists(TARNWICK_INSTALLED_BINDIR "/TarnwickPico.ini"));
    std::filesystem::create_directory(folder_ + "/locked");
    std::ofstream(folder_ + "/locked/TarnwickPico.ini") << "[TCP-PORT0]\n";
    chmod((folder_ + "/locked").c_str(), 0555);
    EXPECT_TRUE(isPortableFolder(folder_ + "/locked"));
    chmod((folder_ + "/locked").c_str(), 0755);
}

TEST_F(SettingsFolder, MissingFoldersAreCreatedPrivate) {
    std::string config = folder_ + "/home/.config/tarnwick-pico";
    ASSERT_TRUE(createPrivateDirectory(config));
    for (const std::string& path : {config, folder_ + "/home/.config"}) {
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << path;
    }
    EXPECT_TRUE(createPrivateDirectory(config));
    std::ofstream(folder_ + "/file") << "x";
    EXPECT_FALSE(createPrivateDirectory(folder_ + "/file/tarnwick-pico"));
}

struct InformationCase {
    const char* argument;
    const char* expectedStart;
};

TEST_F(SettingsFolder, HelpAndVersionAnswerBeforeAnythingStarts) {
    const std::vector<InformationCase> cases{
        {"--version", "tarnwick-pico 1.0.1.113\n"},
        {"--help", "Usage: tarnwick-pico [-D503]\n"},
    };
    for (const InformationCase& c : cases) {
        ChildProgram child(folder_, ChildProgram::programIn(folder_), {c.argument}, folder_);
        ASSERT_TRUE(child.started());
        std::string output = child.standardOutput();
        EXPECT_EQ(output.rfind(c.expectedStart, 0), 0u) << output;
        std::optional<int> status = child.waitForExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << c.argument;
        EXPECT_FALSE(std::filesystem::exists(folder_ + "/TarnwickPico.ini")) << c.argument;
        EXPECT_FALSE(std::filesystem::exists(ChildProgram::runtimeFolder(folder_) +
                                             "/__MISTRELSOFT__TARNWICKPICO"))
            << c.argument;
    }
}

}  // namespace
