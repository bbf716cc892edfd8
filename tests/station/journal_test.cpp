// The transfer journal: the line format checked by a strict JSON reader of the test's own,
// escaping of any file name, failures that are reported once, concurrent writers, and reading
// the last entries of a large journal with malformed lines.
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/transfer_journal.h"
#include "tests/station/station_test_support.h"

namespace {

// A strict JSON validator: RFC 8259 grammar, valid UTF-8, no raw control characters.
class CStrictJson {
  public:
    static bool IsObjectLine(const std::string& text)
    {
        CStrictJson json(text);
        json.Space();
        if (json.Peek() != '{' || !json.Value()) return false;
        json.Space();
        return json.m_at == text.size();
    }

    // The length of the valid UTF-8 sequence at text[at] (no overlong forms, no surrogates),
    // or 0.
    static size_t Utf8Length(const std::string& text, size_t at)
    {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t length = c < 0x80                 ? 1
                              : c >= 0xC2 && c <= 0xDF ? 2
                              : c >= 0xE0 && c <= 0xEF ? 3
                              : c >= 0xF0 && c <= 0xF4 ? 4
                                                       : 0;
        if (length == 0 || at + length > text.size()) return 0;
        unsigned code = length == 1 ? c : c & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            const unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return 0;
            code = (code << 6) | (next & 0x3F);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
            (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return 0;
        return length;
    }
    static bool IsUtf8(const std::string& text)
    {
        for (size_t at = 0; at < text.size();) {
            const size_t length = Utf8Length(text, at);
            if (length == 0) return false;
            at += length;
        }
        return true;
    }

  private:
    explicit CStrictJson(const std::string& text)
        : m_text(text)
    {
    }
    char Peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    void Space()
    {
        while (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r') ++m_at;
    }
    bool Literal(const char* word)
    {
        if (m_text.compare(m_at, std::strlen(word), word) != 0) return false;
        m_at += std::strlen(word);
        return true;
    }
    bool Digits()
    {
        const size_t start = m_at;
        while (Peek() >= '0' && Peek() <= '9') ++m_at;
        return m_at > start;
    }
    bool Number()
    {
        if (Peek() == '-') ++m_at;
        if (Peek() == '0')
            ++m_at;
        else if (!Digits())
            return false;
        if (Peek() == '.' && (++m_at, !Digits())) return false;
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_at;
            if (Peek() == '+' || Peek() == '-') ++m_at;
            if (!Digits()) return false;
        }
        return true;
    }
    bool String()
    {
        if (Peek() != '"') return false;
        ++m_at;
        while (m_at < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++m_at;
                const char e = Peek();
                if (e == 'u') {
                    for (int i = 1; i <= 4; ++i)
                        if (!std::isxdigit(static_cast<unsigned char>(
                                m_at + i < m_text.size() ? m_text[m_at + i] : 'g')))
                            return false;
                    m_at += 5;
                    continue;
                }
                if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') return false;
                ++m_at;
                continue;
            }
            const size_t length = Utf8Length(m_text, m_at);
            if (length == 0) return false;
            m_at += length;
        }
        return false;
    }
    bool Value()
    {
        Space();
        const char c = Peek();
        bool ok;
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++m_at;
            Space();
            if (Peek() == close) {
                ++m_at;
                return true;
            }
            for (;;) {
                Space();
                if (c == '{') {
                    if (!String()) return false;
                    Space();
                    if (Peek() != ':') return false;
                    ++m_at;
                }
                if (!Value()) return false;
                Space();
                if (Peek() == close) {
                    ++m_at;
                    return true;
                }
                if (Peek() != ',') return false;
                ++m_at;
            }
        }
        if (c == '"')
            ok = String();
        else if (c == 't')
            ok = Literal("true");
        else if (c == 'f')
            ok = Literal("false");
        else if (c == 'n')
            ok = Literal("null");
        else
            ok = Number();
        return ok;
    }

    const std::string& m_text;
    size_t m_at = 0;
};

JournalEntry SampleEntry()
{
    JournalEntry entry;
    entry.timeMilliseconds = 1796771645123;  // 2026-12-08T23:14:05.123Z
    entry.program = "imgcast-cli";
    entry.host = "127.0.0.1";
    entry.port = 2006;
    entry.send = true;
    entry.fmem = 1;
    entry.file = "/pictures/card.png";
    entry.width = 1920;
    entry.height = 1080;
    entry.bytes = 4147200;
    entry.milliseconds = 42;
    return entry;
}

