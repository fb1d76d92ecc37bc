#include "app/argument_scan.h"

#include <array>
#include <cstring>

bool scanArguments(int argc, const char* const* argv, std::FILE* out) {
    bool debug = false;
    for (int i = 1; i < argc; ++i) {
        std::array<char, 64> label{};
        std::snprintf(label.data(), label.size(), "%d番目の引数", i);
        std::fprintf(out, "%s=%s\n", label.data(), argv[i]);
        // Byte for byte up to the terminating zero: case and length must match.
        if (std::strcmp(argv[i], kDebugSwitch) == 0) {
            debug = true;
            std::fprintf(out, "DEBUGMODE ON\n");
        }
    }
    return debug;
}
