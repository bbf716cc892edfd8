#include "tools/cli_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <getopt.h>

#ifndef IMGCAST_VERSION
#define IMGCAST_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: imgcast-cli send [--host HOST] [--port N] [--raster HD1080|HD720|SD480|SD576]\n"
    "                        [--keep] [--fmem 1|2] [--pair] [--palette-alpha] [--verify]\n"
    "                        [--timeout SECONDS] [--retry N] [--verbose] FILE\n"
    "       imgcast-cli get  [--host HOST] [--port N] [--fmem 1|2] [--timeout SECONDS]\n"
    "                        [--retry N] [--verbose] --output FILE\n"
    "       imgcast-cli preview [--raster R] [--keep] [--alpha] [--palette-alpha] FILE\n"
    "                        --output FILE\n"
    "       imgcast-cli watch [the options of send] DIR\n"
    "       imgcast-cli journal [-n N]\n"
    "       imgcast-cli --help | --version\n"
    "\n"
    "send     loads FILE (TIFF, JPEG, PNG, BMP or GIF), fits it to the raster and\n"
    "         writes it into a frame memory of the switcher.\n"
    "get      reads a frame memory of the switcher and saves it as a picture file.\n"
    "preview  saves the frame a send of FILE would leave in the frame memory (fitted,\n"
    "         through YCbCr 4:2:2 and back), or with --alpha the key frame FMEM 2 would\n"
    "         hold after --pair; no switcher is contacted.\n"
    "watch    sends every picture file that is written (and closed) or moved into DIR,\n"
    "         one line per file on standard output, until Ctrl-C or SIGTERM (status 0).\n"
    "journal  prints the last N transfers of the journal (default 10).\n"
    "\n"
    "  --host HOST        the switcher's IPv4 address A.B.C.D or a host name\n"
    "                     (default 192.168.0.10)\n"
    "  --port N           its TCP port (default 2006)\n"
    "  --raster NAME      HD1080 1920x1080 (default), HD720 1280x720, SD480 720x487,\n"
    "                     SD576 720x576\n"
    "  --keep             keep the aspect ratio, black bars around (default: stretch to fill)\n"
    "  --fmem 1|2         the frame memory (default 1)\n"
    "  --pair             send colour to FMEM 1 and alpha to FMEM 2 (the picture needs alpha)\n"
    "  --palette-alpha    take a PNG's tRNS transparency or a GIF's transparent colour as the\n"
    "                     picture's alpha (without it such a picture has none)\n"
    "  --verify           read each frame memory back after the write and compare it with\n"
    "                     the frame sent\n"
    "  --alpha            preview: save the key frame (the picture needs alpha)\n"
    "  --timeout SECONDS  give up connecting after this long, and fail a send or receive that\n"
    "                     makes no progress for this long (default 5 and 10)\n"
    "  --retry N          when the switcher is processing (80, 90), try the write or read\n"
    "                     again up to N times, waiting 200 ms, 400 ms, 800 ms ... at most 2 s\n"
    "                     in between (default 0: no retry)\n"
    "  --output FILE      where get and preview save the frame; the extension picks the\n"
    "                     format: .bmp (24-bit), .png, .jpg or .jpeg (quality 90), .tif or\n"
    "                     .tiff; - writes a BMP file to standard output\n"
    "  -n N               journal: how many entries to print\n"
    "  --verbose          write the resampler's trace lines and every retry to standard error\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "Options may also be written --option=value; -- ends the options.\n"
    "\n"
    "Defaults come from the station settings, $XDG_CONFIG_HOME/imgcast/imgcast.conf over\n"
    "imgcast/imgcast.conf in $XDG_CONFIG_DIRS (Address, Port, Raster, Aspect, Fmem,\n"
    "ConnectTimeout, IdleTimeout, Verify, Retry, PaletteAlpha); options beat the file.\n"
    "Every send and get is added to the journal $XDG_STATE_HOME/imgcast/transfers.log.\n"
    "\n"
    "Exit status: 0 on success; otherwise the job's message is written to standard error and\n"
    "the status is its result code: 2 socket init error, 3 server connect error, 4 size send\n"
    "error, 5 image send error, 6 qx700 recive error, 10 FMEM is empty, 11 FMEM read error,\n"
    "31 Memory allocation error, 80 and 90 qx700 is processing now!!, 100 recive data error,\n"
    "120 FMEM N does not hold the picture that was sent (--verify);\n"
    "1 for a file or memory error (a line before the message names the file and the reason),\n"
    "64 for a command line that cannot be understood or a host name that cannot be found.\n"
    "On a terminal, standard error shows the progress while a frame moves, and every retry.\n"
    "IMGCAST_PROFILE=1 in the environment prints the time of each stage to standard error.\n";

