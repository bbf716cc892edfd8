// The transfer journal: every Send and Get, from the window and from imgcast-cli, appends one
// JSON line to $XDG_STATE_HOME/imgcast/transfers.log (default ~/.local/state/imgcast/...):
//
//   {"time":"2026-12-08T23:14:05.123Z","program":"imgcast-cli","peer":"127.0.0.1:2006",
//    "direction":"send","fmem":"1","file":"card.png","raster":"1920x1080","aspect":"Full",
//    "pair":false,"result":0,"message":"","bytes":4147200,"ms":42}
//
// (one line in the file). "fmem" is "1", "2" or "1+2" for a colour/alpha pair; "raster" is
// WIDTHxHEIGHT ("" when a Get received nothing); "aspect" is "Full" or "Keep" for a send and ""
// for a get. Strings are UTF-8: a byte that is not part of valid UTF-8 (a file name can hold
// anything) is written as U+FFFD; quotes, backslashes and control characters are escaped
// (\", \\, \n, \r, \t, else \u00XX).
//
// Appending never delays or fails a transfer: the file is opened with O_APPEND | O_NONBLOCK, the
// line goes out in one write() (so concurrent writers never interleave parts of lines), nothing
// is flushed to disk, and a journal that cannot be written is reported once per journal object.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct JournalEntry {
    int64_t timeMilliseconds = 0;  // since 1970-01-01 UTC; 0 means "now" when appended
    std::string program;           // "ImgCast" or "imgcast-cli"
    std::string host;              // as entered: dotted IPv4 or host name
    int port = 2006;
    bool send = true;  // "send" or "get"
    int fmem = 1;      // 1 or 2; a pair is FMEM 1 and 2 whatever this says
    bool pair = false;
    std::string file;  // the picture sent, or the file a Get saved to ("" when it saved none)
    int width = 0;     // raster; 0 × 0 when unknown
    int height = 0;
    bool keepAspect = false;   // a send's aspect mode
    int result = 0;            // the job's result code, 0 for success
    std::string message;       // the message shown ("" on success)
    int64_t bytes = 0;         // frame bytes moved
    int64_t milliseconds = 0;  // how long the transfer took
};

// $XDG_STATE_HOME/imgcast/transfers.log ("" when there is no home folder).
std::string JournalPath();

// Milliseconds since 1970-01-01 UTC, now.
int64_t JournalClockNow();

// The entry as one JSON object, without the newline.
std::string FormatJournalLine(const JournalEntry& entry);
// Reads a line written by FormatJournalLine back. Returns false for anything else (not JSON,
// missing fields, wrong types); unknown fields are ignored.
bool ParseJournalLine(const std::string& line, JournalEntry* entry);
// The entry for people, one line: "2026-12-08 23:14:05Z  send  FMEM 1  127.0.0.1:2006
// card.png  1920x1080 Full  ok  42 ms"; a failure shows "error 10: <message>" in place of "ok".
// Only the file's last path component is shown; control characters show as '?'.
std::string FormatJournalEntry(const JournalEntry& entry);

// One journal file. Safe to use from several threads (the window's worker, the CLI's loop).
class CTransferJournal {
  public:
    CTransferJournal();  // JournalPath()
    explicit CTransferJournal(std::string path);

    // Appends the entry, creating the file (0600) and its folder (0700) when missing. Returns
    // "" when the line was written, and also for every failure after the first; the first
    // failure returns the one text to show, e.g. "Transfer journal /x/transfers.log not written:
    // Is a directory". The transfer goes on either way.
    std::string Append(const JournalEntry& entry);

    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
    std::atomic<bool> m_reported{false};  // the first failure has been reported
};

// The last `count` well-formed entries of the journal, oldest first. The file is read backwards
// in blocks, so a huge journal costs only what the entries take; malformed lines are skipped.
// Returns 0; or 1 with the reason in *error when the file cannot be read (a missing journal is
// no entries, not an error).
int ReadLastJournalEntries(const std::string& path, int count, std::vector<JournalEntry>* entries,
                           std::string* error);

// What `imgcast-cli journal [-n N]` does: prints the last `count` entries of the journal at
// `path`, one per line, to `out`; a read failure goes to `errors`. Returns the exit status.
int PrintLastJournalEntries(const std::string& path, int count, FILE* out, FILE* errors);
