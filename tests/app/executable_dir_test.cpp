#include "app/executable_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

#include "tests/app/stdout_capture.h"

namespace {

struct DirectoryCase {
    const char* path;
    const char* directory;
};

void PrintTo(const DirectoryCase& c, std::ostream* out) {
    *out << '"' << c.path << '"';
}

class ExecutableDirectory : public testing::TestWithParam<DirectoryCase> {};

TEST_P(ExecutableDirectory, IsTheTextBeforeTheLastSlash) {
    EXPECT_EQ(executableDirectory(GetParam().path), GetParam().directory);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecutableDirectory,
    testing::Values(DirectoryCase{"/opt/tarnwick/tarnwick-pico", "/opt/tarnwick"},
                    DirectoryCase{"./tarnwick-pico", "."},
                    DirectoryCase{"build/tarnwick-pico", "build"},
                    DirectoryCase{"tarnwick-pico", ""}, DirectoryCase{"/tarnwick-pico", ""},
                    DirectoryCase{"/ターン/ウィック/tarnwick-pico", "/ターン/ウィック"},
                    DirectoryCase{"/a//b/", "/a//b"}, DirectoryCase{"", ""}));

std::string currentDirectory() {
    std::array<char, 4096> buffer{};
    return getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : "";
}

class EnterDirectory : public testing::Test {
  protected:
    void SetUp() override {
        start_ = currentDirectory();
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-dir-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        ASSERT_EQ(chdir(start_.c_str()), 0);
        std::filesystem::remove_all(folder_);
    }

    std::string start_;
    std::string folder_;
};

TEST_F(EnterDirectory, WithSlashMakesTheDirectoryCurrentAndWritesIt) {
    std::string program = folder_ + "/tarnwick-pico";
    StdoutCapture capture;
    enterExecutableDirectory(program.c_str());
    std::string written = capture.finish();
    EXPECT_EQ(written, "CurrentDir=" + folder_);
    EXPECT_EQ(std::filesystem::canonical(currentDirectory()), std::filesystem::canonical(folder_));
    EXPECT_EQ(storedExecutableDirectory(), folder_);
}

TEST_F(EnterDirectory, WithoutSlashLeavesTheCurrentDirectory) {
    StdoutCapture capture;
    enterExecutableDirectory("tarnwick-pico");
    EXPECT_EQ(capture.finish(), "CurrentDir=");
    EXPECT_EQ(currentDirectory(), start_);
    EXPECT_EQ(storedExecutableDirectory(), "");
}

TEST_F(EnterDirectory, UnusableDirectoryIsStillWritten) {
    std::string program = folder_ + "/missing/tarnwick-pico";
    StdoutCapture capture;
    enterExecutableDirectory(program.c_str());
    EXPECT_EQ(capture.finish(), "CurrentDir=" + folder_ + "/missing");
    EXPECT_EQ(currentDirectory(), start_);
}

}  // namespace