// Values of the long options that have no one-letter form.
enum OptionKey : int {
    kHost = 256,
    kPort,
    kRaster,
    kKeep,
    kFmem,
    kPair,
    kTimeout,
    kRetry,
    kOutput,
    kVerbose,
    kVersion,
    kVerify,
    kPaletteAlpha,
    kAlpha,
};

const option kOptions[] = {
    {"host", required_argument, nullptr, kHost},
    {"port", required_argument, nullptr, kPort},
    {"raster", required_argument, nullptr, kRaster},
    {"keep", no_argument, nullptr, kKeep},
    {"fmem", required_argument, nullptr, kFmem},
    {"pair", no_argument, nullptr, kPair},
    {"timeout", required_argument, nullptr, kTimeout},
    {"retry", required_argument, nullptr, kRetry},
    {"output", required_argument, nullptr, kOutput},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"verify", no_argument, nullptr, kVerify},
    {"palette-alpha", no_argument, nullptr, kPaletteAlpha},
    {"alpha", no_argument, nullptr, kAlpha},
    {nullptr, 0, nullptr, 0},
};
// A leading ':' makes getopt_long report a missing value as ':' and print nothing itself.
const char kShortOptions[] = ":hn:";

// The retry count is bounded so that a slip of the keyboard cannot make a job wait for days.
constexpr long kMostRetries = 1000;
// More journal entries than anyone reads on a terminal, but bounded.
constexpr long kMostJournalEntries = 1000000;

std::string OptionName(int key)
{
    for (const option& entry : kOptions) {
        if (entry.name != nullptr && entry.val == key) return std::string("--") + entry.name;
    }
    return std::string("-") + static_cast<char>(key);
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "imgcast-cli: %s\n(imgcast-cli --help explains the options)\n",
                 text.c_str());
    return kUsageError;
}

int PrintUsage()
{
    std::fputs(kUsage, stdout);
    return -1;
}

int PrintVersion()
{
    std::fputs("imgcast-cli " IMGCAST_VERSION "\n", stdout);
    return -1;
}

bool ParseWholeNumber(const char* text, long lowest, long highest, long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && *value >= lowest && *value <= highest;
}

