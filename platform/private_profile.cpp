#include "platform/private_profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// A caller's text up to its first line break: anything after it would start a new line.
std::string_view singleLine(const char* text) {
    const std::string_view view(text);
    return view.substr(0, view.find_first_of("\r\n"));
}

// One line of the file: [begin, end) is its text, [end, next) its line end (may be empty
// on the last line).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};

enum class LineKind { kBlank, kComment, kSection, kEntry, kOther };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    std::string_view name;
    std::string_view value;
};

ParsedLine parseLine(std::string_view text) {
    const std::string_view line = trim(text);
    if (line.empty()) {
        return {LineKind::kBlank, {}, {}};
    }
    if (line.front() == ';') {
        return {LineKind::kComment, {}, {}};
    }
    if (line.front() == '[') {
        const std::size_t close = line.rfind(']');
        if (close == std::string_view::npos) {
            return {LineKind::kOther, {}, {}};
        }
        return {LineKind::kSection, trim(line.substr(1, close - 1)), {}};
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return {LineKind::kOther, {}, {}};
    }
    return {LineKind::kEntry, trim(line.substr(0, equals)), trim(line.substr(equals + 1))};
}

// The file's bytes split into lines, with the byte-order mark set aside.
class ProfileText {
  public:
    explicit ProfileText(std::string content) : content_(std::move(content)) {
        std::size_t pos = content_.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
        while (pos < content_.size()) {
            Line line;
            line.begin = pos;
            const std::size_t lf = content_.find('\n', pos);
            if (lf == std::string::npos) {
                line.end = content_.size();
                line.next = content_.size();
            } else {
                line.end = lf > pos && content_[lf - 1] == '\r' ? lf - 1 : lf;
                line.next = lf + 1;
            }
            lines_.push_back(line);
            pos = line.next;
        }
    }

    const std::string& content() const { return content_; }
    const std::vector<Line>& lines() const { return lines_; }

    std::string_view text(std::size_t index) const {
        const Line& line = lines_[index];
        return std::string_view(content_).substr(line.begin, line.end - line.begin);
    }

    ParsedLine parsed(std::size_t index) const { return parseLine(text(index)); }

    // New lines follow the file's first line end; a file without one gets LF.
    std::string_view lineEnd() const {
        for (const Line& line : lines_) {
            if (line.next > line.end) {
                return std::string_view(content_).substr(line.end, line.next - line.end);
            }
        }
        return "\n";
    }

    // Lines [header, end) of the first section of that name.
    struct Section {
        std::size_t header;
        std::size_t end;
    };

    std::optional<Section> findSection(std::string_view name) const {
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const ParsedLine line = parsed(i);
            if (line.kind != LineKind::kSection || !equalsIgnoreCase(line.name, name)) {
                continue;
            }
            std::size_t end = i + 1;
            while (end < lines_.size() && parsed(end).kind != LineKind::kSection) {
                ++end;
            }
            return Section{i, end};
        }
        return std::nullopt;
    }

    std::optional<std::size_t> findEntry(const Section& section, std::string_view key) const {
        for (std::size_t i = section.header + 1; i < section.end; ++i) {
            const ParsedLine line = parsed(i);
            if (line.kind == LineKind::kEntry && equalsIgnoreCase(line.name, key)) {
                return i;
            }
        }
        return std::nullopt;
    }

  private:
    std::string content_;
    std::vector<Line> lines_;
};

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult readWholeFile(const char* path, std::string& content) {
    content.clear();
    // Non-blocking so that a FIFO in the file's place cannot hang us.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return ReadResult::kFailed;
    }
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            content.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return ReadResult::kFailed;
        }
    }
    ::close(fd);
    return ReadResult::kRead;
}

// The key's value, trimmed and without enclosing quotes; nothing when the file, the
// section or the key is missing.
std::optional<std::string> lookupValue(const char* section, const char* key, const char* path) {
    if (section == nullptr || key == nullptr || path == nullptr) {
        return std::nullopt;
    }
    std::string content;
    if (readWholeFile(path, content) != ReadResult::kRead) {
        return std::nullopt;
    }
    const ProfileText profile(std::move(content));
    // The names as a write takes them, so that a key reads back under the names it was
    // written with.
    const auto found = profile.findSection(trim(singleLine(section)));
    if (!found) {
        return std::nullopt;
    }
    const auto entry = profile.findEntry(*found, trim(singleLine(key)));
    if (!entry) {
        return std::nullopt;
    }
    std::string_view value = profile.parsed(*entry).value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// How much of text fits into limit bytes without leaving part of a UTF-8 character.
std::size_t utf8CutLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t cut = limit;
    const auto isContinuation = [&](std::size_t i) {
        return (static_cast<unsigned char>(text[i]) & 0xC0U) == 0x80U;
    };
    while (cut > 0 && limit - cut < 3 && isContinuation(cut)) {
        --cut;
    }
    const bool leadByte = (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0xC0U;
    return leadByte ? cut : limit;
}

// Decimal value with optional blanks and sign, digits up to the first other character,
// wrapping modulo 2^32 like the system's own conversion.
unsigned int decimalPrefix(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10U + static_cast<std::uint32_t>(text[i] - '0');
    }
    return negative ? 0U - value : value;
}

