// The INI functions on random files, names and values, against a reference reading of the
// file and a check of what each write may change.
//
// Input: fields separated by zero bytes. The first field is the file's starting content,
// then come groups of four fields: an operation, a section, a key and a value (also the
// default text for reads). Byte 0 of the operation picks it; bytes 1 and 2 give a buffer
// size and byte 3 a default number for reads.
//
// The file lives in a directory of its own under /tmp, made once per process, so that a
// temporary file left behind by a write is noticed.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/private_profile.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kMaxOperations = 12;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "private_profile_fuzzer: %s\n  \"%.*s\"\n", what,
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void require(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) {
        fail(what, detail);
    }
}

class Workspace {
  public:
    Workspace() {
        std::string pattern = "/tmp/private-profile-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("mkdtemp");
        }
        dir_ = pattern;
        path_ = dir_ + "/profile.ini";
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    const char* path() const { return path_.c_str(); }

    void store(std::string_view content) const {
        const int fd = ::open(path(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        require(fd >= 0, "cannot create the profile");
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            require(n > 0, "cannot write the profile");
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }

    void remove() const { ::unlink(path()); }

    std::optional<std::string> load() const {
        const int fd = ::open(path(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        std::string content;
        char chunk[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
            content.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return content;
    }

    // The profile and nothing else: a write must not leave its temporary file.
    bool aloneInDirectory() const {
        DIR* dir = ::opendir(dir_.c_str());
        if (dir == nullptr) {
            return false;
        }
        int others = 0;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != ".." && name != "profile.ini") {
                ++others;
            }
        }
        ::closedir(dir);
        return others == 0;
    }

  private:
    std::string dir_;
    std::string path_;
};

// ---- The reference reading of a profile ----

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first])) {
        ++first;
    }
    while (last > first && isBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// How the functions see a caller's name or value: up to its first line break.
std::string_view firstLine(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            return text.substr(0, i);
        }
    }
    return text;
}

std::string_view callerName(std::string_view name) {
    return trimmed(firstLine(name));
}

struct RefLine {
    std::size_t begin;  // text [begin, end)
    std::size_t end;    // line end [end, next): CR LF, LF or nothing at the end of the file
    std::size_t next;
    enum Kind { kBlank, kComment, kSection, kEntry, kOther } kind;
    std::string_view name;
    std::string_view value;
};

struct RefProfile {
    std::string content;
    std::vector<RefLine> lines;
    std::string_view eol = "\n";

    explicit RefProfile(std::string text) : content(std::move(text)) {
        const std::string_view all(content);
        std::size_t begin =
            all.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
        bool eolSeen = false;
        while (begin < all.size()) {
            std::size_t next = begin;
            while (next < all.size() && all[next] != '\n') {
                ++next;
            }
            std::size_t end = next;
            if (next < all.size()) {
                if (end > begin && all[end - 1] == '\r') {
                    --end;
                }
                ++next;
                if (!eolSeen) {
                    eol = all.substr(end, next - end);
                    eolSeen = true;
                }
            }
            lines.push_back(classify(begin, end, next));
            begin = next;
        }
    }

    RefLine classify(std::size_t begin, std::size_t end, std::size_t next) const {
        RefLine line{begin, end, next, RefLine::kOther, {}, {}};
        const std::string_view text = trimmed(std::string_view(content).substr(begin, end - begin));
        if (text.empty()) {
            line.kind = RefLine::kBlank;
        } else if (text[0] == ';') {
            line.kind = RefLine::kComment;
        } else if (text[0] == '[') {
            const std::size_t close = text.find_last_of(']');
            if (close != std::string_view::npos) {
                line.kind = RefLine::kSection;
                line.name = trimmed(text.substr(1, close - 1));
            }
        } else if (const std::size_t equals = text.find('='); equals != std::string_view::npos) {
            line.kind = RefLine::kEntry;
            line.name = trimmed(text.substr(0, equals));
            line.value = trimmed(text.substr(equals + 1));
        }
        return line;
    }

