#include "station/ini_text.h"

#include "station/text_util.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

std::string Trimmed(const std::string& text, size_t begin, size_t end)
{
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// QSettings' key unescaping: %XX and %UXXXX are characters, a backslash separates groups.
std::string UnescapeKey(const std::string& raw)
{
    std::string key;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\') {
            key += '/';
        } else if (c == '%' && i + 2 < raw.size() && HexDigitValue(raw[i + 1]) >= 0 &&
                   HexDigitValue(raw[i + 2]) >= 0) {
            key += static_cast<char>(HexDigitValue(raw[i + 1]) * 16 + HexDigitValue(raw[i + 2]));
            i += 2;
        } else if (c == '%' && i + 5 < raw.size() && raw[i + 1] == 'U' &&
                   HexDigitValue(raw[i + 2]) >= 0 && HexDigitValue(raw[i + 3]) >= 0 &&
                   HexDigitValue(raw[i + 4]) >= 0 && HexDigitValue(raw[i + 5]) >= 0) {
            unsigned unit = 0;
            for (int digit = 2; digit <= 5; ++digit)
                unit = unit * 16 + HexDigitValue(raw[i + digit]);
            AppendUtf8(unit, &key);
            i += 5;
        } else {
            key += c;
        }
    }
    return key;
}

}  // namespace

std::vector<IniLine> ScanIniText(const std::string& text)
{
    std::vector<IniLine> lines;
    const size_t size = text.size();
    // A byte order mark, which editors on other systems put first, is not part of the first line.
    size_t position = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int number = 1;
    bool general = true;  // keys before any section are in [General]
    // Steps over the line terminator at `i` (CR LF, LF or a lone CR) and counts the line.
    auto skipTerminator = [&](size_t i) {
        ++number;
        return (text[i] == '\r' && i + 1 < size && text[i + 1] == '\n') ? i + 2 : i + 1;
    };
    while (position < size) {
        IniLine line;
        line.number = number;
        line.begin = position;
        size_t first = position;
        while (first < size && IsBlank(text[first])) ++first;
        const bool comment = first < size && (text[first] == ';' || text[first] == '#');
        bool inQuotes = false;
        size_t equals = std::string::npos;
        size_t commentStart = std::string::npos;
        size_t i = position;
        while (i < size) {
            const char c = text[i];
            if (c == '\n' || c == '\r') {
                if (comment || commentStart != std::string::npos || !inQuotes) break;
                i = skipTerminator(i);  // a newline inside quotes belongs to the value
                continue;
            }
            if (comment || commentStart != std::string::npos) {
                ++i;
                continue;
            }
            if (c == '\\') {
                ++i;
                if (i < size) i = (text[i] == '\n' || text[i] == '\r') ? skipTerminator(i) : i + 1;
                continue;
            }
            if (c == '"')
                inQuotes = !inQuotes;
            else if (c == '=' && !inQuotes && equals == std::string::npos)
                equals = i;
            else if (c == ';' && !inQuotes)
                commentStart = i;
            ++i;
        }
        line.end = i;
        line.contentEnd = commentStart != std::string::npos ? commentStart : i;
        line.next = i < size ? skipTerminator(i) : i;
        line.unclosedQuote = inQuotes;
        const std::string content = Trimmed(text, line.begin, line.contentEnd);
        if (comment) {
            line.kind = IniLine::Kind::Comment;
        } else if (content.empty()) {
            line.kind =
                commentStart != std::string::npos ? IniLine::Kind::Comment : IniLine::Kind::Blank;
        } else if (content[0] == '[') {
            line.kind = IniLine::Kind::Section;
            const size_t close = content.find(']');
            if (close == std::string::npos) line.problem = "section header without ']'";
            const std::string name =
                Trimmed(content, 1, close == std::string::npos ? content.size() : close);
            general = EqualsIgnoringCase(name, "general");
        } else if (equals != std::string::npos) {
            line.kind = IniLine::Kind::Entry;
            line.key = UnescapeKey(Trimmed(text, line.begin, equals));
            line.rawValue = text.substr(equals + 1, line.contentEnd - equals - 1);
            if (line.key.empty()) line.problem = "entry without a key";
        } else {
            line.kind = IniLine::Kind::Junk;
            line.problem = "line without '='";
        }
        line.general = general;
        lines.push_back(std::move(line));
        position = lines.back().next;
    }
    return lines;
}
