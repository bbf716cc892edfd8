// The station settings: one INI file per user, $XDG_CONFIG_HOME/imgcast/imgcast.conf (default
// ~/.config/imgcast/imgcast.conf), over the system-wide imgcast/imgcast.conf in each folder of
// $XDG_CONFIG_DIRS (default /etc/xdg). The window reads and writes the same file through
// QSettings (IniFormat), so this parser reads what QSettings writes and the writer writes what it
// reads: keys in [General] (or before any section), values quoted and escaped as QSettings does.
//
// Precedence: a value in the user file beats the system files (the first folder of
// $XDG_CONFIG_DIRS beats the later ones); command-line options, applied by the caller to the
// loaded settings, beat both. Nothing here stops the program: a missing file gives the defaults,
// and a malformed file, line or value is reported once as a SettingsProblem while that value
// keeps what it had without the line (the system file's value, else the default).
//
// From a command-line tool:
//   std::vector<SettingsProblem> problems;
//   StationSettings settings = LoadStationSettings(&problems);
//   for (const SettingsProblem& problem : problems)
//       std::fprintf(stderr, "imgcast-cli: %s\n", FormatSettingsProblem(problem).c_str());
//   if (portOption) settings.port = *portOption;  // options beat the files
// A window shows the same texts once at start (a status line or one message box) and, with
// RememberLast set, calls SaveRememberedSettings when it closes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The four rasters, named as the switcher's formats.
enum class StationRaster { HD1080, HD720, SD480, SD576 };

struct StationSettings {
    std::string address = "192.168.0.10";          // Address: dotted IPv4 or a host name
    StationRaster raster = StationRaster::HD1080;  // Raster: 1920x1080 (or HD1080), 1280x720, ...
    bool keepAspect = false;                       // Aspect: Full (false) or Keep (true)
    int fmem = 1;                                  // Fmem: 1 or 2
    int port = 2006;                               // Port: 1 to 65535
    double connectTimeoutSeconds = 5;              // ConnectTimeout: seconds, above 0
    double idleTimeoutSeconds = 10;                // IdleTimeout: seconds, above 0
    bool rememberLast = false;                     // RememberLast: true or false
    std::string lastImageFolder;                   // LastImageFolder
    std::string lastSaveFolder;                    // LastSaveFolder
    bool verify = false;                           // Verify: true or false
    int retry = 0;                                 // Retry: 0 to 20
    bool paletteAlpha = false;                     // PaletteAlpha: true or false
};

struct SettingsProblem {
    std::string file;
    int line = 0;          // 1-based; 0 when the problem is the file as a whole
    std::string what;      // "Port: \"70000\" is not a port number (1 to 65535)"
    bool warning = false;  // an unknown key: reported, nothing was lost
};

// "FILE:LINE: warning: WHAT" or "FILE:LINE: WHAT" (no line part when line is 0), no newline.
std::string FormatSettingsProblem(const SettingsProblem& problem);

// The user file ("" when there is no home folder) and the system files, most important first.
std::string UserSettingsPath();
std::vector<std::string> SystemSettingsPaths();

// The defaults, then every system file, then the user file. Missing files are skipped silently;
// anything else that is wrong goes to *problems (may be null), in file and line order.
StationSettings LoadStationSettings(std::vector<SettingsProblem>* problems);

// Applies the keys of one INI text to *into: valid values replace what is there, and each
// problem is appended to *problems (may be null) with `fileName` and its line. Keys outside
// [General] belong to others and are ignored; unknown keys inside it are warnings.
void ParseStationSettings(const std::string& text, const std::string& fileName,
                          StationSettings* into, std::vector<SettingsProblem>* problems);

// Reads one file into *into as ParseStationSettings does. A missing file changes nothing and is
// not a problem; an unreadable, oversized, non-regular or binary file is one problem.
void LoadStationSettingsFile(const std::string& path, StationSettings* into,
                             std::vector<SettingsProblem>* problems);

// The four bytes of a dotted IPv4 address ("192.168.0.10"); false for a host name, which the
// caller resolves, or anything else.
bool ParseDottedIpv4(const std::string& address, std::array<uint8_t, 4>* bytes);

// How a raster ("1920x1080") and a time in seconds ("2.5", shortest exact form) are written.
const char* RasterSettingText(StationRaster raster);
std::string FormatSettingSeconds(double seconds);

// Writes the remembered values (Address, Raster, Aspect, Fmem, LastImageFolder,
// LastSaveFolder) into the user file, creating it and its folder (0700) when missing. An
// Address that is not a valid one is not written (the file keeps its own). Only those keys'
// lines are rewritten; every other line, comment and section is kept as it was. The file
// is replaced atomically (a temporary file beside it, flushed, then renamed over it; a symbolic
// link is followed, not replaced). Returns true, or false with the reason in *error (may be
// null); the old file is then untouched.
bool SaveRememberedSettings(const StationSettings& settings, std::string* error);
// The same into a given file (tests, or a caller with its own path).
bool SaveRememberedSettingsTo(const std::string& path, const StationSettings& settings,
                              std::string* error);

// QSettings' reading of one INI value (quotes, backslash escapes, \xHHHH as UTF-16 units written
// out as UTF-8, trimmed unquoted spaces). Returns false when the value is a list (an unquoted
// comma), whose items then are in *items. Exposed for the tests.
bool UnescapeIniValue(const std::string& raw, std::string* value, std::vector<std::string>* items);
// QSettings' writing of one string value: the reverse of UnescapeIniValue.
std::string EscapeIniValue(const std::string& value);