    bool lastLineOpen() const { return !lines.empty() && lines.back().next == lines.back().end; }

    // Lines [first, last) of the first section of that name; first is the header.
    std::optional<std::pair<std::size_t, std::size_t>> section(std::string_view name) const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].kind == RefLine::kSection && sameName(lines[i].name, name)) {
                std::size_t last = i + 1;
                while (last < lines.size() && lines[last].kind != RefLine::kSection) {
                    ++last;
                }
                return std::make_pair(i, last);
            }
        }
        return std::nullopt;
    }

    std::optional<std::size_t> entry(std::string_view sectionName, std::string_view key) const {
        const auto found = section(sectionName);
        if (!found) {
            return std::nullopt;
        }
        for (std::size_t i = found->first + 1; i < found->second; ++i) {
            if (lines[i].kind == RefLine::kEntry && sameName(lines[i].name, key)) {
                return i;
            }
        }
        return std::nullopt;
    }
};

std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// What a read of that key gives, before any cut: nothing means the default.
std::optional<std::string> referenceValue(const std::optional<std::string>& content,
                                          std::string_view section, std::string_view key) {
    if (!content) {
        return std::nullopt;
    }
    const RefProfile profile(*content);
    const auto line = profile.entry(callerName(section), callerName(key));
    if (!line) {
        return std::nullopt;
    }
    return std::string(unquoted(profile.lines[*line].value));
}

unsigned referenceNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % (std::uint64_t{1} << 32);
    }
    return static_cast<unsigned>(negative ? (std::uint64_t{1} << 32) - value : value);
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (!isContinuation(text[i + k])) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// A read into size bytes gives a prefix of the full text, cut only to keep a character whole.
void checkCut(std::string_view full, std::string_view got, unsigned size) {
    const std::size_t limit = size - 1;
    require(full.substr(0, got.size()) == got, "read is not a prefix of the value", got);
    if (full.size() <= limit) {
        require(got.size() == full.size(), "read is cut though it fits", full);
        return;
    }
    require(got.size() <= limit && got.size() + 3 >= limit, "read cut at a wrong length", full);
    if (got.size() < limit) {
        require(static_cast<unsigned char>(full[got.size()]) >= 0xC0,
                "cut before something other than a lead byte", full);
        for (std::size_t i = got.size() + 1; i <= limit; ++i) {
            require(isContinuation(full[i]), "cut drops more than a partial character", full);
        }
    }
    if (isValidUtf8(full)) {
        require(!isContinuation(full[got.size()]), "cut splits a character", full);
    }
}

void checkReads(const Workspace& ws, std::string_view section, std::string_view key,
                const std::string& defaultText, unsigned size, int defaultNumber) {
    const auto content = ws.load();
    const auto value = referenceValue(content, section, key);
    const std::string sectionText(section);
    const std::string keyText(key);

    std::string_view expected = defaultText;
    if (value) {
        expected = *value;
    } else {
        while (!expected.empty() && expected.back() == ' ') {
            expected.remove_suffix(1);
        }
    }
    if (size == 0) {
        char untouched = 'x';
        require(GetPrivateProfileStringA(sectionText.c_str(), keyText.c_str(), defaultText.c_str(),
                                         &untouched, 0, ws.path()) == 0 &&
                    untouched == 'x',
                "a zero-size buffer was written");
    } else {
        // Exactly size bytes, so that a write past them is caught.
        const auto buffer = std::make_unique<char[]>(size);
        const unsigned length =
            GetPrivateProfileStringA(sectionText.c_str(), keyText.c_str(), defaultText.c_str(),
                                     buffer.get(), size, ws.path());
        require(length < size && buffer[length] == '\0', "read is not terminated in the buffer");
        checkCut(expected, std::string_view(buffer.get(), length), size);
    }

    const unsigned number =
        GetPrivateProfileIntA(sectionText.c_str(), keyText.c_str(), defaultNumber, ws.path());
    const unsigned expectedNumber =
        value && !value->empty() ? referenceNumber(*value) : static_cast<unsigned>(defaultNumber);
    require(number == expectedNumber, "integer read", value ? *value : std::string());
}

