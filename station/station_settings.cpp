#include "station/station_settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "station/ini_text.h"
#include "station/text_util.h"
#include "station/xdg_paths.h"

namespace {

constexpr char kSettingsFile[] = "/imgcast/imgcast.conf";
// A settings file is a few hundred bytes; anything this large is not one.
constexpr off_t kLargestSettingsFile = 1 << 20;
// Past this many problems in one file the rest are counted, not listed.
constexpr int kProblemsListed = 20;
constexpr double kLongestTimeoutSeconds = 24 * 60 * 60;

std::string Quoted(const std::string& value)
{
    std::string quoted = "\"";
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

bool IsKnownKey(const std::string& key)
{
    static const char* const kKeys[] = {"Address",        "Raster",       "Aspect",
                                        "Fmem",           "Port",         "ConnectTimeout",
                                        "IdleTimeout",    "RememberLast", "LastImageFolder",
                                        "LastSaveFolder", "Verify",       "Retry",
                                        "PaletteAlpha"};
    for (const char* known : kKeys)
        if (key == known) return true;
    return false;
}

bool ParseInteger(const std::string& text, long low, long high, long* value)
{
    long parsed = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (error != std::errc() || stop != end || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

bool ParseBool(const std::string& text, bool* value)
{
    if (EqualsIgnoringCase(text, "true") || text == "1") {
        *value = true;
        return true;
    }
    if (EqualsIgnoringCase(text, "false") || text == "0") {
        *value = false;
        return true;
    }
    return false;
}

bool ParseSeconds(const std::string& text, double* value)
{
    double parsed = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (error != std::errc() || stop != end || !std::isfinite(parsed) || parsed <= 0 ||
        parsed > kLongestTimeoutSeconds)
        return false;
    *value = parsed;
    return true;
}

bool ParseRaster(const std::string& text, StationRaster* raster)
{
    static const struct {
        const char* size;
        const char* name;
        StationRaster raster;
    } kRasters[] = {{"1920x1080", "HD1080", StationRaster::HD1080},
                    {"1280x720", "HD720", StationRaster::HD720},
                    {"720x487", "SD480", StationRaster::SD480},
                    {"720x576", "SD576", StationRaster::SD576}};
    for (const auto& entry : kRasters) {
        if (EqualsIgnoringCase(text, entry.size) || EqualsIgnoringCase(text, entry.name)) {
            *raster = entry.raster;
            return true;
        }
    }
    return false;
}

bool IsAsciiAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDottedIpv4(const std::string& text)
{
    int parts = 0;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('.', start);
        if (end == std::string::npos) end = text.size();
        const std::string digits = text.substr(start, end - start);
        long part = 0;
        // A leading zero is refused: the resolver would read "010" as octal 8.
        if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0') ||
            !ParseInteger(digits, 0, 255, &part))
            return false;
        if (++parts > 4) return false;
        if (end == text.size()) return parts == 4;
        start = end + 1;
    }
}

// A host name: labels of ASCII letters, digits, '-' and '_' (which /etc/hosts may hold), 1 to
// 63 characters, not starting or ending with '-', 253 characters in all (a trailing dot allowed).
bool IsHostName(const std::string& text)
{
    std::string name = text;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty() || name.size() > 253) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('.', start);
        if (end == std::string::npos) end = name.size();
        const size_t length = end - start;
        if (length == 0 || length > 63 || name[start] == '-' || name[end - 1] == '-') return false;
        for (size_t i = start; i < end; ++i)
            if (!IsAsciiAlphanumeric(name[i]) && name[i] != '-' && name[i] != '_') return false;
        if (end == name.size()) return true;
        start = end + 1;
    }
}

bool IsAddress(const std::string& text)
{
    // Digits and dots alone are meant as an IPv4 address and must be one.
    if (text.find_first_not_of("0123456789.") == std::string::npos) return IsDottedIpv4(text);
    return IsHostName(text);
}

// Collects the problems of one file; past kProblemsListed it only counts them.
class CProblemList {
  public:
    CProblemList(const std::string& file, std::vector<SettingsProblem>* problems)
        : m_file(file)
        , m_problems(problems)
    {
    }
    ~CProblemList()
    {
        if (m_problems != nullptr && m_unlisted > 0)
            m_problems->push_back(
                {m_file, 0, std::to_string(m_unlisted) + " further problems not listed", false});
    }
    void Add(int line, const std::string& what, bool warning = false)
    {
        if (m_problems == nullptr) return;
        if (m_listed == kProblemsListed) {
            ++m_unlisted;
            return;
        }
        ++m_listed;
        m_problems->push_back({m_file, line, what, warning});
    }

