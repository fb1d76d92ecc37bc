#include "app/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/app/scoped_env.h"

namespace {

TEST(Autostart, ExecQuotesThePathAsTheDesktopEntryRulesAsk) {
    struct Case {
        const char* executable;
        const char* exec;
    };
    const Case cases[] = {
        {"/usr/bin/tarnwick-pico", R"("/usr/bin/tarnwick-pico" --autostart)"},
        {"/home/a b/tp", R"("/home/a b/tp" --autostart)"},
        // Inside quotes ", `, $ and \ take a backslash, then every \ is doubled once more
        // as a string value; % is doubled for the field codes.
        {R"(/x/"q"`$\%)", R"("/x/\\"q\\"\\`\\$\\\\%%" --autostart)"},
        {"relative/tp", ""},
        {"/line\nbreak", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(autostartExecValue(c.executable), c.exec) << c.executable;
    }
}

TEST(Autostart, FileIsWrittenForThisExecutableAndRemoved) {
    std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-auto-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path folder = pattern;
    {
        ScopedEnv config("XDG_CONFIG_HOME", (folder / "config").c_str());
        EXPECT_EQ(autostartFilePath(),
                  (folder / "config/autostart/tarnwick-pico.desktop").string());
    }
    ScopedEnv relative("XDG_CONFIG_HOME", "not/absolute");
    ScopedEnv home("HOME", folder.c_str());
    const std::string path = autostartFilePath();
    EXPECT_EQ(path, (folder / ".config/autostart/tarnwick-pico.desktop").string());

    EXPECT_FALSE(autostartPointsAt(path, "/opt/tp"));
    ASSERT_TRUE(writeAutostart(path, "/opt/tp"));
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    for (const char* line : {"[Desktop Entry]\n", "\nType=Application\n", "\nName=Tarnwick Pico\n",
                             "\nExec=\"/opt/tp\" --autostart\n", "\nIcon=tarnwick-pico\n"}) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(autostartPointsAt(path, "/opt/tp"));
    // Another copy's entry is not this one's.
    EXPECT_FALSE(autostartPointsAt(path, "/opt/other"));
    EXPECT_FALSE(writeAutostart(path, "relative"));
    EXPECT_TRUE(autostartPointsAt(path, "/opt/tp"));

    EXPECT_TRUE(removeAutostart(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(removeAutostart(path));
    std::filesystem::remove_all(folder);
}

}  // namespace
