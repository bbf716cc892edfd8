#include "station/transfer_journal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "station/text_util.h"
#include "station/xdg_paths.h"

namespace {

constexpr char kJournalFile[] = "/imgcast/transfers.log";
constexpr size_t kReadBlock = 64 * 1024;
// A journal line is well under 64 KiB (a path of 4096 bytes, escaped); a longer one is junk and
// is skipped without being held whole.
constexpr size_t kLongestLine = 1 << 20;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

int64_t FloorDivide(int64_t value, int64_t divisor)
{
    return value / divisor - (value % divisor != 0 && value < 0);
}

// "2026-12-08T23:14:05.123Z", or with `readable` "2026-12-08 23:14:05Z".
std::string FormatUtcTime(int64_t milliseconds, bool readable)
{
    const int64_t days = FloorDivide(milliseconds, 86400000);
    const int64_t inDay = milliseconds - days * 86400000;
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    if (readable)
        std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d:%02d:%02dZ",
                      static_cast<long long>(year), month, day, static_cast<int>(inDay / 3600000),
                      static_cast<int>(inDay / 60000 % 60), static_cast<int>(inDay / 1000 % 60));
    else
        std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                      static_cast<long long>(year), month, day, static_cast<int>(inDay / 3600000),
                      static_cast<int>(inDay / 60000 % 60), static_cast<int>(inDay / 1000 % 60),
                      static_cast<int>(inDay % 1000));
    return text;
}

bool ParseDigits(const std::string& text, size_t at, size_t count, unsigned* value)
{
    if (at + count > text.size()) return false;
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *value = *value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

bool ParseUtcTime(const std::string& text, int64_t* milliseconds)
{
    unsigned year, month, day, hour, minute, second, fraction;
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != '.' || text[23] != 'Z')
        return false;
    if (!ParseDigits(text, 0, 4, &year) || !ParseDigits(text, 5, 2, &month) ||
        !ParseDigits(text, 8, 2, &day) || !ParseDigits(text, 11, 2, &hour) ||
        !ParseDigits(text, 14, 2, &minute) || !ParseDigits(text, 17, 2, &second) ||
        !ParseDigits(text, 20, 3, &fraction))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    *milliseconds = DaysFromCivil(year, month, day) * 86400000 + hour * 3600000LL +
                    minute * 60000LL + second * 1000LL + fraction;
    return true;
}

// Length of the valid UTF-8 sequence at `text[at]`, or 0 when the bytes there are not one
// (overlong forms, surrogates and values past U+10FFFF are not valid).
size_t Utf8SequenceLength(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
        return 0;
    return length;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void AppendJsonString(const std::string& text, std::string* out)
{
    *out += '"';
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            *out += kReplacement;
            ++i;
            continue;
        }
        if (length > 1) {
            out->append(text, i, length);
        } else if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        } else {
            *out += static_cast<char>(c);
        }
        i += length;
    }
    *out += '"';
}

// A reader of the JSON objects the journal holds: string, number, true, false and null values
// are kept; nested objects and arrays (which only a later writer would add) are read past.
class CJsonLineReader {
  public:
    explicit CJsonLineReader(const std::string& text)
        : m_text(text)
    {
    }

    struct Field {
        std::string name;
        enum class Type { String, Number, Bool, Null, Nested } type = Type::Null;
        std::string text;  // a string's value or a number's spelling
        bool flag = false;
    };

    bool ReadObject(std::vector<Field>* fields)
    {
        SkipSpace();
        if (!Take('{')) return false;
        SkipSpace();
        if (Take('}')) return AtEnd();
        for (;;) {
            Field field;
            SkipSpace();
            if (!ReadString(&field.name)) return false;
            SkipSpace();
            if (!Take(':')) return false;
            SkipSpace();
            if (!ReadValue(&field)) return false;
            fields->push_back(std::move(field));
            SkipSpace();
            if (Take('}')) return AtEnd();
            if (!Take(',')) return false;
        }
    }