  private:
    std::string m_file;
    std::vector<SettingsProblem>* m_problems;
    int m_listed = 0;
    int m_unlisted = 0;
};

// Applies the value of a known key; returns "" or what is wrong with it.
std::string ApplySetting(const std::string& key, const std::string& value, StationSettings* into)
{
    long number = 0;
    bool flag = false;
    double seconds = 0;
    if (key == "Address") {
        if (!IsAddress(value)) return "is not an IPv4 address or host name";
        into->address = value;
    } else if (key == "Raster") {
        if (!ParseRaster(value, &into->raster))
            return "is not a raster (1920x1080, 1280x720, 720x487, 720x576 or HD1080, HD720, "
                   "SD480, SD576)";
    } else if (key == "Aspect") {
        if (EqualsIgnoringCase(value, "Full"))
            into->keepAspect = false;
        else if (EqualsIgnoringCase(value, "Keep"))
            into->keepAspect = true;
        else
            return "is not an aspect mode (Full or Keep)";
    } else if (key == "Fmem") {
        if (!ParseInteger(value, 1, 2, &number)) return "is not a frame memory (1 or 2)";
        into->fmem = static_cast<int>(number);
    } else if (key == "Port") {
        if (!ParseInteger(value, 1, 65535, &number)) return "is not a port number (1 to 65535)";
        into->port = static_cast<int>(number);
    } else if (key == "ConnectTimeout" || key == "IdleTimeout") {
        if (!ParseSeconds(value, &seconds))
            return "is not a time in seconds (above 0, at most 86400)";
        (key == "ConnectTimeout" ? into->connectTimeoutSeconds : into->idleTimeoutSeconds) =
            seconds;
    } else if (key == "RememberLast" || key == "Verify" || key == "PaletteAlpha") {
        if (!ParseBool(value, &flag)) return "is not true or false";
        (key == "RememberLast" ? into->rememberLast
         : key == "Verify"     ? into->verify
                               : into->paletteAlpha) = flag;
    } else if (key == "Retry") {
        if (!ParseInteger(value, 0, 20, &number)) return "is not a retry count (0 to 20)";
        into->retry = static_cast<int>(number);
    } else if (key == "LastImageFolder") {
        into->lastImageFolder = value;
    } else if (key == "LastSaveFolder") {
        into->lastSaveFolder = value;
    }
    return "";
}

// QSettings keeps a few typed values behind '@'; a string that starts with '@' is written with
// a second one. Returns false for a value that is not plain text (*absent: an invalid value,
// which QSettings reads as no value at all).
bool PlainValue(std::string* value, bool* absent)
{
    *absent = false;
    if (value->empty() || (*value)[0] != '@') return true;
    if (value->compare(0, 2, "@@") == 0) {
        value->erase(0, 1);
        return true;
    }
    if (*value == "@Invalid()") {
        *absent = true;
        return true;
    }
    if (value->compare(0, 11, "@ByteArray(") == 0 && value->back() == ')') {
        *value = value->substr(11, value->size() - 12);
        return true;
    }
    return false;
}

// A high surrogate of a \x escape waits for its low half; anything else ends the wait.
void FlushHighSurrogate(unsigned* pendingHigh, std::string* out)
{
    if (*pendingHigh == 0) return;
    AppendUtf8(0xFFFD, out);
    *pendingHigh = 0;
}

// Appends one UTF-16 code unit of a \x escape, pairing surrogates; a lone half is U+FFFD.
void AppendCodeUnit(unsigned unit, unsigned* pendingHigh, std::string* out)
{
    unit &= 0xFFFF;
    if (*pendingHigh != 0 && unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUtf8(0x10000 + ((*pendingHigh - 0xD800) << 10) + (unit - 0xDC00), out);
        *pendingHigh = 0;
        return;
    }
    FlushHighSurrogate(pendingHigh, out);
    if (unit >= 0xD800 && unit <= 0xDBFF)
        *pendingHigh = unit;
    else
        AppendUtf8(unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit, out);
}

void ChopTrailingBlanks(std::string* text, size_t limit)
{
    while (text->size() > limit && (text->back() == ' ' || text->back() == '\t')) text->pop_back();
}

bool WriteWhole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<size_t>(count);
    }
    return true;
}

