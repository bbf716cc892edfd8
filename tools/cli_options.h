// imgcast-cli's command line: the command (`send`, `get`, `preview`, `watch`, `journal`) first,
// then options in any order (GNU getopt_long: --opt=value or --opt value, -- ends the options).
// The station settings file gives the defaults that the options override.
#pragma once

#include <string>

#include "link/transfer_jobs.h"
#include "station/station_settings.h"

// Exit status for a command line that cannot be understood; apart from the TransferResult codes
// and 1 (a file or memory error) the only non-zero status.
inline constexpr int kUsageError = 64;

// The file types get writes, each through the library's saver of that format.
enum class PictureFileType { Bmp, Png, Jpeg, Tiff };

enum class CliCommand { Send, Get, Preview, Watch, Journal };

struct CliOptions {
    CliCommand command = CliCommand::Send;
    bool send = true;  // command is Send (or Watch, which sends)
    JobSettings settings;
    std::string host = "192.168.0.10";  // as given, for the journal; resolved into settings.address
    bool hostGiven = false;             // --host was given (settings.address is resolved)
    const char* file = nullptr;         // send, preview: the picture to load; watch: the folder
    const char* output = nullptr;       // get, preview: where to save; "-" for standard output
    PictureFileType outputType = PictureFileType::Bmp;
    bool verbose = false;
    bool paletteAlpha = false;  // send, preview, watch: palette/colour-key transparency as alpha
    bool keyFrame = false;      // preview --alpha: the key frame FMEM 2 would hold
    int journalCount = 10;      // journal -n N
};

// The defaults the station settings give: everything but the address, which is kept as text in
// options->host and resolved by ResolveSettingsHost when no --host was given.
void ApplyStationSettings(const StationSettings& station, CliOptions* options);

// Returns 0 when the command line was understood, -1 after --help or --version (printed to
// standard output), else the exit status after the error was written to standard error. Options
// replace what *options holds (the station settings' values).
int ParseCommandLine(int argc, char** argv, CliOptions* options);

// Resolves options->host (the settings file's Address) into options->settings.address as --host
// does, unless --host was given. Returns 0, or kUsageError after writing the reason to standard
// error.
int ResolveSettingsHost(CliOptions* options);

// The file type named by the extension of `path` (case-insensitive); false for other extensions.
bool FileTypeForPath(const char* path, PictureFileType* type);