  private:
    bool AtEnd()
    {
        SkipSpace();
        return m_at == m_text.size();
    }
    void SkipSpace()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    bool Take(char c)
    {
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool TakeWord(const char* word)
    {
        const size_t length = std::strlen(word);
        if (m_text.compare(m_at, length, word) != 0) return false;
        m_at += length;
        return true;
    }
    bool ReadHex4(unsigned* value)
    {
        if (m_at + 4 > m_text.size()) return false;
        *value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexDigitValue(m_text[m_at++]);
            if (digit < 0) return false;
            *value = *value * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }
    bool ReadString(std::string* value)
    {
        value->clear();
        if (!Take('"')) return false;
        while (m_at < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                const size_t length = Utf8SequenceLength(m_text, m_at);
                if (length == 0) {
                    *value += kReplacement;
                    ++m_at;
                } else {
                    value->append(m_text, m_at, length);
                    m_at += length;
                }
                continue;
            }
            if (++m_at >= m_text.size()) return false;
            const char escape = m_text[m_at++];
            switch (escape) {
                case '"':
                    *value += '"';
                    break;
                case '\\':
                    *value += '\\';
                    break;
                case '/':
                    *value += '/';
                    break;
                case 'b':
                    *value += '\b';
                    break;
                case 'f':
                    *value += '\f';
                    break;
                case 'n':
                    *value += '\n';
                    break;
                case 'r':
                    *value += '\r';
                    break;
                case 't':
                    *value += '\t';
                    break;
                case 'u': {
                    unsigned unit = 0;
                    if (!ReadHex4(&unit)) return false;
                    if (unit >= 0xD800 && unit <= 0xDBFF && m_text.compare(m_at, 2, "\\u") == 0) {
                        const size_t back = m_at;
                        m_at += 2;
                        unsigned low = 0;
                        if (ReadHex4(&low) && low >= 0xDC00 && low <= 0xDFFF) {
                            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), value);
                            break;
                        }
                        m_at = back;
                    }
                    if (unit >= 0xD800 && unit <= 0xDFFF)
                        *value += kReplacement;
                    else
                        AppendUtf8(unit, value);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    bool ReadNumber(std::string* spelling)
    {
        const size_t start = m_at;
        Take('-');
        const auto digits = [&] {
            const size_t first = m_at;
            while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') ++m_at;
            return m_at > first;
        };
        const size_t first = m_at;
        if (!digits()) return false;
        if (m_text[first] == '0' && m_at > first + 1) return false;  // no leading zeros
        if (Take('.') && !digits()) return false;
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            if (!digits()) return false;
        }
        *spelling = m_text.substr(start, m_at - start);
        return true;
    }
    bool ReadValue(Field* field)
    {
        if (m_at >= m_text.size()) return false;
        const char c = m_text[m_at];
        if (c == '"') {
            field->type = Field::Type::String;
            return ReadString(&field->text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            field->type = Field::Type::Number;
            return ReadNumber(&field->text);
        }
        if (c == '{' || c == '[') {
            field->type = Field::Type::Nested;
            return SkipNested();
        }
        field->type = Field::Type::Bool;
        if (TakeWord("true")) {
            field->flag = true;
            return true;
        }
        if (TakeWord("false")) return true;
        field->type = Field::Type::Null;
        return TakeWord("null");
    }

    // Skips an array or object, nested to any depth the line allows.
    bool SkipNested()
    {
        const char close = m_text[m_at] == '{' ? '}' : ']';
        const bool object = close == '}';
        ++m_at;
        SkipSpace();
        if (Take(close)) return true;
        if (++m_depth > 64) return false;
        for (;;) {
            SkipSpace();
            std::string ignored;
            if (object) {
                if (!ReadString(&ignored)) return false;
                SkipSpace();
                if (!Take(':')) return false;
                SkipSpace();
            }
            Field value;
            if (!ReadValue(&value)) return false;
            SkipSpace();
            if (Take(close)) {
                --m_depth;
                return true;
            }
            if (!Take(',')) return false;
        }
    }

    const std::string& m_text;
    size_t m_at = 0;
    int m_depth = 0;
};

bool IntegerField(const CJsonLineReader::Field& field, int64_t low, int64_t high, int64_t* value)
{
    if (field.type != CJsonLineReader::Field::Type::Number) return false;
    const char* end = field.text.data() + field.text.size();
    const auto [stop, error] = std::from_chars(field.text.data(), end, *value);
    return error == std::errc() && stop == end && *value >= low && *value <= high;
}

bool ParseRasterText(const std::string& text, int* width, int* height)
{
    *width = 0;
    *height = 0;
    if (text.empty()) return true;
    const size_t cross = text.find('x');
    if (cross == std::string::npos) return false;
    int parsed[2];
    const std::string parts[2] = {text.substr(0, cross), text.substr(cross + 1)};
    for (int i = 0; i < 2; ++i) {
        const char* end = parts[i].data() + parts[i].size();
        const auto [stop, error] = std::from_chars(parts[i].data(), end, parsed[i]);
        if (parts[i].empty() || error != std::errc() || stop != end || parsed[i] < 0 ||
            parsed[i] > 65535)
            return false;
    }
    *width = parsed[0];
    *height = parsed[1];
    return true;
}

// For a terminal: control characters (C0, DEL, C1) become '?', so a file name cannot move the
// cursor or change colours.
std::string Printable(const std::string& text)
{
    std::string printable;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            printable += '?';
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            printable += '?';
            ++i;
        } else {
            printable += static_cast<char>(c);
        }
    }
    return printable;
}

