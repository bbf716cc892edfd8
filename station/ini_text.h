// The INI text as QSettings reads it, split into logical lines: shared by the settings parser and
// the writer, which rewrites single lines in place and keeps the rest of the text byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct IniLine {
    enum class Kind { Blank, Comment, Section, Entry, Junk };
    Kind kind = Kind::Blank;
    int number = 1;              // physical line (1-based) on which the logical line starts
    size_t begin = 0;            // first byte of the line
    size_t contentEnd = 0;       // where a trailing "; comment" starts, else `end`
    size_t end = 0;              // the line terminator (or the end of the text)
    size_t next = 0;             // the first byte after the terminator
    bool general = false;        // the line is in the [General] section (or before any section)
    bool unclosedQuote = false;  // a quote opened on this line is never closed
    std::string key;       // Entry: the key, unescaped as QSettings does (group parts with '/')
    std::string rawValue;  // Entry: the text between '=' and the end of the content
    std::string problem;   // Section or Junk: what is wrong with the line, if anything
};

// Splits `text` into logical lines. A line goes on past its end inside quotes or after a
// backslash; ';' outside quotes starts a comment; a line starting with '#' is a comment too. A
// UTF-8 byte order mark at the start is skipped.
std::vector<IniLine> ScanIniText(const std::string& text);
