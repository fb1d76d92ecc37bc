#include "app/version_text.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "resources/version_record.h"

namespace {

std::array<char, 256> g_result{};
int g_computed = 0;
int g_reads = 0;

bool readAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Finds the record's section in an ELF file of this process's own class.
bool findRecordSection(int fd, std::uint64_t fileSize, std::uint64_t& offset, std::uint64_t& size) {
    ElfW(Ehdr) header{};
    if (!readAt(fd, 0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shnum == 0 ||
        header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    std::uint64_t tableSize = std::uint64_t{header.e_shnum} * sizeof(ElfW(Shdr));
    if (header.e_shoff > fileSize || tableSize > fileSize - header.e_shoff) {
        return false;
    }
    std::vector<ElfW(Shdr)> sections(header.e_shnum);
    if (!readAt(fd, header.e_shoff, sections.data(), tableSize)) {
        return false;
    }
    const ElfW(Shdr)& names = sections[header.e_shstrndx];
    if (names.sh_offset > fileSize || names.sh_size > fileSize - names.sh_offset) {
        return false;
    }
    std::string nameTable(names.sh_size, '\0');
    if (!readAt(fd, names.sh_offset, nameTable.data(), nameTable.size())) {
        return false;
    }
    for (const ElfW(Shdr) & section : sections) {
        if (section.sh_name >= nameTable.size() || section.sh_type == SHT_NOBITS) {
            continue;
        }
        if (std::strcmp(nameTable.c_str() + section.sh_name, kVersionRecordSection) != 0) {
            continue;
        }
        if (section.sh_offset > fileSize || section.sh_size > fileSize - section.sh_offset) {
            return false;
        }
        offset = section.sh_offset;
        size = section.sh_size;
        return true;
    }
    return false;
}

std::uint32_t get16(const std::vector<unsigned char>& block, std::size_t at) {
    return block[at] | (std::uint32_t{block[at + 1]} << 8);
}

}  // namespace

namespace version_detail {

bool readVersionRecord(const char* path, std::vector<unsigned char>& block) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool ok = fstat(fd, &info) == 0 && info.st_size > 0 &&
              findRecordSection(fd, static_cast<std::uint64_t>(info.st_size), offset, size) &&
              size > 0;
    if (ok) {
        block.assign(size + 1, 0);
        ok = readAt(fd, offset, block.data(), size);
    }
    close(fd);
    return ok;
}

bool queryVersionValue(const std::vector<unsigned char>& block, std::string_view path,
                       std::string_view& value) {
    if (block.size() < 8 || std::memcmp(block.data(), kVersionRecordMagic, 4) != 0) {
        return false;
    }
    std::size_t count = get16(block, 4);
    std::size_t at = 8;
    for (std::size_t i = 0; i < count; ++i) {
        if (block.size() - at < 4) {
            return false;
        }
        std::size_t keyLength = get16(block, at);
        std::size_t valueLength = get16(block, at + 2);
        at += 4;
        if (block.size() - at < keyLength + valueLength) {
            return false;
        }
        std::string_view key(reinterpret_cast<const char*>(block.data() + at), keyLength);
        if (key == path) {
            value = std::string_view(reinterpret_cast<const char*>(block.data() + at + keyLength),
                                     valueLength);
            return true;
        }
        at += keyLength + valueLength;
    }
    return false;
}

int versionRecordReads() {
    return g_reads;
}

}  // namespace version_detail

const char* getVersionText() {
    if (g_computed == 1) {
        return g_result.data();
    }
    g_result.fill('\0');
    // Keeps the record linked into every program that asks for it.
    if (versionRecordSize() == 0 || versionRecordImage() == nullptr) {
        return g_result.data();
    }
    std::vector<unsigned char> block;
    ++g_reads;
    if (!version_detail::readVersionRecord("/proc/self/exe", block)) {
        return g_result.data();
    }
    std::string_view translation;
    if (!version_detail::queryVersionValue(block, "\\VarFileInfo\\Translation", translation) ||
        translation.size() < 4) {
        return g_result.data();
    }
    auto language = static_cast<unsigned char>(translation[0]) |
                    (static_cast<unsigned int>(static_cast<unsigned char>(translation[1])) << 8);
    auto codePage = static_cast<unsigned char>(translation[2]) |
                    (static_cast<unsigned int>(static_cast<unsigned char>(translation[3])) << 8);
    std::array<char, 16> key{};
    std::snprintf(key.data(), key.size(), "%04x%04x", language, codePage);
    std::array<char, 128> valuePath{};
    std::snprintf(valuePath.data(), valuePath.size(), "\\StringFileInfo\\%s\\%s", key.data(),
                  "ProductVersion");
    // A key without the value still counts as a result: "Ver.:" alone.
    std::string_view found;
    std::string version;
    if (version_detail::queryVersionValue(block, valuePath.data(), found)) {
        version.assign(found.data(), strnlen(found.data(), found.size()));
    }
    std::snprintf(g_result.data(), g_result.size(), "Ver.:%s", version.c_str());
    g_computed = 1;
    return g_result.data();
}