// Appends one line; returns "" or why it was not written.
std::string AppendLine(const std::string& path, const std::string& line)
{
    if (path.empty()) return "no home folder";
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting for one.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        const size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            const int made = MakeFolders(path.substr(0, slash));
            if (made != 0) return std::strerror(made);
        }
        fd = ::open(path.c_str(), flags, 0600);
    }
    if (fd < 0) return std::strerror(errno);
    // A pipe or socket could end the process with SIGPIPE when its reader goes away between the
    // open and the write; only files and devices (/dev/null) are written.
    struct stat status;
    if (::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISCHR(status.st_mode))) {
        ::close(fd);
        return "not a regular file";
    }
    // One write() per line: with O_APPEND the kernel places it whole at the end, so lines of
    // concurrent writers never interleave.
    ssize_t count;
    do {
        count = ::write(fd, line.data(), line.size());
    } while (count < 0 && errno == EINTR);
    std::string result;
    if (count < 0) {
        result = std::strerror(errno);
    } else if (static_cast<size_t>(count) < line.size()) {
        // A full disk took part of the line: end it, so the next entry starts on its own line
        // (the reader skips the fragment).
        ssize_t ignored = ::write(fd, "\n", 1);
        (void)ignored;
        result = "only part of the line was written (disk full?)";
    }
    ::close(fd);
    return result;
}

}  // namespace

std::string JournalPath()
{
    const std::string folder = StateHomeFolder();
    return folder.empty() ? "" : folder + kJournalFile;
}

int64_t JournalClockNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string FormatJournalLine(const JournalEntry& entry)
{
    std::string line = "{\"time\":\"" + FormatUtcTime(entry.timeMilliseconds, false) + "\"";
    line += ",\"program\":";
    AppendJsonString(entry.program, &line);
    line += ",\"peer\":";
    AppendJsonString(entry.host + ":" + std::to_string(entry.port), &line);
    line += entry.send ? ",\"direction\":\"send\"" : ",\"direction\":\"get\"";
    line += ",\"fmem\":\"";
    line += entry.pair ? "1+2" : entry.fmem == 2 ? "2" : "1";
    line += "\",\"file\":";
    AppendJsonString(entry.file, &line);
    line += ",\"raster\":\"";
    if (entry.width > 0 && entry.height > 0)
        line += std::to_string(entry.width) + "x" + std::to_string(entry.height);
    line += "\",\"aspect\":\"";
    if (entry.send) line += entry.keepAspect ? "Keep" : "Full";
    line += "\",\"pair\":";
    line += entry.pair ? "true" : "false";
    line += ",\"result\":" + std::to_string(entry.result);
    line += ",\"message\":";
    AppendJsonString(entry.message, &line);
    line += ",\"bytes\":" + std::to_string(entry.bytes);
    line += ",\"ms\":" + std::to_string(entry.milliseconds) + "}";
    return line;
}

