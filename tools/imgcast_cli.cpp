// imgcast-cli: the window's Send and Get from a shell. It binds ImgPort and runs the same picture
// state and transfer jobs as the window: the job runs on a worker thread while the main thread
// plays the progress window (a progress line on a terminal) until the completion event arrives.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <unistd.h>

#include "picture/picture.h"
#include "link/progress.h"
#include "link/transfer_jobs.h"

namespace {

// Exit status for a command line that cannot be understood; apart from the TransferResult codes
// and 1 (a file or memory error) the only non-zero status.
constexpr int kUsageError = 64;

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char kUsage[] =
    "usage: imgcast-cli send [--host A.B.C.D] [--port N] [--raster HD1080|HD720|SD480|SD576]\n"
    "                        [--keep] [--fmem 1|2] [--pair] [--timeout SECONDS] FILE\n"
    "       imgcast-cli get  [--host A.B.C.D] [--port N] [--fmem 1|2] [--timeout SECONDS]\n"
    "                        --output FILE.bmp\n"
    "\n"
    "send  loads FILE (TIFF, JPEG, PNG, BMP or GIF), fits it to the raster and\n"
    "      writes it into a frame memory of the switcher.\n"
    "get   reads a frame memory of the switcher and saves it as a 24-bit BMP file.\n"
    "\n"
    "  --host A.B.C.D     the switcher's IPv4 address (default 192.168.0.10)\n"
    "  --port N           its TCP port (default 2006)\n"
    "  --raster NAME      HD1080 1920x1080 (default), HD720 1280x720, SD480 720x487,\n"
    "                     SD576 720x576\n"
    "  --keep             keep the aspect ratio, black bars around (default: stretch to fill)\n"
    "  --fmem 1|2         the frame memory (default 1)\n"
    "  --pair             send colour to FMEM 1 and alpha to FMEM 2 (the picture needs alpha)\n"
    "  --timeout SECONDS  give up connecting after this long, and fail a send or receive that\n"
    "                     makes no progress for this long (default 5 and 10)\n"
    "  --output FILE.bmp  where get saves the frame\n"
    "\n"
    "Exit status: 0 on success; otherwise the job's message is written to standard error and\n"
    "the status is its result code: 2 socket init error, 3 server connect error, 4 size send\n"
    "error, 5 image send error, 6 qx700 recive error, 10 FMEM is empty, 11 FMEM read error,\n"
    "31 Memory allocation error, 80 and 90 qx700 is processing now!!, 100 recive data error;\n"
    "1 for a file or memory error, 64 for a command line that cannot be understood.\n"
    "On a terminal, standard error shows the progress while a frame moves.\n"
    "IMGCAST_PROFILE=1 in the environment prints the time of each stage to standard error.\n";

struct CliOptions {
    bool send = true;
    JobSettings settings;
    const char* file = nullptr;
    const char* output = nullptr;
};

int UsageError(const char* format, const char* what)
{
    std::fprintf(stderr, "imgcast-cli: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\n(imgcast-cli --help explains the options)\n");
    return kUsageError;
}

// Returns 0 when the command line was understood, -1 after --help, else the exit status.
int ParseCommandLine(int argc, char** argv, CliOptions* options)
{
    if (argc < 2) return UsageError("%s", "send or get expected");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return -1;
    }
    if (command != "send" && command != "get") return UsageError("unknown command %s", argv[1]);
    options->send = command == "send";
    JobSettings& settings = options->settings;

    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const bool takesValue = option == "--host" || option == "--port" || option == "--raster" ||
                                option == "--fmem" || option == "--timeout" || option == "--output";
        if (takesValue && value == nullptr) return UsageError("%s needs a value", option.c_str());
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (option == "--host") {
            in_addr address{};
            if (::inet_pton(AF_INET, value, &address) != 1)
                return UsageError("%s is not an IPv4 address A.B.C.D", value);
            std::memcpy(settings.address.data(), &address.s_addr, 4);  // network order: a.b.c.d
        } else if (option == "--port") {
            char* end = nullptr;
            long port = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || port < 1 || port > 65535)
                return UsageError("%s is not a port number 1 to 65535", value);
            settings.link.port = static_cast<uint16_t>(port);
        } else if (option == "--raster" && options->send) {
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
                return UsageError("unknown raster %s (HD1080, HD720, SD480, SD576)", value);
        } else if (option == "--keep" && options->send) {
            settings.aspect = AspectMode::Keep;
            continue;
        } else if (option == "--pair" && options->send) {
            settings.rgbaPair = true;
            continue;
        } else if (option == "--fmem") {
            if (std::strcmp(value, "1") != 0 && std::strcmp(value, "2") != 0)
                return UsageError("--fmem takes 1 or 2, not %s", value);
            settings.fmem1 = value[0] == '1';
        } else if (option == "--timeout") {
            char* end = nullptr;
            double seconds = std::strtod(value, &end);
            if (*value == '\0' || *end != '\0' || !(seconds > 0) || seconds > 86400)
                return UsageError("%s is not a time in seconds", value);
            const int milliseconds = std::max(1, static_cast<int>(seconds * 1000 + 0.5));
            settings.link.connectTimeoutMs = milliseconds;
            settings.link.idleTimeoutMs = milliseconds;
        } else if (option == "--output" && !options->send) {
            options->output = value;
        } else if (option.size() > 1 && option[0] == '-') {
            return UsageError("%s is not an option of this command", option.c_str());
        } else if (options->send && options->file == nullptr) {
            options->file = argv[i];
            continue;
        } else {
            return UsageError("unexpected argument %s", argv[i]);
        }
        ++i;  // the option's value
    }
    if (options->send && options->file == nullptr)
        return UsageError("%s", "send needs a picture FILE");
    if (!options->send && options->output == nullptr)
        return UsageError("%s", "get needs --output FILE.bmp");
    return 0;
}

