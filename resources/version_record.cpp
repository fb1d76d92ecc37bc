#include "resources/version_record.h"

#include <array>
#include <string_view>

namespace {

struct Entry {
    std::string_view key;
    std::string_view value;
};

// Japanese (0x0411), Unicode code page (0x04B0).
constexpr char kTranslation[] = {0x11, 0x04, static_cast<char>(0xB0), 0x04};

// String values carry their terminating zero.
constexpr std::array<Entry, 6> kEntries{{
    {"\\VarFileInfo\\Translation", std::string_view(kTranslation, sizeof kTranslation)},
    {"\\StringFileInfo\\041104b0\\CompanyName", std::string_view("Mistrelsoft\0", 12)},
    {"\\StringFileInfo\\041104b0\\FileDescription", std::string_view("Tarnwick Pico\0", 14)},
    {"\\StringFileInfo\\041104b0\\FileVersion", std::string_view("1, 0, 1, 113\0", 13)},
    {"\\StringFileInfo\\041104b0\\ProductName", std::string_view("Tarnwick Pico\0", 14)},
    {"\\StringFileInfo\\041104b0\\ProductVersion", std::string_view("1, 0, 1, 113\0", 13)},
}};

consteval std::size_t recordSize() {
    std::size_t size = 8;
    for (const Entry& entry : kEntries) {
        size += 4 + entry.key.size() + entry.value.size();
    }
    return size;
}

consteval std::array<unsigned char, recordSize()> buildRecord() {
    std::array<unsigned char, recordSize()> out{};
    std::size_t at = 0;
    auto put16 = [&](std::size_t v) {
        out[at++] = static_cast<unsigned char>(v & 0xFF);
        out[at++] = static_cast<unsigned char>((v >> 8) & 0xFF);
    };
    auto putText = [&](std::string_view text) {
        for (char c : text) {
            out[at++] = static_cast<unsigned char>(c);
        }
    };
    for (unsigned char c : kVersionRecordMagic) {
        out[at++] = c;
    }
    put16(kEntries.size());
    put16(0);
    for (const Entry& entry : kEntries) {
        put16(entry.key.size());
        put16(entry.value.size());
        putText(entry.key);
        putText(entry.value);
    }
    return out;
}

__attribute__((section(".tarnwick.version"), used)) constexpr auto kRecord = buildRecord();

}  // namespace

const unsigned char* versionRecordImage() {
    return kRecord.data();
}

std::size_t versionRecordSize() {
    return kRecord.size();
}