// A dotted address A.B.C.D, or a name that resolves to an IPv4 address; the first address wins.
// Texts of digits and dots only are addresses: "192.168.0" is refused, not read as 192.168.0.0.
bool ResolveHost(const char* text, std::array<uint8_t, 4>* address, std::string* problem)
{
    in_addr numeric{};
    if (::inet_pton(AF_INET, text, &numeric) == 1) {
        std::memcpy(address->data(), &numeric.s_addr, 4);  // network order: a.b.c.d
        return true;
    }
    if (*text == '\0') {
        *problem = "--host needs an IPv4 address or a host name";
        return false;
    }
    if (std::strspn(text, "0123456789.") == std::strlen(text)) {
        *problem = std::string(text) + " is not an IPv4 address A.B.C.D";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(text, nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        *problem = std::string("cannot find host ") + text + ": " +
                   (status != 0 ? ::gai_strerror(status) : "no IPv4 address");
        return false;
    }
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(address->data(), &ipv4->sin_addr.s_addr, 4);
    ::freeaddrinfo(found);
    return true;
}

// getopt_long takes any unambiguous abbreviation of a long option; an unknown one may be a
// prefix of several.
std::string DescribeUnknownOption(const std::string& text, const std::string& command)
{
    const std::string name = text.substr(0, text.find('='));
    std::string candidates;
    int count = 0;
    for (const option& entry : kOptions) {
        if (entry.name == nullptr || name.size() < 3 || name.compare(0, 2, "--") != 0) continue;
        if (std::strncmp(entry.name, name.c_str() + 2, name.size() - 2) != 0) continue;
        candidates += std::string(count++ == 0 ? "" : ", ") + "--" + entry.name;
    }
    if (count > 1) return name + " is ambiguous (" + candidates + ")";
    return name + " is not an option of " + command;
}

// Options that only some commands take.
bool BelongsToCommand(int key, CliCommand command)
{
    const bool sends = command == CliCommand::Send || command == CliCommand::Watch;
    switch (key) {
        case kHost:
        case kPort:
        case kFmem:
        case kTimeout:
        case kRetry:
            return sends || command == CliCommand::Get;
        case kRaster:
        case kKeep:
        case kPaletteAlpha:
            return sends || command == CliCommand::Preview;
        case kPair:
        case kVerify:
            return sends;
        case kAlpha:
            return command == CliCommand::Preview;
        case kOutput:
            return command == CliCommand::Get || command == CliCommand::Preview;
        case 'n':
            return command == CliCommand::Journal;
        case kVerbose:
            return command != CliCommand::Journal;
        default:
            return true;
    }
}

// Applies one option with its value (null for options without one); returns 0 or the exit status.
int ApplyOption(int key, const char* value, CliOptions* options)
{
    JobSettings& settings = options->settings;
    long number = 0;
    std::string problem;
    switch (key) {
        case kHost:
            if (!ResolveHost(value, &settings.address, &problem)) return UsageError(problem);
            options->host = value;
            options->hostGiven = true;
            return 0;
        case kPort:
            if (!ParseWholeNumber(value, 1, 65535, &number))
                return UsageError(std::string(value) + " is not a port number 1 to 65535");
            settings.link.port = static_cast<uint16_t>(number);
            return 0;
        case kRaster: {
            const std::string name = value;
            if (name == "HD1080")
                settings.raster = OutputRaster::HD1080;
            else if (name == "HD720")
                settings.raster = OutputRaster::HD720;
            else if (name == "SD480")
                settings.raster = OutputRaster::SD480;
            else if (name == "SD576")
                settings.raster = OutputRaster::SD576;
            else
                return UsageError("unknown raster " + name + " (HD1080, HD720, SD480, SD576)");
            return 0;
        }
        case kKeep:
            settings.aspect = AspectMode::Keep;
            return 0;
        case kPair:
            settings.rgbaPair = true;
            return 0;
        case kFmem:
            if (std::strcmp(value, "1") != 0 && std::strcmp(value, "2") != 0)
                return UsageError(std::string("--fmem takes 1 or 2, not ") + value);
            settings.fmem1 = value[0] == '1';
            return 0;
        case kTimeout: {
            char* end = nullptr;
            const double seconds = std::strtod(value, &end);
            if (*value == '\0' || *end != '\0' || !(seconds > 0) || seconds > 86400)
                return UsageError(std::string(value) + " is not a time in seconds");
            const int milliseconds = std::max(1, static_cast<int>(seconds * 1000 + 0.5));
            settings.link.connectTimeoutMs = milliseconds;
            settings.link.idleTimeoutMs = milliseconds;
            return 0;
        }
        case kRetry:
            if (!ParseWholeNumber(value, 0, kMostRetries, &number)) {
                return UsageError(std::string("--retry takes a count 0 to ") +
                                  std::to_string(kMostRetries) + ", not " + value);
            }
            settings.busyRetry.retries = static_cast<int>(number);
            return 0;
        case kOutput:
            if (std::strcmp(value, "-") != 0 && !FileTypeForPath(value, &options->outputType)) {
                return UsageError(std::string("cannot tell the format of ") + value +
                                  " (.bmp, .png, .jpg, .jpeg, .tif, .tiff; - for BMP on "
                                  "standard output)");
            }
            if (std::strcmp(value, "-") == 0) options->outputType = PictureFileType::Bmp;
            options->output = value;
            return 0;
        case kVerbose:
            options->verbose = true;
            return 0;
        case kVerify:
            settings.verify = true;
            return 0;
        case kPaletteAlpha:
            options->paletteAlpha = true;
            return 0;
        case kAlpha:
            options->keyFrame = true;
            return 0;
        case 'n':
            if (!ParseWholeNumber(value, 1, kMostJournalEntries, &number)) {
                return UsageError(std::string("-n takes a count 1 to ") +
                                  std::to_string(kMostJournalEntries) + ", not " + value);
            }
            options->journalCount = static_cast<int>(number);
            return 0;
        default:
            return UsageError("unhandled option " + OptionName(key));
    }
}

// Top level: only --help and --version come before the command.
int ParseTopLevel(int argc, char** argv)
{
    ::opterr = 0;
    ::optind = 1;
    int key = ::getopt_long(argc, argv, kShortOptions, kOptions, nullptr);
    if (key == 'h') return PrintUsage();
    if (key == kVersion) return PrintVersion();
    return UsageError("a command (send, get, preview, watch, journal) expected before the options");
}

}  // namespace

bool FileTypeForPath(const char* path, PictureFileType* type)
{
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".bmp")
        *type = PictureFileType::Bmp;
    else if (extension == ".png")
        *type = PictureFileType::Png;
    else if (extension == ".jpg" || extension == ".jpeg")
        *type = PictureFileType::Jpeg;
    else if (extension == ".tif" || extension == ".tiff")
        *type = PictureFileType::Tiff;
    else
        return false;
    return true;
}