// Standard error is shared by the job's messages (worker thread) and the progress line (main
// thread); the lock keeps a message from landing inside a progress line.
class CCliHost final : public JobHost {
  public:
    explicit CCliHost(bool showProgress)
        : m_showProgress(showProgress)
    {
    }

    void ShowMessage(const char* text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        EndProgressLine();
        std::fprintf(stderr, "%s\n", text);
    }

    void InstallReceivedPicture(std::shared_ptr<const Picture> picture) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_picture = std::move(picture);
    }

    void ShowProgress()
    {
        if (!m_showProgress) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string text =
            ComposeProgressText(g_progressDirection, g_progressDone, g_progressTotal);
        std::fprintf(stderr, "\r%-34s", text.c_str());
        m_progressShown = true;
    }

    void FinishProgress()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        EndProgressLine();
    }

    std::shared_ptr<const Picture> TakePicture()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_picture);
    }

  private:
    void EndProgressLine()
    {
        if (m_progressShown) std::fputc('\n', stderr);
        m_progressShown = false;
    }

    std::mutex m_mutex;
    const bool m_showProgress;
    bool m_progressShown = false;
    std::shared_ptr<const Picture> m_picture;
};

// Runs one job on a worker thread and follows it like the progress window: a tick every 200 ms
// until the completion event is set.
template <typename Work>
void RunJobWithProgress(CCliHost& host, Work work)
{
    std::shared_ptr<CAutoResetEvent> completion = CreateNamedEvent(kCompletionEventName);
    std::thread worker(work);
    host.ShowProgress();
    while (!completion->Wait(200)) host.ShowProgress();
    worker.join();
    host.ShowProgress();  // the last tick still shows where the job ended
    host.FinishProgress();
}

}  // namespace

int main(int argc, char** argv)
{
    const Clock::time_point start = Clock::now();
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    const int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    const char* profileSetting = std::getenv("IMGCAST_PROFILE");
    const bool profile = profileSetting != nullptr && *profileSetting != '\0' &&
                         std::strcmp(profileSetting, "0") != 0;

    Clock::time_point stage = Clock::now();
    ImgPortApi api;
    if (BindImgPort(&api) != BindResult::Bound) {
        std::fputs(kCannotLoadImgPort, stderr);
        return 1;
    }
    const double bindMs = MillisecondsSince(stage);

    CCliHost host(::isatty(STDERR_FILENO) == 1);
    CTransferJob job(options.settings, host);
    g_progressTotal = -1;
    g_progressDone = 0;

    if (options.send) {
        stage = Clock::now();
        std::shared_ptr<const Picture> picture;
        if (LoadPicture(api, options.file, &picture) != 0) {
            std::fprintf(stderr, "File read error!!\n");
            return 1;
        }
        const double loadMs = MillisecondsSince(stage);
        // A pair is refused before anything is sent, as the window never offers it for a
        // picture without alpha.
        if (options.settings.rgbaPair && !picture->HasAlpha()) {
            std::fprintf(stderr, "%s\n", kNoAlphaForPair);
            return 1;
        }
        g_progressDirection = 1;
        RunJobWithProgress(host, [&] { job.RunSendJob(picture); });
        if (profile) {
            std::fprintf(stderr,
                         "profile: bind %.2f ms, load %.2f ms, fit %.2f ms, encode %.2f ms, "
                         "transfer %.2f ms, total %.2f ms\n",
                         bindMs, loadMs, job.m_times.fit, job.m_times.encode, job.m_times.transfer,
                         MillisecondsSince(start));
        }
        return job.m_result;
    }

    g_progressDirection = 0;
    RunJobWithProgress(host, [&] { job.RunReceiveJob(); });
    if (job.m_result != 0) return job.m_result;
    std::shared_ptr<const Picture> picture = host.TakePicture();
    stage = Clock::now();
    if (!picture || SavePictureBmp(api, *picture, options.output) != 0) {
        std::fprintf(stderr, "Cannot write %s\n", options.output);
        return 1;
    }
    if (profile) {
        std::fprintf(stderr,
                     "profile: bind %.2f ms, transfer %.2f ms, decode %.2f ms, save %.2f ms, "
                     "total %.2f ms\n",
                     bindMs, job.m_times.transfer, job.m_times.decode, MillisecondsSince(stage),
                     MillisecondsSince(start));
    }
    return 0;
}