// ---- What a write may change ----

// After splices [at, at + removed) of before to inserted.
bool isSplice(const std::string& before, const std::string& after, std::size_t at,
              std::size_t removed, std::string_view inserted) {
    return after.size() + removed == before.size() + inserted.size() &&
           after.compare(0, at, before, 0, at) == 0 &&
           after.compare(at, inserted.size(), inserted) == 0 &&
           after.compare(at + inserted.size(), std::string::npos, before, at + removed) == 0;
}

// The file after a write: only the targeted line may differ, or new lines appear at one
// line boundary (at the end for a new section), or the removed lines are gone. Everything
// else, line ends and byte-order mark included, stays byte for byte.
void checkWrite(const std::optional<std::string>& beforeFile,
                const std::optional<std::string>& afterFile, std::string_view section,
                const std::string* key, const std::string* value) {
    const std::string_view sectionName = callerName(section);
    const RefProfile before(beforeFile.value_or(std::string()));
    const auto found = before.section(sectionName);

    const bool removal = key == nullptr || value == nullptr;
    const auto target = key == nullptr ? std::nullopt : before.entry(sectionName, callerName(*key));
    const bool unchanged = removal ? (key == nullptr ? !found : !target) : false;
    if (unchanged) {
        require(afterFile == beforeFile, "a write that had nothing to do changed the file");
        return;
    }
    require(afterFile.has_value(), "the file is gone after a write");
    const std::string& after = *afterFile;
    const std::string& old = before.content;

    if (key == nullptr) {
        const std::size_t from = before.lines[found->first].begin;
        const std::size_t to = before.lines[found->second - 1].next;
        require(isSplice(old, after, from, to - from, {}), "section removal", after);
        return;
    }
    if (value == nullptr) {
        const RefLine& line = before.lines[*target];
        require(isSplice(old, after, line.begin, line.next - line.begin, {}), "key removal", after);
        return;
    }

    const std::string_view newValue = firstLine(*value);
    if (target) {
        // The key's own line: its text is replaced, its line end stays.
        const RefLine& line = before.lines[*target];
        const std::size_t replaced = line.end - line.begin;
        require(after.size() + replaced >= old.size(), "replaced line", after);
        const std::size_t length = after.size() + replaced - old.size();
        const std::string_view text = std::string_view(after).substr(line.begin, length);
        require(text.find('\n') == std::string_view::npos, "replaced line spans lines", text);
        require(isSplice(old, after, line.begin, replaced, text), "replaced line", after);
        require(trimmed(text.substr(text.find('=') + 1)) == trimmed(newValue),
                "replaced line has another value", text);
        return;
    }

    std::string added = std::string(callerName(*key)) + "=" + std::string(newValue);
    added += before.eol;
    if (!found) {
        added = "[" + std::string(sectionName) + "]" + std::string(before.eol) + added;
        if (before.lastLineOpen()) {
            added.insert(0, before.eol);
        }
        require(isSplice(old, after, old.size(), 0, added), "new section", after);
        return;
    }
    // Somewhere after the header and before the next section, with only blank lines and
    // comments after it in the section.
    for (std::size_t i = found->second; i-- > found->first;) {
        const RefLine& line = before.lines[i];
        std::string inserted = added;
        if (line.next == line.end) {
            inserted.insert(0, before.eol);
        }
        if (isSplice(old, after, line.next, 0, inserted)) {
            return;
        }
        if (line.kind != RefLine::kBlank && line.kind != RefLine::kComment) {
            break;
        }
    }
    fail("new key", after);
}

