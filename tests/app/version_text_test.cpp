#include "app/version_text.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/about_dlg.h"
#include "resources/dialog_templates.h"

namespace {

TEST(VersionText, ReadsTheProductVersionOfTheOwnRecord) {
    EXPECT_STREQ(getVersionText(), "Ver.:1, 0, 1, 113");
}

TEST(VersionText, AboutLineOpenedTwiceReadsTheRecordOnce) {
    const char* first = getVersionText();
    int reads = version_detail::versionRecordReads();
    EXPECT_EQ(reads, 1);
    for (int round = 0; round < 2; ++round) {
        CAboutDlg about;
        std::string shown;
        QTimer::singleShot(0, &about, [&] {
            shown = about.GetDlgItemText(IDC_VERSION_LINE);
            about.EndDialog(IDOK);
        });
        about.DoModal();
        EXPECT_EQ(about.versionLine(), "ターンウィック Pico. Ver.:1- 0- 1- 113");
        EXPECT_EQ(shown, "ターンウィック Pico. Ver.:1- 0- 1- 113");
    }
    EXPECT_EQ(getVersionText(), first);
    EXPECT_EQ(version_detail::versionRecordReads(), reads);
}

struct LineCase {
    const char* version;
    const char* shown;
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << '"' << c.version << '"';
}

class AboutVersionText : public testing::TestWithParam<LineCase> {};

TEST_P(AboutVersionText, CommasBecomeHyphensThenSemicolonsPoints) {
    EXPECT_EQ(aboutVersionText(GetParam().version), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, AboutVersionText,
                         testing::Values(LineCase{"Ver.:1, 0, 1, 113", "Ver.:1- 0- 1- 113"},
                                         LineCase{"Ver.:1;0;1;113", "Ver.:1.0.1.113"},
                                         LineCase{"Ver.:1,;2", "Ver.:1-.2"},
                                         LineCase{"Ver.:1.0.1", "Ver.:1.0.1"}, LineCase{",,", "--"},
                                         LineCase{"", ""}));

TEST(VersionRecord, TheExecutableCarriesTranslationAndProductVersion) {
    std::vector<unsigned char> block;
    ASSERT_TRUE(version_detail::readVersionRecord("/proc/self/exe", block));
    std::string_view value;
    ASSERT_TRUE(version_detail::queryVersionValue(block, "\\VarFileInfo\\Translation", value));
    ASSERT_EQ(value.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(value[0]) | static_cast<unsigned char>(value[1]) << 8,
              0x0411);
    EXPECT_EQ(static_cast<unsigned char>(value[2]) | static_cast<unsigned char>(value[3]) << 8,
              0x04B0);
    ASSERT_TRUE(version_detail::queryVersionValue(
        block, "\\StringFileInfo\\041104b0\\ProductVersion", value));
    EXPECT_EQ(std::string(value.data()), "1, 0, 1, 113");
    EXPECT_FALSE(
        version_detail::queryVersionValue(block, "\\StringFileInfo\\04090000\\Nothing", value));
}

TEST(VersionRecord, FilesWithoutARecordGiveNothing) {
    std::filesystem::path plain = std::filesystem::temp_directory_path() / "tarnwick-plain.bin";
    {
        std::ofstream out(plain, std::ios::binary);
        out << "\x7f"
               "ELF but not really, just some bytes that end too soon";
    }
    std::vector<unsigned char> block;
    EXPECT_FALSE(version_detail::readVersionRecord(plain.c_str(), block));
    EXPECT_FALSE(version_detail::readVersionRecord("/nonexistent/tarnwick", block));
    std::filesystem::remove(plain);
}

TEST(VersionRecord, TruncatedOrForeignBlocksAreRejected) {
    std::string_view value;
    std::vector<unsigned char> foreign{'X', 'X', 'X', 'X', 1, 0, 0, 0, 1, 0, 1, 0, 'a', 'b'};
    EXPECT_FALSE(version_detail::queryVersionValue(foreign, "a", value));
    // Claims an entry longer than the block.
    std::vector<unsigned char> truncated{'T', 'W', 'V', 'R', 1, 0, 0, 0, 1, 0, 9, 0, 'a', 'b'};
    EXPECT_FALSE(version_detail::queryVersionValue(truncated, "a", value));
    std::vector<unsigned char> whole{'T', 'W', 'V', 'R', 1, 0, 0, 0, 1, 0, 1, 0, 'a', 'b'};
    ASSERT_TRUE(version_detail::queryVersionValue(whole, "a", value));
    EXPECT_EQ(value, "b");
}

}  // namespace