// The new file content for one write, or nothing when the texts cannot form a line.
std::string editedContent(const ProfileText& profile, const char* section, const char* key,
                          const char* value) {
    const std::string& content = profile.content();
    const std::vector<Line>& lines = profile.lines();
    const std::string_view sectionName = trim(singleLine(section));
    const auto found = profile.findSection(sectionName);

    if (key == nullptr) {
        if (!found) {
            return content;
        }
        const std::size_t from = lines[found->header].begin;
        const std::size_t to = lines[found->end - 1].next;
        return content.substr(0, from) + content.substr(to);
    }

    const std::string_view keyName = trim(singleLine(key));
    const auto entry = found ? profile.findEntry(*found, keyName) : std::nullopt;
    if (value == nullptr) {
        if (!entry) {
            return content;
        }
        return content.substr(0, lines[*entry].begin) + content.substr(lines[*entry].next);
    }

    const std::string_view newValue = singleLine(value);
    const std::string_view eol = profile.lineEnd();
    if (entry) {
        // Keep the key as the file spells it; only the value changes.
        std::string line(profile.parsed(*entry).name);
        line += '=';
        line += newValue;
        return content.substr(0, lines[*entry].begin) + line + content.substr(lines[*entry].end);
    }

    std::string added;
    std::size_t at = content.size();
    bool needsLineEnd = false;
    if (found) {
        // After the section's last entry, so that blank lines and comments that lead into
        // the next section stay in front of it.
        std::size_t last = found->header;
        for (std::size_t i = found->header + 1; i < found->end; ++i) {
            const LineKind kind = profile.parsed(i).kind;
            if (kind != LineKind::kBlank && kind != LineKind::kComment) {
                last = i;
            }
        }
        at = lines[last].next;
        needsLineEnd = lines[last].next == lines[last].end;
    } else {
        needsLineEnd = !lines.empty() && lines.back().next == lines.back().end;
        added += '[';
        added += sectionName;
        added += ']';
        added += eol;
    }
    added += keyName;
    added += '=';
    added += newValue;
    added += eol;
    if (needsLineEnd) {
        added.insert(0, eol);
    }
    return content.substr(0, at) + added + content.substr(at);
}

// A piece of the file to replace: bytes [begin, end) become text.
struct Splice {
    std::size_t begin;
    std::size_t end;
    std::string text;
};

// The bytes removing the section takes out: header to last entry, and the blank lines
// after it up to a comment, the next header or the end.
Splice sectionRemoval(const ProfileText& profile, const ProfileText::Section& section) {
    const std::vector<Line>& lines = profile.lines();
    std::size_t last = section.header;
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
        const LineKind kind = profile.parsed(i).kind;
        if (kind != LineKind::kBlank && kind != LineKind::kComment) {
            last = i;
        }
    }
    std::size_t stop = last + 1;
    while (stop < section.end && profile.parsed(stop).kind == LineKind::kBlank) {
        ++stop;
    }
    return {lines[section.header].begin, lines[stop - 1].next, {}};
}

// The header's name, and only the name, spelt anew.
Splice headerRename(const ProfileText& profile, std::size_t header, std::string_view to) {
    const std::string_view name = profile.parsed(header).name;
    const auto begin = static_cast<std::size_t>(name.data() - profile.content().data());
    return {begin, begin + name.size(), std::string(to.substr(0, to.find_first_of("\r\n")))};
}

std::string spliced(const std::string& content, std::vector<Splice> splices) {
    std::sort(splices.begin(), splices.end(),
              [](const Splice& a, const Splice& b) { return a.begin < b.begin; });
    std::string result;
    std::size_t at = 0;
    for (const Splice& splice : splices) {
        if (splice.begin < at) {
            continue;  // inside a removed section
        }
        result.append(content, at, splice.begin - at);
        result += splice.text;
        at = splice.end;
    }
    result.append(content, at);
    return result;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A crash between writing a temporary file and its rename leaves it behind for good;
// the next write removes those of processes that no longer run.
void removeDeadLeftovers(const std::string& target) {
    const std::string folder = directoryOf(target);
    const std::size_t slash = target.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    constexpr int kMostEntries = 100000;
    int seen = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (++seen > kMostEntries) {
            break;
        }
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '-' || pid == ::getpid()) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(listing), name.c_str(), 0);
        }
    }
    ::closedir(listing);
}