void ApplyStationSettings(const StationSettings& station, CliOptions* options)
{
    JobSettings& settings = options->settings;
    options->host = station.address;
    switch (station.raster) {
        case StationRaster::HD1080:
            settings.raster = OutputRaster::HD1080;
            break;
        case StationRaster::HD720:
            settings.raster = OutputRaster::HD720;
            break;
        case StationRaster::SD480:
            settings.raster = OutputRaster::SD480;
            break;
        case StationRaster::SD576:
            settings.raster = OutputRaster::SD576;
            break;
    }
    settings.aspect = station.keepAspect ? AspectMode::Keep : AspectMode::Full;
    settings.fmem1 = station.fmem != 2;
    settings.link.port = static_cast<uint16_t>(station.port);
    settings.link.connectTimeoutMs =
        std::max(1, static_cast<int>(station.connectTimeoutSeconds * 1000 + 0.5));
    settings.link.idleTimeoutMs =
        std::max(1, static_cast<int>(station.idleTimeoutSeconds * 1000 + 0.5));
    settings.verify = station.verify;
    settings.busyRetry.retries = station.retry;
    options->paletteAlpha = station.paletteAlpha;
}

int ResolveSettingsHost(CliOptions* options)
{
    if (options->hostGiven) return 0;
    std::string problem;
    if (!ResolveHost(options->host.c_str(), &options->settings.address, &problem)) {
        std::fprintf(stderr, "imgcast-cli: Address of the settings file: %s\n", problem.c_str());
        return kUsageError;
    }
    return 0;
}

int ParseCommandLine(int argc, char** argv, CliOptions* options)
{
    if (argc < 2) return UsageError("a command expected: send, get, preview, watch or journal");
    const std::string command = argv[1];
    if (command == "help") return PrintUsage();
    if (!command.empty() && command[0] == '-') return ParseTopLevel(argc, argv);
    if (command == "send")
        options->command = CliCommand::Send;
    else if (command == "get")
        options->command = CliCommand::Get;
    else if (command == "preview")
        options->command = CliCommand::Preview;
    else if (command == "watch")
        options->command = CliCommand::Watch;
    else if (command == "journal")
        options->command = CliCommand::Journal;
    else
        return UsageError("unknown command " + command);
    const CliCommand chosen = options->command;
    options->send = chosen == CliCommand::Send || chosen == CliCommand::Watch;
    // One operand: the picture of send and preview, the folder of watch.
    const bool takesFile = chosen != CliCommand::Get && chosen != CliCommand::Journal;

    // The command takes the place of the program name, so getopt_long starts after it. It moves
    // the operands behind the options, so they may come anywhere.
    const int count = argc - 1;
    char** arguments = argv + 1;
    ::opterr = 0;
    ::optind = 1;
    for (;;) {
        const int key = ::getopt_long(count, arguments, kShortOptions, kOptions, nullptr);
        if (key == -1) break;
        if (key == 'h') return PrintUsage();
        if (key == kVersion) return PrintVersion();
        if (key == ':') return UsageError(OptionName(::optopt) + " needs a value");
        if (key == '?') {
            if (::optopt >= kHost) return UsageError(OptionName(::optopt) + " takes no value");
            if (::optopt != 0)
                return UsageError(OptionName(::optopt) + " is not an option of " + command);
            return UsageError(DescribeUnknownOption(arguments[::optind - 1], command));
        }
        if (!BelongsToCommand(key, chosen))
            return UsageError(OptionName(key) + " is not an option of " + command);
        if (const int status = ApplyOption(key, ::optarg, options); status != 0) return status;
    }

    for (int i = ::optind; i < count; ++i) {
        if (takesFile && options->file == nullptr) {
            options->file = arguments[i];
            continue;
        }
        return UsageError(std::string("unexpected argument ") + arguments[i]);
    }
    if (chosen == CliCommand::Send && options->file == nullptr)
        return UsageError("send needs a picture FILE");
    if (chosen == CliCommand::Preview && options->file == nullptr)
        return UsageError("preview needs a picture FILE");
    if (chosen == CliCommand::Watch && options->file == nullptr)
        return UsageError("watch needs a folder DIR");
    const bool saves = chosen == CliCommand::Get || chosen == CliCommand::Preview;
    if (saves && options->output == nullptr) return UsageError(command + " needs --output FILE");
    if (saves && std::strcmp(options->output, "-") == 0 && ::isatty(STDOUT_FILENO) == 1)
        return UsageError("--output - writes a BMP file: send standard output to a file or pipe");
    return 0;
}