// Reads a whole settings file. Returns 0, or an errno (EFBIG: too large; EINVAL: not a regular
// file).
int ReadSettingsFile(const std::string& path, std::string* text)
{
    text->clear();
    // O_NONBLOCK: a FIFO at the path must not hang the program.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat status;
    int result = 0;
    if (::fstat(fd, &status) != 0)
        result = errno;
    else if (!S_ISREG(status.st_mode))
        result = EINVAL;
    else if (status.st_size > kLargestSettingsFile)
        result = EFBIG;
    char buffer[8192];
    while (result == 0) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) result = errno;
        if (count <= 0) break;
        text->append(buffer, static_cast<size_t>(count));
        if (text->size() > static_cast<size_t>(kLargestSettingsFile)) result = EFBIG;
    }
    ::close(fd);
    return result;
}

std::string ReadErrorText(int error)
{
    if (error == EFBIG) return "file is larger than 1 MiB; ignored";
    if (error == EINVAL) return "not a regular file; ignored";
    return std::string("cannot read: ") + std::strerror(error);
}

}  // namespace

std::string FormatSettingsProblem(const SettingsProblem& problem)
{
    std::string text = problem.file;
    if (problem.line > 0) {
        text += ':';
        text += std::to_string(problem.line);
    }
    text += problem.warning ? ": warning: " : ": ";
    text += problem.what;
    return text;
}

std::string UserSettingsPath()
{
    const std::string folder = ConfigHomeFolder();
    return folder.empty() ? "" : folder + kSettingsFile;
}

std::vector<std::string> SystemSettingsPaths()
{
    std::vector<std::string> paths;
    for (const std::string& folder : ConfigFolders()) paths.push_back(folder + kSettingsFile);
    return paths;
}

bool UnescapeIniValue(const std::string& raw, std::string* value, std::vector<std::string>* items)
{
    static const char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                       {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                       {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    value->clear();
    items->clear();
    bool list = false;
    bool inQuotes = false;
    bool quoted = false;  // the current item had quotes
    unsigned pendingHigh = 0;
    size_t i = 0;
    const size_t size = raw.size();
    auto skipBlanks = [&] {
        while (i < size && (raw[i] == ' ' || raw[i] == '\t')) ++i;
    };
    skipBlanks();
    size_t chopLimit = 0;  // escaped characters before this point are never chopped
    while (i < size) {
        const char c = raw[i];
        if (c == '\\') {
            ++i;
            if (i >= size) break;
            const char escape = raw[i++];
            bool done = false;
            for (const auto& entry : kEscapes) {
                if (escape == entry[0]) {
                    AppendCodeUnit(static_cast<unsigned char>(entry[1]), &pendingHigh, value);
                    done = true;
                    break;
                }
            }
            if (!done && (escape == 'x' || (escape >= '0' && escape <= '7'))) {
                const bool hex = escape == 'x';
                unsigned unit = hex ? 0 : static_cast<unsigned>(escape - '0');
                bool any = !hex;
                while (i < size) {
                    const char digit = raw[i];
                    const int valueOf = hex ? HexDigitValue(digit)
                                            : (digit >= '0' && digit <= '7' ? digit - '0' : -1);
                    if (valueOf < 0) break;
                    unit = ((unit << (hex ? 4 : 3)) + static_cast<unsigned>(valueOf)) & 0xFFFF;
                    any = true;
                    ++i;
                }
                if (any) AppendCodeUnit(unit, &pendingHigh, value);
            } else if (!done && (escape == '\n' || escape == '\r')) {
                // A backslash before the line end joins the next line.
                if (i < size && (raw[i] == '\n' || raw[i] == '\r') && raw[i] != escape) ++i;
            }
            // Any other escaped character is dropped, with its backslash.
            chopLimit = value->size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
                chopLimit = value->size();
            }
        } else if (c == ',' && !inQuotes) {
            FlushHighSurrogate(&pendingHigh, value);
            if (!quoted) ChopTrailingBlanks(value, chopLimit);
            list = true;
            items->push_back(*value);
            value->clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = 0;
        } else {
            FlushHighSurrogate(&pendingHigh, value);
            *value += c;
            ++i;
        }
    }
    FlushHighSurrogate(&pendingHigh, value);
    if (!quoted) ChopTrailingBlanks(value, chopLimit);
    if (list) {
        items->push_back(*value);
        value->clear();
    }
    return !list;
}

std::string EscapeIniValue(const std::string& text)
{
    const std::string value = !text.empty() && text[0] == '@' ? "@" + text : text;
    std::string escaped;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (unsigned char c : value) {
        if (c == ';' || c == ',' || c == '=') needsQuotes = true;
        // After \0 or \xHH the reader would take a following hex digit as part of the escape.
        if (escapeNextIfDigit && std::isxdigit(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%x", c);
            escaped += hex;
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
            case '\0':
                escaped += "\\0";
                escapeNextIfDigit = true;
                break;
            case '\a':
                escaped += "\\a";
                break;
            case '\b':
                escaped += "\\b";
                break;
            case '\f':
                escaped += "\\f";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\v':
                escaped += "\\v";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            default:
                if (c <= 0x1F || c == 0x7F) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%x", c);
                    escaped += hex;
                    escapeNextIfDigit = true;
                } else {
                    escaped += static_cast<char>(c);  // UTF-8 (or any byte) as it is
                }
        }
    }
    if (needsQuotes || (!escaped.empty() && (escaped.front() == ' ' || escaped.back() == ' ')))
        escaped = "\"" + escaped + "\"";
    return escaped;
}

void ParseStationSettings(const std::string& text, const std::string& fileName,
                          StationSettings* into, std::vector<SettingsProblem>* problems)
{
    CProblemList list(fileName, problems);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        int line = 1;
        for (size_t i = 0; i < nul; ++i) line += text[i] == '\n';
        list.Add(line, "not a text file (holds NUL bytes); ignored");
        return;
    }
    for (const IniLine& line : ScanIniText(text)) {
        if (line.unclosedQuote)
            list.Add(line.number, "a quote is never closed; the rest of the file is one value");
        if (!line.problem.empty()) {
            list.Add(line.number, line.problem);
            continue;
        }
        if (line.kind != IniLine::Kind::Entry || !line.general) continue;
        if (line.key.find('/') != std::string::npos) continue;  // a group's key, not ours
        std::string value;
        std::vector<std::string> items;
        if (!IsKnownKey(line.key)) {
            list.Add(line.number, "unknown key " + Quoted(line.key), true);
            continue;
        }
        if (!UnescapeIniValue(line.rawValue, &value, &items)) {
            list.Add(line.number, line.key +
                                      ": holds a list (an unquoted comma); quote the value to "
                                      "use a comma");
            continue;
        }
        bool absent = false;
        if (!PlainValue(&value, &absent)) {
            list.Add(line.number, line.key + ": " + Quoted(value) + " is not a plain value");
            continue;
        }
        if (absent) continue;
        const std::string wrong = ApplySetting(line.key, value, into);
        if (!wrong.empty()) list.Add(line.number, line.key + ": " + Quoted(value) + " " + wrong);
    }
}