// Opens a new file beside target with a name nobody else uses.
int createTemporary(const std::string& target, mode_t mode, std::string& temporaryPath) {
    static unsigned int counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryPath =
            target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        const int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Replaces the file at path with content in one rename: a reader, a crash or a full disk
// sees either the old file or the new one, never a mixture. The new file keeps the old
// one's permission bits (and owner, where we may set it).
bool replaceFile(const char* path, const std::string& content,
                 const private_profile_detail::BeforeReplace& beforeReplace) {
    std::string target = path;
    struct stat info {};
    if (::lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        // Update the file the link points at rather than replacing the link.
        char* resolved = ::realpath(path, nullptr);
        if (resolved == nullptr) {
            return false;
        }
        target = resolved;
        std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own memory
    }

    bool existing = false;
    if (::stat(target.c_str(), &info) == 0) {
        existing = true;
        // A file marked read-only stays untouched even for a user whom the bits do not stop.
        if ((info.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }

    removeDeadLeftovers(target);
    std::string temporaryPath;
    const int fd = createTemporary(target, existing ? 0600 : 0666, temporaryPath);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, content);
    if (ok && existing) {
        ok = ::fchmod(fd, info.st_mode & 07777) == 0;
        if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
            // Only a privileged user can keep another owner; the content matters more.
            (void)::fchown(fd, info.st_uid, info.st_gid);
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && (!beforeReplace || beforeReplace(temporaryPath));
    ok = ok && ::rename(temporaryPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporaryPath.c_str());
        return false;
    }

    // Make the rename itself durable.
    const int dirFd = ::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace

unsigned int GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                   const char* path) {
    const auto value = lookupValue(section, key, path);
    if (!value || value->empty()) {
        return static_cast<unsigned int>(defaultValue);
    }
    return decimalPrefix(*value);
}

unsigned int GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, unsigned int size,
                                      const char* path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const auto value = lookupValue(section, key, path);
    std::string_view text;
    if (value) {
        text = *value;
    } else if (defaultValue != nullptr) {
        text = defaultValue;
        while (!text.empty() && text.back() == ' ') {
            text.remove_suffix(1);
        }
    }
    const std::size_t length = utf8CutLength(text, size - 1);
    if (length > 0) {
        std::memcpy(buffer, text.data(), length);
    }
    buffer[length] = '\0';
    return static_cast<unsigned int>(length);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* path) {
    return private_profile_detail::writeProfileString(section, key, value, path, nullptr);
}

std::vector<std::string> profileSectionNames(const char* path) {
    std::vector<std::string> names;
    std::string content;
    if (path == nullptr || readWholeFile(path, content) != ReadResult::kRead) {
        return names;
    }
    const ProfileText profile(std::move(content));
    for (std::size_t i = 0; i < profile.lines().size(); ++i) {
        const ParsedLine line = profile.parsed(i);
        if (line.kind == LineKind::kSection) {
            names.emplace_back(line.name);
        }
    }
    return names;
}

int removeProfileSection(const char* section, const std::vector<ProfileSectionRename>& renames,
                         const char* path) {
    if (section == nullptr || path == nullptr) {
        return 0;
    }
    std::string content;
    const ReadResult read = readWholeFile(path, content);
    if (read != ReadResult::kRead) {
        return read == ReadResult::kMissing ? 1 : 0;
    }
    const ProfileText profile(std::move(content));
    std::vector<Splice> splices;
    if (const auto removed = profile.findSection(trim(singleLine(section)))) {
        splices.push_back(sectionRemoval(profile, *removed));
    }
    for (const ProfileSectionRename& rename : renames) {
        if (const auto found = profile.findSection(trim(singleLine(rename.from.c_str())))) {
            splices.push_back(headerRename(profile, found->header, rename.to));
        }
    }
    const std::string updated = spliced(profile.content(), std::move(splices));
    if (updated == profile.content()) {
        return 1;
    }
    return replaceFile(path, updated, nullptr) ? 1 : 0;
}

namespace private_profile_detail {

int writeProfileString(const char* section, const char* key, const char* value, const char* path,
                       const BeforeReplace& beforeReplace) {
    if (section == nullptr || path == nullptr) {
        return 0;
    }
    std::string content;
    const ReadResult read = readWholeFile(path, content);
    if (read == ReadResult::kFailed) {
        // What we cannot read we must not overwrite.
        return 0;
    }
    const ProfileText profile(std::move(content));
    const std::string updated = editedContent(profile, section, key, value);
    if (updated == profile.content()) {
        // Nothing changes (or there is nothing to remove): leave the file alone.
        return 1;
    }
    return replaceFile(path, updated, beforeReplace) ? 1 : 0;
}

}  // namespace private_profile_detail