bool ParseJournalLine(const std::string& line, JournalEntry* entry)
{
    std::vector<CJsonLineReader::Field> fields;
    if (!CJsonLineReader(line).ReadObject(&fields)) return false;
    using Type = CJsonLineReader::Field::Type;
    JournalEntry parsed;
    enum : unsigned {
        kTime = 1,
        kProgram = 2,
        kPeer = 4,
        kDirection = 8,
        kFmem = 16,
        kFile = 32,
        kRaster = 64,
        kAspect = 128,
        kPair = 256,
        kResult = 512,
        kMessage = 1024,
        kBytes = 2048,
        kMs = 4096,
        kAll = 8191
    };
    unsigned seen = 0;
    for (const auto& field : fields) {
        const std::string& name = field.name;
        const bool isString = field.type == Type::String;
        int64_t number = 0;
        if (name == "time" && isString && ParseUtcTime(field.text, &parsed.timeMilliseconds)) {
            seen |= kTime;
        } else if (name == "program" && isString) {
            parsed.program = field.text;
            seen |= kProgram;
        } else if (name == "peer" && isString) {
            const size_t colon = field.text.rfind(':');
            if (colon == std::string::npos) return false;
            int port = 0;
            const std::string digits = field.text.substr(colon + 1);
            const char* end = digits.data() + digits.size();
            const auto [stop, error] = std::from_chars(digits.data(), end, port);
            if (digits.empty() || error != std::errc() || stop != end) return false;
            parsed.host = field.text.substr(0, colon);
            parsed.port = port;
            seen |= kPeer;
        } else if (name == "direction" && isString &&
                   (field.text == "send" || field.text == "get")) {
            parsed.send = field.text == "send";
            seen |= kDirection;
        } else if (name == "fmem" && isString &&
                   (field.text == "1" || field.text == "2" || field.text == "1+2")) {
            parsed.fmem = field.text == "2" ? 2 : 1;
            seen |= kFmem;
        } else if (name == "file" && isString) {
            parsed.file = field.text;
            seen |= kFile;
        } else if (name == "raster" && isString &&
                   ParseRasterText(field.text, &parsed.width, &parsed.height)) {
            seen |= kRaster;
        } else if (name == "aspect" && isString &&
                   (field.text == "Full" || field.text == "Keep" || field.text.empty())) {
            parsed.keepAspect = field.text == "Keep";
            seen |= kAspect;
        } else if (name == "pair" && field.type == Type::Bool) {
            parsed.pair = field.flag;
            seen |= kPair;
        } else if (name == "result" && IntegerField(field, INT32_MIN, INT32_MAX, &number)) {
            parsed.result = static_cast<int>(number);
            seen |= kResult;
        } else if (name == "message" && isString) {
            parsed.message = field.text;
            seen |= kMessage;
        } else if (name == "bytes" && IntegerField(field, 0, INT64_MAX, &number)) {
            parsed.bytes = number;
            seen |= kBytes;
        } else if (name == "ms" && IntegerField(field, 0, INT64_MAX, &number)) {
            parsed.milliseconds = number;
            seen |= kMs;
        } else if (name == "time" || name == "program" || name == "peer" || name == "direction" ||
                   name == "fmem" || name == "file" || name == "raster" || name == "aspect" ||
                   name == "pair" || name == "result" || name == "message" || name == "bytes" ||
                   name == "ms") {
            return false;  // a known field with a value of the wrong kind
        }
    }
    if (seen != kAll) return false;
    *entry = std::move(parsed);
    return true;
}

std::string FormatJournalEntry(const JournalEntry& entry)
{
    std::string text = FormatUtcTime(entry.timeMilliseconds, true);
    text += entry.send ? "  send" : "  get ";
    text += entry.pair ? "  FMEM 1+2" : entry.fmem == 2 ? "  FMEM 2" : "  FMEM 1";
    text += "  " + Printable(entry.host) + ":" + std::to_string(entry.port);
    const size_t slash = entry.file.find_last_of('/');
    const std::string name = slash == std::string::npos ? entry.file : entry.file.substr(slash + 1);
    text += "  " + (name.empty() ? std::string("-") : Printable(name));
    if (entry.width > 0 && entry.height > 0)
        text += "  " + std::to_string(entry.width) + "x" + std::to_string(entry.height);
    else
        text += "  -";
    if (entry.send) text += entry.keepAspect ? " Keep" : " Full";
    if (entry.result == 0) {
        text += "  ok";
    } else {
        std::string message = entry.message;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        text += "  error " + std::to_string(entry.result);
        if (!message.empty()) text += ": " + Printable(message);
    }
    text += "  " + std::to_string(entry.milliseconds) + " ms";
    return text;
}