void LoadStationSettingsFile(const std::string& path, StationSettings* into,
                             std::vector<SettingsProblem>* problems)
{
    std::string text;
    const int error = ReadSettingsFile(path, &text);
    if (error == ENOENT || error == ENOTDIR) return;
    if (error != 0) {
        if (problems != nullptr) problems->push_back({path, 0, ReadErrorText(error), false});
        return;
    }
    ParseStationSettings(text, path, into, problems);
}

StationSettings LoadStationSettings(std::vector<SettingsProblem>* problems)
{
    StationSettings settings;
    const std::vector<std::string> system = SystemSettingsPaths();
    for (auto path = system.rbegin(); path != system.rend(); ++path)
        LoadStationSettingsFile(*path, &settings, problems);
    const std::string user = UserSettingsPath();
    if (!user.empty()) LoadStationSettingsFile(user, &settings, problems);
    return settings;
}

bool ParseDottedIpv4(const std::string& address, std::array<uint8_t, 4>* bytes)
{
    if (!IsDottedIpv4(address)) return false;
    size_t start = 0;
    for (uint8_t& byte : *bytes) {
        const size_t end = std::min(address.find('.', start), address.size());
        long part = 0;
        ParseInteger(address.substr(start, end - start), 0, 255, &part);
        byte = static_cast<uint8_t>(part);
        start = end + 1;
    }
    return true;
}

const char* RasterSettingText(StationRaster raster)
{
    switch (raster) {
        case StationRaster::HD720:
            return "1280x720";
        case StationRaster::SD480:
            return "720x487";
        case StationRaster::SD576:
            return "720x576";
        case StationRaster::HD1080:
            break;
    }
    return "1920x1080";
}

std::string FormatSettingSeconds(double seconds)
{
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, seconds);
    return error == std::errc() ? std::string(text, end) : "0";
}

bool SaveRememberedSettings(const StationSettings& settings, std::string* error)
{
    const std::string path = UserSettingsPath();
    if (path.empty()) {
        if (error != nullptr) *error = "no home folder for the settings file";
        return false;
    }
    return SaveRememberedSettingsTo(path, settings, error);
}

