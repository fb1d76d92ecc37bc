#include "app/argument_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct ScanResult {
    bool debug = false;
    std::string output;
};

ScanResult scan(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "/opt/tarnwick/tarnwick-pico");
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    ScanResult result;
    result.debug = scanArguments(static_cast<int>(arguments.size()), arguments.data(), out);
    std::fclose(out);
    result.output.assign(buffer, size);
    std::free(buffer);
    return result;
}

struct SwitchCase {
    const char* name;
    std::vector<const char*> arguments;
    bool debug;
    std::string output;
};

void PrintTo(const SwitchCase& c, std::ostream* out) {
    *out << c.name;
}

class ArgumentScan : public testing::TestWithParam<SwitchCase> {};

TEST_P(ArgumentScan, EchoesEveryArgumentAndMatchesTheSwitchExactly) {
    const SwitchCase& c = GetParam();
    ScanResult result = scan(c.arguments);
    EXPECT_EQ(result.debug, c.debug);
    EXPECT_EQ(result.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentScan,
    testing::Values(SwitchCase{"none", {}, false, ""},
                    SwitchCase{"alone", {"-D503"}, true, "1番目の引数=-D503\nDEBUGMODE ON\n"},
                    SwitchCase{"last",
                               {"x", "y", "-D503"},
                               true,
                               "1番目の引数=x\n2番目の引数=y\n3番目の引数=-D503\nDEBUGMODE ON\n"},
                    SwitchCase{"middle",
                               {"a", "-D503", "b"},
                               true,
                               "1番目の引数=a\n2番目の引数=-D503\nDEBUGMODE ON\n3番目の引数=b\n"},
                    SwitchCase{"lowerCase", {"-d503"}, false, "1番目の引数=-d503\n"},
                    SwitchCase{"longer", {"-D5030"}, false, "1番目の引数=-D5030\n"},
                    SwitchCase{"trailingBlank", {"-D503 "}, false, "1番目の引数=-D503 \n"},
                    SwitchCase{"shorter", {"-D50"}, false, "1番目の引数=-D50\n"},
                    SwitchCase{"empty", {""}, false, "1番目の引数=\n"},
                    SwitchCase{
                        "twice",
                        {"-D503", "-D503"},
                        true,
                        "1番目の引数=-D503\nDEBUGMODE ON\n2番目の引数=-D503\nDEBUGMODE ON\n"}),
    [](const testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST(ArgumentScanPath, ProgramPathIsNeverEchoed) {
    const char* argv[] = {"-D503"};
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    EXPECT_FALSE(scanArguments(1, argv, out));
    std::fclose(out);
    EXPECT_EQ(size, 0u);
    std::free(buffer);
}

}  // namespace