// Keys that the file's line format cannot hold as a key: a line "a=b=v" is the key "a", a
// line starting with ";" is a comment and one starting with "[" is no entry. Section names
// always come back, since a header ends at its last "]".
bool keyRoundTrips(std::string_view key) {
    const std::string_view name = callerName(key);
    return name.find('=') == std::string_view::npos &&
           (name.empty() || (name.front() != ';' && name.front() != '['));
}

struct Operation {
    std::string_view code;
    std::string section;
    std::string key;
    std::string value;

    unsigned char byte(std::size_t i) const {
        return i < code.size() ? static_cast<unsigned char>(code[i]) : 0;
    }
    unsigned bufferSize() const { return (byte(1) | (unsigned{byte(2)} << 8)) % 600; }
    int defaultNumber() const { return static_cast<signed char>(byte(3)); }
};

void run(const Workspace& ws, const Operation& op) {
    const auto before = ws.load();
    const unsigned kind = op.byte(0) % 8;
    if (kind >= 5) {
        if (kind == 7) {
            ws.remove();
        }
        checkReads(ws, op.section, op.key, op.value, op.bufferSize(), op.defaultNumber());
        if (kind != 7) {
            require(ws.load() == before, "a read changed the file");
        }
        return;
    }

    const std::string* key = kind == 4 ? nullptr : &op.key;
    const std::string* value = kind >= 3 ? nullptr : &op.value;
    const int result = WritePrivateProfileStringA(op.section.c_str(), key ? key->c_str() : nullptr,
                                                  value ? value->c_str() : nullptr, ws.path());
    require(result != 0, "write failed");
    require(ws.aloneInDirectory(), "a temporary file stayed behind");
    const auto after = ws.load();
    checkWrite(before, after, op.section, key, value);

    checkReads(ws, op.section, op.key, op.value, op.bufferSize(), op.defaultNumber());
    checkReads(ws, op.section, op.key, "\x01", 261, 0);
    if (key != nullptr && value != nullptr && keyRoundTrips(*key)) {
        const auto expected = std::string(unquoted(trimmed(firstLine(*value))));
        require(referenceValue(after, op.section, *key) == expected, "written value is not read",
                *value);
    }
}

// Null texts: nothing to read, nothing to write, no crash.
void runNullCalls(const Workspace& ws) {
    const auto before = ws.load();
    require(WritePrivateProfileStringA(nullptr, "K", "v", ws.path()) == 0, "null section write");
    require(WritePrivateProfileStringA("S", "K", "v", nullptr) == 0, "null path write");
    char buffer[8];
    require(GetPrivateProfileStringA(nullptr, "K", "d", buffer, sizeof buffer, ws.path()) == 1,
            "null section read");
    require(GetPrivateProfileStringA("S", nullptr, nullptr, buffer, sizeof buffer, ws.path()) == 0,
            "null key read");
    require(GetPrivateProfileIntA("S", "K", 5, nullptr) == 5, "null path read");
    require(ws.load() == before, "a null call changed the file");
}

std::vector<std::string_view> splitFields(std::string_view input) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t zero = input.find('\0', pos);
        fields.push_back(input.substr(pos, zero == std::string_view::npos ? zero : zero - pos));
        if (zero == std::string_view::npos) {
            return fields;
        }
        pos = zero + 1;
    }
}

}  // namespace

// Every write syncs the file and its directory, which on a disk-backed /tmp caps the fuzzer
// at a few hundred runs a second. What happens after a power loss is not what this checks,
// so in this executable a sync returns at once.
extern "C" int fsync(int /*fd*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Workspace ws;
    const auto fields = splitFields(std::string_view(reinterpret_cast<const char*>(data), size));
    ws.store(fields[0]);
    for (std::size_t i = 1; i + 3 < fields.size() && i / 4 < kMaxOperations; i += 4) {
        run(ws, {fields[i], std::string(fields[i + 1]), std::string(fields[i + 2]),
                 std::string(fields[i + 3])});
    }
    runNullCalls(ws);
    return 0;
}