bool SaveRememberedSettingsTo(const std::string& givenPath, const StationSettings& settings,
                              std::string* error)
{
    auto fail = [error](const std::string& what) {
        if (error != nullptr) *error = what;
        return false;
    };
    if (error != nullptr) error->clear();
    // A settings file kept elsewhere behind a symbolic link stays there.
    std::string path = givenPath;
    if (char* resolved = ::realpath(givenPath.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (const int made = MakeFolders(folder); made != 0)
        return fail(folder + ": cannot create the folder: " + std::strerror(made));

    std::string text;
    const int readError = ReadSettingsFile(path, &text);
    if (readError != 0 && readError != ENOENT)
        return fail(path + ": " + ReadErrorText(readError) + "; not rewritten");

    std::vector<std::pair<std::string, std::string>> owned = {
        {"Raster", RasterSettingText(settings.raster)},
        {"Aspect", settings.keepAspect ? "Keep" : "Full"},
        {"Fmem", settings.fmem == 2 ? "2" : "1"},
        {"LastImageFolder", EscapeIniValue(settings.lastImageFolder)},
        {"LastSaveFolder", EscapeIniValue(settings.lastSaveFolder)}};
    // An address the reader would refuse is left out; the file's own line stays.
    if (IsAddress(settings.address))
        owned.insert(owned.begin(), {"Address", EscapeIniValue(settings.address)});
    const size_t firstLf = text.find('\n');
    const char* newline =
        firstLf != std::string::npos && firstLf > 0 && text[firstLf - 1] == '\r' ? "\r\n" : "\n";

    // Edits as (begin, end, replacement), in text order, applied from the back.
    struct Edit {
        size_t begin;
        size_t end;
        std::string replacement;
    };
    std::vector<Edit> edits;
    std::vector<bool> written(owned.size(), false);
    const std::vector<IniLine> lines = ScanIniText(text);
    // Missing keys go after the last entry of the first [General] part, or after its header.
    size_t insertAt = std::string::npos;
    bool generalFound = false;
    bool generalClosed = false;
    size_t firstSection = std::string::npos;
    for (const IniLine& line : lines) {
        if (line.kind == IniLine::Kind::Section) {
            if (firstSection == std::string::npos) firstSection = line.begin;
            if (generalFound && !line.general) generalClosed = true;
            if (line.general && !generalFound) {
                generalFound = true;
                insertAt = line.next;
            }
            continue;
        }
        if (line.kind != IniLine::Kind::Entry || !line.general) continue;
        if (!generalFound) generalFound = true;
        if (!generalClosed) insertAt = line.next;
        for (size_t k = 0; k < owned.size(); ++k) {
            if (line.key != owned[k].first) continue;
            if (written[k]) {
                edits.push_back({line.begin, line.next, ""});  // a later copy would win
            } else {
                std::string replacement = owned[k].first + "=" + owned[k].second;
                if (line.contentEnd < line.end) replacement += " ";  // keeps its "; comment"
                edits.push_back({line.begin, line.contentEnd, replacement});
                written[k] = true;
            }
        }
    }
    std::string added;
    for (size_t k = 0; k < owned.size(); ++k)
        if (!written[k]) added += owned[k].first + "=" + owned[k].second + newline;
    if (!added.empty()) {
        if (!generalFound) {
            insertAt = firstSection != std::string::npos ? firstSection : text.size();
            added = std::string("[General]") + newline + added;
            if (insertAt < text.size()) added += newline;
        }
        if (insertAt == text.size() && !text.empty() && text.back() != '\n' && text.back() != '\r')
            added = newline + added;
        edits.push_back({insertAt, insertAt, added});
    }
    // By position; applied from the back, so at one position the insertion sorts first and is
    // applied after the removal of the line that starts there.
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        if (a.begin != b.begin) return a.begin < b.begin;
        return a.begin == a.end && b.begin != b.end;
    });
    for (auto edit = edits.rbegin(); edit != edits.rend(); ++edit)
        text.replace(edit->begin, edit->end - edit->begin, edit->replacement);

    std::string temporary = folder + "/.imgcast.conf.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return fail(folder + ": cannot create a temporary file: " + std::strerror(errno));
    struct stat status;
    const mode_t mode = ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0600;
    bool ok = WriteWhole(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 && ok) ok = false;
    if (!ok) {
        ::unlink(temporary.c_str());
        return fail(temporary + ": cannot write: " + std::strerror(writeError));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return fail(path + ": cannot replace: " + std::strerror(renameError));
    }
    return true;
}