CTransferJournal::CTransferJournal()
    : m_path(JournalPath())
{
}

CTransferJournal::CTransferJournal(std::string path)
    : m_path(std::move(path))
{
}

std::string CTransferJournal::Append(const JournalEntry& entry)
{
    JournalEntry stamped = entry;
    if (stamped.timeMilliseconds == 0) stamped.timeMilliseconds = JournalClockNow();
    const std::string failure = AppendLine(m_path, FormatJournalLine(stamped) + "\n");
    if (failure.empty() || m_reported.exchange(true)) return "";
    if (m_path.empty()) return "Transfer journal not written: " + failure;
    return "Transfer journal " + m_path + " not written: " + failure;
}

int ReadLastJournalEntries(const std::string& path, int count, std::vector<JournalEntry>* entries,
                           std::string* error)
{
    entries->clear();
    if (error != nullptr) error->clear();
    if (count <= 0) return 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        if (error != nullptr) *error = path + ": " + std::strerror(errno);
        return 1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (error != nullptr) *error = path + ": not a regular file";
        ::close(fd);
        return 1;
    }
    std::vector<JournalEntry> newestFirst;
    const auto take = [&](const std::string& line) {
        JournalEntry entry;
        if (!line.empty() && ParseJournalLine(line, &entry))
            newestFirst.push_back(std::move(entry));
    };
    off_t position = status.st_size;
    std::string tail;       // the start of the line that the last block ended inside
    bool overlong = false;  // the bytes before `position` end a line too long to keep
    std::string block;
    int result = 0;
    while (newestFirst.size() < static_cast<size_t>(count) && position > 0) {
        const size_t size = static_cast<size_t>(std::min<off_t>(position, kReadBlock));
        position -= static_cast<off_t>(size);
        block.resize(size);
        size_t done = 0;
        while (done < size) {
            const ssize_t got =
                ::pread(fd, block.data() + done, size - done, position + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        if (done < size) {
            if (error != nullptr) *error = path + ": read failed";
            result = 1;
            break;
        }
        if (overlong) {
            const size_t newline = block.rfind('\n');
            if (newline == std::string::npos) continue;
            block.resize(newline + 1);
            overlong = false;
        }
        std::string buffer = block + tail;
        size_t end = buffer.size();
        tail.clear();
        while (end > 0 && newestFirst.size() < static_cast<size_t>(count)) {
            const size_t newline = buffer.rfind('\n', end - 1);
            if (newline == std::string::npos) {
                tail = buffer.substr(0, end);
                break;
            }
            take(buffer.substr(newline + 1, end - newline - 1));
            end = newline;
        }
        if (tail.size() > kLongestLine) {
            tail.clear();
            overlong = true;
        }
    }
    if (result == 0 && position == 0 && !overlong &&
        newestFirst.size() < static_cast<size_t>(count))
        take(tail);
    ::close(fd);
    entries->assign(newestFirst.rbegin(), newestFirst.rend());
    return result;
}

int PrintLastJournalEntries(const std::string& path, int count, FILE* out, FILE* errors)
{
    std::vector<JournalEntry> entries;
    std::string error;
    if (ReadLastJournalEntries(path, count, &entries, &error) != 0) {
        std::fprintf(errors, "journal: %s\n", error.c_str());
        return 1;
    }
    if (entries.empty() && count > 0)
        std::fprintf(errors, "journal: no transfers recorded in %s\n", path.c_str());
    for (const JournalEntry& entry : entries)
        std::fprintf(out, "%s\n", FormatJournalEntry(entry).c_str());
    return 0;
}