bool SameEntry(const JournalEntry& a, const JournalEntry& b)
{
    return a.timeMilliseconds == b.timeMilliseconds && a.program == b.program && a.host == b.host &&
           a.port == b.port && a.send == b.send && (a.pair || a.fmem == b.fmem) &&
           a.pair == b.pair && a.file == b.file && a.width == b.width && a.height == b.height &&
           (!a.send || a.keepAspect == b.keepAspect) && a.result == b.result &&
           a.message == b.message && a.bytes == b.bytes && a.milliseconds == b.milliseconds;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST(JournalLines, AreFlatJsonObjectsThatReadBack)
{
    const JournalEntry entry = SampleEntry();
    const std::string line = FormatJournalLine(entry);
    EXPECT_EQ(line,
              "{\"time\":\"2026-12-08T23:14:05.123Z\",\"program\":\"imgcast-cli\","
              "\"peer\":\"127.0.0.1:2006\",\"direction\":\"send\",\"fmem\":\"1\","
              "\"file\":\"/pictures/card.png\",\"raster\":\"1920x1080\",\"aspect\":\"Full\","
              "\"pair\":false,\"result\":0,\"message\":\"\",\"bytes\":4147200,\"ms\":42}");
    EXPECT_TRUE(CStrictJson::IsObjectLine(line));

    JournalEntry get = SampleEntry();
    get.program = "ImgCast";
    get.host = "switcher.example";
    get.port = 65535;
    get.send = false;
    get.fmem = 2;
    get.width = get.height = 0;
    get.result = 10;
    get.message = "recive data error";
    get.bytes = 0;
    JournalEntry pair = SampleEntry();
    pair.pair = true;
    pair.keepAspect = true;
    pair.timeMilliseconds = 0;  // the epoch itself
    for (const JournalEntry& original : {entry, get, pair}) {
        const std::string text = FormatJournalLine(original);
        EXPECT_TRUE(CStrictJson::IsObjectLine(text)) << text;
        JournalEntry back;
        ASSERT_TRUE(ParseJournalLine(text, &back)) << text;
        EXPECT_TRUE(SameEntry(original, back)) << text;
    }
    EXPECT_NE(FormatJournalLine(get).find("\"fmem\":\"2\""), std::string::npos);
    EXPECT_NE(FormatJournalLine(get).find("\"raster\":\"\",\"aspect\":\"\""), std::string::npos);
    EXPECT_NE(FormatJournalLine(pair).find("\"fmem\":\"1+2\""), std::string::npos);
    EXPECT_NE(FormatJournalLine(pair).find("1970-01-01T00:00:00.000Z"), std::string::npos);
}

TEST(JournalLines, EscapeAnyFileName)
{
    struct Case {
        std::string file;
        std::string readBack;  // what the reader returns
        const char* written;   // a part the line must hold
    };
    const Case cases[] = {
        {"quote\"back\\slash", "quote\"back\\slash", "quote\\\"back\\\\slash"},
        {"new\nline\ttab\rcr", "new\nline\ttab\rcr", "new\\nline\\ttab\\rcr"},
        {std::string("nul\0"
                     "bell\a"
                     "esc\x1b"
                     "del\x7f",
                     17),
         std::string("nul\0"
                     "bell\a"
                     "esc\x1b"
                     "del\x7f",
                     17),
         "nul\\u0000bell\\u0007esc\\u001bdel\\u007f"},
        {"caf\xC3\xA9 \xE6\xBC\xA2 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\xBC\xA2 \xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xE6\xBC\xA2 \xF0\x9F\x98\x80"},
        {"latin1 caf\xE9.png", "latin1 caf\xEF\xBF\xBD.png", "caf\xEF\xBF\xBD.png"},
        {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD",
         "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
         "surrogate \xEF\xBF\xBD"},
        {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD", "\"file\":\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        JournalEntry entry = SampleEntry();
        entry.file = c.file;
        entry.message = c.file;
        const std::string line = FormatJournalLine(entry);
        EXPECT_TRUE(CStrictJson::IsObjectLine(line)) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_NE(line.find(c.written), std::string::npos) << line;
        JournalEntry back;
        ASSERT_TRUE(ParseJournalLine(line, &back)) << line;
        EXPECT_EQ(back.file, c.readBack);
        EXPECT_EQ(back.message, c.readBack);
    }
    // Escapes another writer may use read back too.
    std::string line = FormatJournalLine(SampleEntry());
    line.replace(line.find("/pictures/card.png"), 18, "\\/p\\u00e9\\ud83d\\ude00\\ud800x");
    JournalEntry back;
    ASSERT_TRUE(ParseJournalLine(line, &back)) << line;
    EXPECT_EQ(back.file, "/p\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx");
}

TEST(JournalLines, MalformedLinesAreRefused)
{
    const std::string good = FormatJournalLine(SampleEntry());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string line = good;
        line.replace(line.find(from), from.size(), to);
        return line;
    };
    const std::string lines[] = {
        "",
        "{}",
        "not json",
        good.substr(0, good.size() - 1),
        good + "x",
        replaced("\"ms\":42", "\"ms\":\"42\""),
        replaced("\"ms\":42", "\"ms\":-1"),
        replaced("\"result\":0", "\"result\":0.5"),
        replaced("\"direction\":\"send\"", "\"direction\":\"put\""),
        replaced("\"fmem\":\"1\"", "\"fmem\":1"),
        replaced("\"pair\":false", "\"pair\":null"),
        replaced("2026-12-08T23:14:05.123Z", "2026-12-08 23:14:05Z"),
        replaced("2026-12-08T23:14:05.123Z", "2026-13-08T23:14:05.123Z"),
        replaced("127.0.0.1:2006", "127.0.0.1"),
        replaced("1920x1080", "1920"),
        replaced(",\"bytes\":4147200", ""),
        replaced("card.png", "card\x01.png"),
        replaced("\"message\":\"\"", "\"message\":{}"),
    };
    for (const std::string& line : lines) {
        JournalEntry entry;
        EXPECT_FALSE(ParseJournalLine(line, &entry)) << line;
    }
    // Fields the reader does not know, of any kind, are read past.
    JournalEntry entry;
    EXPECT_TRUE(ParseJournalLine(
        replaced("{", "{ \"note\" : \"x\" , \"later\":[1,{\"a\":[]},\"]\"],\"n\":null,"), &entry));
    EXPECT_FALSE(ParseJournalLine(replaced("{", "{\"later\":[1,2,"), &entry));
}

// Lines cut or changed anywhere: the reader never reads past the line (the sanitizer build
// checks) and takes only what is whole.
TEST(JournalLines, DamagedLinesNeverReadPastTheirEnd)
{
    JournalEntry entry = SampleEntry();
    entry.file = "a\"b\\c\n\xC3\xA9\xF0\x9F\x98\x80\xFF";
    const std::string good = FormatJournalLine(entry);
    std::mt19937 random(5);
    const char replacements[] = "\"\\{}[],:0-eEtu\x80\xC3 ";
    for (int round = 0; round < 5000; ++round) {
        std::string line = good;
        if (round % 3 == 0) line.resize(1 + random() % (line.size() - 1));
        for (int change = 0; change < 1 + round % 4; ++change)
            line[random() % line.size()] = replacements[random() % (sizeof replacements - 1)];
        JournalEntry back;
        if (!ParseJournalLine(line, &back)) continue;
        // Bytes that are not UTF-8 are taken as U+FFFD; everything else must be strict JSON.
        if (CStrictJson::IsUtf8(line)) {
            EXPECT_TRUE(CStrictJson::IsObjectLine(line)) << line;
        }
        JournalEntry again;
        ASSERT_TRUE(ParseJournalLine(FormatJournalLine(back), &again));
        EXPECT_TRUE(SameEntry(back, again));
    }
}

TEST(JournalLines, ReadForPeople)
{
    JournalEntry entry = SampleEntry();
    EXPECT_EQ(FormatJournalEntry(entry),
              "2026-12-08 23:14:05Z  send  FMEM 1  127.0.0.1:2006  card.png  1920x1080 Full  ok  "
              "42 ms");
    entry.pair = true;
    entry.keepAspect = true;
    entry.result = 3;
    entry.message = "Connect Error\n";
    EXPECT_EQ(FormatJournalEntry(entry),
              "2026-12-08 23:14:05Z  send  FMEM 1+2  127.0.0.1:2006  card.png  1920x1080 Keep  "
              "error 3: Connect Error  42 ms");
    entry = SampleEntry();
    entry.send = false;
    entry.fmem = 2;
    entry.file =
        "/out/\x1b[31mred\xC2\x9B"
        "1m.bmp";
    EXPECT_EQ(FormatJournalEntry(entry),
              "2026-12-08 23:14:05Z  get   FMEM 2  127.0.0.1:2006  ?[31mred?1m.bmp  1920x1080  ok  "
              "42 ms");
    entry.file.clear();
    entry.width = entry.height = 0;
    entry.result = 100;
    EXPECT_EQ(FormatJournalEntry(entry),
              "2026-12-08 23:14:05Z  get   FMEM 2  127.0.0.1:2006  -  -  error 100  42 ms");
}

class JournalFolder : public ::testing::Test {
  protected:
    void SetUp() override
    {
        m_environment.Set("HOME", m_folder.File("home"));
        m_environment.Set("XDG_STATE_HOME", m_folder.File("state"));
    }
    CTemporaryFolder m_folder;
    CEnvironmentOverride m_environment;
    int m_fifoReader = -1;
};

TEST_F(JournalFolder, LivesUnderTheStateFolder)
{
    EXPECT_EQ(JournalPath(), m_folder.File("state") + "/imgcast/transfers.log");
    m_environment.Set("XDG_STATE_HOME", "relative/state");
    EXPECT_EQ(JournalPath(), m_folder.File("home") + "/.local/state/imgcast/transfers.log");
    m_environment.Set("XDG_STATE_HOME", "");
    EXPECT_EQ(JournalPath(), m_folder.File("home") + "/.local/state/imgcast/transfers.log");
    m_environment.Unset("XDG_STATE_HOME");
    EXPECT_EQ(JournalPath(), m_folder.File("home") + "/.local/state/imgcast/transfers.log");

    // The folders are made on the first append, private.
    CTransferJournal journal;
    EXPECT_EQ(journal.Append(SampleEntry()), "");
    JournalEntry second = SampleEntry();
    second.timeMilliseconds = 0;  // stamped now
    EXPECT_EQ(journal.Append(second), "");
    EXPECT_EQ(FileMode(m_folder.File("home") + "/.local/state/imgcast"), 0700);
    EXPECT_EQ(FileMode(journal.Path()), 0600);
    const std::vector<std::string> lines = Lines(ReadTextFile(journal.Path()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], FormatJournalLine(SampleEntry()));
    JournalEntry back;
    ASSERT_TRUE(ParseJournalLine(lines[1], &back));
    EXPECT_GT(back.timeMilliseconds, SampleEntry().timeMilliseconds - 86400000LL * 365 * 10);
    CTransferJournal discarded("/dev/null");  // a device is written like a file
    EXPECT_EQ(discarded.Append(SampleEntry()), "");
}

TEST_F(JournalFolder, AFailureIsReportedOnce)
{
    struct Case {
        const char* name;
        std::function<std::string()> prepare;  // makes the failure, returns the journal path
    };
    const Case cases[] = {
        {"the journal path is a folder",
         [&] {
             const std::string path = m_folder.File("folder.log");
             ::mkdir(path.c_str(), 0700);
             return path;
         }},
        {"the state folder is a regular file",
         [&] {
             WriteTextFile(m_folder.File("state-file"), "x");
             return m_folder.File("state-file") + "/imgcast/transfers.log";
         }},
        {"a FIFO nobody reads",  // must fail at once, not wait for a reader
         [&] {
             const std::string path = m_folder.File("fifo.log");
             ::mkfifo(path.c_str(), 0600);
             return path;
         }},
        {"a FIFO with a reader",  // a reader that goes away must not raise SIGPIPE
         [&] {
             const std::string path = m_folder.File("read-fifo.log");
             ::mkfifo(path.c_str(), 0600);
             m_fifoReader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
             return path;
         }},
    };
    for (const Case& c : cases) {
        CTransferJournal journal(c.prepare());
        const std::string first = journal.Append(SampleEntry());
        EXPECT_NE(first.find(journal.Path()), std::string::npos) << c.name << ": " << first;
        EXPECT_EQ(first.rfind("Transfer journal ", 0), 0u) << first;
        EXPECT_EQ(journal.Append(SampleEntry()), "") << c.name;
        EXPECT_EQ(journal.Append(SampleEntry()), "") << c.name;
    }
    EXPECT_EQ(ReadTextFile(m_folder.File("state-file")), "x");
    char buffer[16];
    EXPECT_LE(::read(m_fifoReader, buffer, sizeof buffer), 0);  // nothing went down the FIFO
    ::close(m_fifoReader);
}

TEST_F(JournalFolder, ConcurrentWritersNeverInterleave)
{
    const std::string path = m_folder.File("shared.log");
    constexpr int kWriters = 3;
    constexpr int kLines = 1500;
    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CTransferJournal journal(path);
            JournalEntry entry = SampleEntry();
            entry.program = "writer" + std::to_string(writer);
            int failures = 0;
            for (int i = 0; i < kLines; ++i) {
                // Long, varying lines make a torn write likely if writes were split.
                entry.file = std::string(100 + (i * 37) % 3000, static_cast<char>('a' + writer));
                entry.bytes = i;
                failures += !journal.Append(entry).empty();
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> lines = Lines(ReadTextFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * kLines));
    std::vector<int64_t> next(kWriters, 0);
    for (const std::string& line : lines) {
        JournalEntry entry;
        ASSERT_TRUE(ParseJournalLine(line, &entry)) << line.substr(0, 200);
        const int writer = entry.program.back() - '0';
        ASSERT_TRUE(writer >= 0 && writer < kWriters);
        EXPECT_EQ(entry.bytes, next[writer]++);  // each writer's lines in its own order
        EXPECT_EQ(entry.file,
                  std::string(100 + (entry.bytes * 37) % 3000, static_cast<char>('a' + writer)));
    }
}

TEST_F(JournalFolder, ReaderTakesTheLastWellFormedEntries)
{
    const std::string path = m_folder.File("big.log");
    // About 20 MB: many blocks, with junk between the entries and one line far too long.
    std::string text;
    int entries = 0;
    const int kEntries = 60000;
    for (int i = 0; i < kEntries; ++i) {
        JournalEntry entry = SampleEntry();
        entry.bytes = i;
        entry.file = "/pictures/" + std::string(i % 200, 'p') + ".png";
        text += FormatJournalLine(entry) + "\n";
        ++entries;
        if (i % 7 == 0) text += "{\"time\":\"broken\"}\n";
        if (i % 11 == 0) text += "\n\n";
        if (i == kEntries - 30) text += std::string(3 << 20, 'x') + "\n";  // no newline for 3 MiB
        if (i == kEntries - 5) text += "\x00\x01 binary \xFF\n";
    }
    text += "{\"time\":\"2026-12-08T23:14:0";  // a line still being written
    WriteTextFile(path, text);

    const auto readLast = [&](int count) {
        std::vector<JournalEntry> read;
        std::string error;
        EXPECT_EQ(ReadLastJournalEntries(path, count, &read, &error), 0) << error;
        return read;
    };
    for (int count : {1, 10, 29, 30, 31, 1000}) {
        const std::vector<JournalEntry> read = readLast(count);
        ASSERT_EQ(read.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)  // oldest first, ending with the newest
            EXPECT_EQ(read[i].bytes, kEntries - count + i) << count;
    }
    EXPECT_EQ(readLast(kEntries + 5).size(), static_cast<size_t>(kEntries));
    EXPECT_TRUE(readLast(0).empty());

    // Missing and empty journals hold no entries; a folder cannot be read.
    std::vector<JournalEntry> read;
    std::string error;
    EXPECT_EQ(ReadLastJournalEntries(m_folder.File("missing.log"), 10, &read, &error), 0);
    EXPECT_TRUE(read.empty());
    WriteTextFile(m_folder.File("empty.log"), "");
    EXPECT_EQ(ReadLastJournalEntries(m_folder.File("empty.log"), 10, &read, &error), 0);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(ReadLastJournalEntries(m_folder.Path(), 10, &read, &error), 1);
    EXPECT_NE(error.find(m_folder.Path()), std::string::npos);

    // One entry, with no newline after it, and junk before it.
    WriteTextFile(m_folder.File("one.log"), "junk\n" + FormatJournalLine(SampleEntry()));
    EXPECT_EQ(ReadLastJournalEntries(m_folder.File("one.log"), 10, &read, &error), 0);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(SameEntry(read[0], SampleEntry()));
}

TEST_F(JournalFolder, PrintsTheLastEntries)
{
    CTransferJournal journal(m_folder.File("print.log"));
    for (int i = 0; i < 12; ++i) {
        JournalEntry entry = SampleEntry();
        entry.milliseconds = i;
        journal.Append(entry);
    }
    char* printed = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&printed, &size);
    EXPECT_EQ(PrintLastJournalEntries(journal.Path(), 10, out, stderr), 0);
    std::fclose(out);
    const std::vector<std::string> lines = Lines(std::string(printed, size));
    std::free(printed);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.front(), FormatJournalEntry([] {
                  JournalEntry entry = SampleEntry();
                  entry.milliseconds = 2;
                  return entry;
              }()));
    EXPECT_NE(lines.back().find("  11 ms"), std::string::npos);
}
