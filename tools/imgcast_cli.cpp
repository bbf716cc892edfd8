// imgcast-cli: the window's Send and Get from a shell, a preview of what a send leaves in the
// frame memory, a hot folder that sends what is dropped into it, and the transfer journal. It
// binds ImgPort and runs the same picture state and transfer jobs as the window: the job runs on
// a worker thread while the main thread plays the progress window (a progress line on a
// terminal) until the completion event arrives. The command line is read in cli_options.cpp,
// files are saved in cli_files.cpp; defaults come from the station settings file.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "frame/frame.h"
#include "link/progress.h"
#include "link/transfer_jobs.h"
#include "picture/as_sent.h"
#include "picture/palette_alpha.h"
#include "picture/picture.h"
#include "station/station_settings.h"
#include "station/transfer_journal.h"
#include "tools/cli_files.h"
#include "tools/cli_options.h"
#include "tools/hot_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Standard error is shared by the job's messages and retry lines (worker thread) and the progress
// line (main thread); the lock keeps a message from landing inside a progress line.
class CCliHost final : public JobHost {
  public:
    CCliHost(bool showProgress, bool showRetries)
        : m_showProgress(showProgress)
        , m_showRetries(showRetries)
    {
    }

    void ShowMessage(const char* text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        EndProgressLine();
        std::fprintf(stderr, "%s\n", text);
        m_message = text;
    }

    // The last message shown since the last call; "" when none.
    std::string TakeMessage()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_message, std::string());
    }

    void InstallReceivedPicture(std::shared_ptr<const Picture> picture) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_picture = std::move(picture);
    }

    // Called on the worker before a write or read that was answered "processing" is tried again.
    void AnnounceRetry(int retry, int retries, int waitMs, int result)
    {
        if (!m_showRetries) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        EndProgressLine();
        const char* text = result == kReadBusy ? ReceiveJobText(result) : SendJobText(result);
        std::fprintf(stderr, "imgcast-cli: %s (%d); try %d of %d in %d ms\n", text, result,
                     retry + 1, retries + 1, waitMs);
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
    const bool m_showRetries;
    bool m_progressShown = false;
    std::shared_ptr<const Picture> m_picture;
    std::string m_message;
};

// Runs one job on a worker thread and follows it like the progress window: a tick every 200 ms
// until the completion event is set.
template <typename Work>
void RunJobWithProgress(CCliHost& host, Work work)
{
    std::shared_ptr<CAutoResetEvent> completion = CreateNamedEvent(kCompletionEventName);
    std::thread worker;
    {
        // The worker and the threads it starts keep the stop signals blocked, so they reach only
        // the main thread, which holds them back while it saves a file.
        CStopSignalsHeld held;
        worker = std::thread(work);
    }
    host.ShowProgress();
    while (!completion->Wait(200)) host.ShowProgress();
    worker.join();
    host.ShowProgress();  // the last tick still shows where the job ended
    host.FinishProgress();
}

// The line before a file error's message: "imgcast-cli: card.png: no such file".
void ReportFileProblem(const char* file, const std::string& reason)
{
    std::fprintf(stderr, "imgcast-cli: %s: %s\n", file, reason.c_str());
}

// What one run of the program shares between its commands.
struct CliRun {
    CliOptions options;
    ImgPortApi api;
    bool profile = false;
    double bindMs = 0;
    Clock::time_point start;
    CTransferJournal journal;
};

// Appends the entry; a journal that cannot be written is reported once and changes nothing else.
void WriteJournal(CliRun& run, JournalEntry entry)
{
    entry.program = "imgcast-cli";
    entry.host = run.options.host;
    entry.port = run.options.settings.link.port;
    const std::string problem = run.journal.Append(entry);
    if (!problem.empty()) std::fprintf(stderr, "imgcast-cli: %s\n", problem.c_str());
}

// The journal entry of a send with the run's settings, before its outcome is known.
JournalEntry SendEntry(const CliRun& run, const std::string& file)
{
    const JobSettings& settings = run.options.settings;
    const RasterSize raster = RasterDimensions(settings.raster);
    JournalEntry entry;
    entry.send = true;
    entry.fmem = settings.fmem1 ? 1 : 2;
    entry.pair = settings.rgbaPair;
    entry.file = file;
    entry.width = raster.width;
    entry.height = raster.height;
    entry.keepAspect = settings.aspect == AspectMode::Keep;
    return entry;
}

// Loads the picture at `path` for a send or a preview, with palette transparency as alpha when
// asked. Returns 0, or 1 after the file's problem and "File read error!!" were written.
int LoadForSending(const CliRun& run, const char* path, std::shared_ptr<const Picture>* picture)
{
    if (LoadPicture(run.api, path, picture) != 0) {
        ReportFileProblem(path, DescribeLoadFailure(path));
        std::fprintf(stderr, "File read error!!\n");
        return 1;
    }
    if (run.options.paletteAlpha) {
        std::shared_ptr<const Picture> withAlpha;
        const int added = AddPaletteAlpha(path, **picture, &withAlpha);
        if (added == kPaletteAlphaAdded)
            *picture = std::move(withAlpha);
        else
            ReportFileProblem(path, PaletteAlphaText(added));
    }
    return 0;
}

// One send of the picture at `path`, journalled. Returns the exit status; *message is the text
// shown for a failure.
int SendOne(CliRun& run, const char* path, std::string* message)
{
    const Clock::time_point begin = Clock::now();
    JournalEntry entry = SendEntry(run, path);
    const auto finish = [&](int result, const std::string& text) {
        entry.result = result;
        entry.message = text;
        entry.milliseconds = static_cast<int64_t>(MillisecondsSince(begin) + 0.5);
        WriteJournal(run, entry);
        *message = text;
        return result;
    };

    std::shared_ptr<const Picture> picture;
    if (LoadForSending(run, path, &picture) != 0) return finish(1, "File read error!!");
    const double loadMs = MillisecondsSince(begin);
    // A pair is refused before anything is sent, as the window never offers it for a picture
    // without alpha.
    if (run.options.settings.rgbaPair && !picture->HasAlpha()) {
        std::fprintf(stderr, "%s\n", kNoAlphaForPair);
        return finish(1, kNoAlphaForPair);
    }

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    CCliHost host(terminal, terminal || run.options.verbose);
    JobSettings settings = run.options.settings;
    settings.busyRetry.announce = [&host](int retry, int retries, int waitMs, int result) {
        host.AnnounceRetry(retry, retries, waitMs, result);
    };
    CTransferJob job(settings, host);
    g_progressTotal = -1;
    g_progressDone = 0;
    g_progressDirection = 1;
    RunJobWithProgress(host, [&] { job.RunSendJob(picture); });
    if (run.profile) {
        std::fprintf(stderr,
                     "profile: bind %.2f ms, load %.2f ms, fit %.2f ms, encode %.2f ms, "
                     "transfer %.2f ms, total %.2f ms\n",
                     run.bindMs, loadMs, job.m_times.fit, job.m_times.encode, job.m_times.transfer,
                     MillisecondsSince(run.start));
    }
    // A send that failed moved the frames before the failing one and part of that one; a failed
    // verification moved them all.
    const int64_t frameBytes = static_cast<int64_t>(entry.width) * entry.height * 2;
    const int passes = settings.rgbaPair ? 2 : 1;
    if (job.m_result == 0 || job.m_result == kVerifyFailed)
        entry.bytes = frameBytes * passes;
    else
        entry.bytes = std::max<int64_t>(0, g_progressDone.load());
    return finish(job.m_result, job.m_result == 0 ? std::string() : host.TakeMessage());
}

int RunGet(CliRun& run)
{
    const CliOptions& options = run.options;
    const Clock::time_point begin = Clock::now();
    JournalEntry entry;
    entry.send = false;
    entry.fmem = options.settings.fmem1 ? 1 : 2;

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    CCliHost host(terminal, terminal || options.verbose);
    JobSettings settings = options.settings;
    settings.busyRetry.announce = [&host](int retry, int retries, int waitMs, int result) {
        host.AnnounceRetry(retry, retries, waitMs, result);
    };
    CTransferJob job(settings, host);
    g_progressTotal = -1;
    g_progressDone = 0;
    g_progressDirection = 0;
    RunJobWithProgress(host, [&] { job.RunReceiveJob(); });
    const auto finish = [&](int result, const std::string& text) {
        entry.result = result;
        entry.message = text;
        entry.milliseconds = static_cast<int64_t>(MillisecondsSince(begin) + 0.5);
        WriteJournal(run, entry);
        return result;
    };
    if (job.m_result != 0) {
        entry.bytes = std::max<int64_t>(0, g_progressDone.load());
        return finish(job.m_result, host.TakeMessage());
    }
    std::shared_ptr<const Picture> picture = host.TakePicture();
    if (picture) {
        entry.width = picture->width;
        entry.height = picture->height;
        entry.bytes = static_cast<int64_t>(picture->width) * picture->height * 2;
    }
    const Clock::time_point stage = Clock::now();
    const bool toStandardOutput = std::strcmp(options.output, "-") == 0;
    std::string reason = "no picture received";
    const int failed = !picture           ? 1
                       : toStandardOutput ? WriteBmpToStandardOutput(run.api, *picture, &reason)
                                          : SavePictureFile(run.api, *picture, options.output,
                                                            options.outputType, &reason);
    if (failed != 0) {
        ReportFileProblem(toStandardOutput ? "standard output" : options.output, reason);
        std::fprintf(stderr, "Cannot write %s\n", options.output);
        return finish(1, std::string("Cannot write ") + options.output);
    }
    entry.file = options.output;
    if (run.profile) {
        std::fprintf(stderr,
                     "profile: bind %.2f ms, transfer %.2f ms, decode %.2f ms, save %.2f ms, "
                     "total %.2f ms\n",
                     run.bindMs, job.m_times.transfer, job.m_times.decode, MillisecondsSince(stage),
                     MillisecondsSince(run.start));
    }
    return finish(0, "");
}

// The frame a send would leave behind, saved like a received one; no switcher is contacted.
int RunPreview(CliRun& run)
{
    const CliOptions& options = run.options;
    std::shared_ptr<const Picture> picture;
    if (LoadForSending(run, options.file, &picture) != 0) return 1;
    if (options.keyFrame && !picture->HasAlpha()) {
        ReportFileProblem(options.file, "the picture has no alpha channel for a key frame");
        return 1;
    }
    std::shared_ptr<const Picture> frame;
    const int made =
        options.keyFrame
            ? MakeAsSentKeyFrame(*picture, options.settings.raster, options.settings.aspect,
                                 options.settings.blank, &frame)
            : MakeAsSentFrame(*picture, options.settings.raster, options.settings.aspect,
                              options.settings.blank, &frame);
    if (made != kAsSentOk || !frame) {
        std::fprintf(stderr, "%s\n", kMemoryAllocationError);
        return 1;
    }
    const bool toStandardOutput = std::strcmp(options.output, "-") == 0;
    std::string reason;
    const int failed = toStandardOutput ? WriteBmpToStandardOutput(run.api, *frame, &reason)
                                        : SavePictureFile(run.api, *frame, options.output,
                                                          options.outputType, &reason);
    if (failed != 0) {
        ReportFileProblem(toStandardOutput ? "standard output" : options.output, reason);
        std::fprintf(stderr, "Cannot write %s\n", options.output);
        return 1;
    }
    return 0;
}

// Sends every picture that lands in the folder until SIGINT or SIGTERM; one line per send on
// standard output.
int RunWatch(CliRun& run)
{
    CHotFolder folder;
    std::string error;
    if (!folder.Open(run.options.file, &error)) {
        ReportFileProblem(run.options.file, error);
        return 1;
    }
    if (!StopHotFolderOnSignals(folder)) {
        ReportFileProblem(run.options.file, "cannot catch the stop signals");
        return 1;
    }
    // The first line tells a reader that what is dropped in from now on is sent.
    std::fprintf(stdout, "watching %s\n", run.options.file);
    std::fflush(stdout);
    std::string lastMessage;
    const auto send = [&](const std::string& path) {
        return SendOne(run, path.c_str(), &lastMessage);
    };
    const auto log = [](const std::string& line) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    };
    const auto describe = [&](int) { return lastMessage; };
    return RunHotFolder(folder, send, log, describe);
}

}  // namespace

int main(int argc, char** argv)
{
    CliRun run;
    run.start = Clock::now();
    std::signal(SIGPIPE, SIG_IGN);

    // The settings file gives the defaults; each of its problems is told once and the program
    // goes on with what it could read.
    std::vector<SettingsProblem> problems;
    const StationSettings station = LoadStationSettings(&problems);
    for (const SettingsProblem& problem : problems)
        std::fprintf(stderr, "imgcast-cli: %s\n", FormatSettingsProblem(problem).c_str());
    CliOptions& options = run.options;
    ApplyStationSettings(station, &options);

    const int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    if (options.command == CliCommand::Journal)
        return PrintLastJournalEntries(run.journal.Path(), options.journalCount, stdout, stderr);
    if (options.command != CliCommand::Preview) {
        if (const int status = ResolveSettingsHost(&options); status != 0) return status;
    }
    // The resampler's trace lines would mix with a BMP on standard output.
    SetTraceStream(options.verbose ? stderr : nullptr);

    const char* profileSetting = std::getenv("IMGCAST_PROFILE");
    run.profile = profileSetting != nullptr && *profileSetting != '\0' &&
                  std::strcmp(profileSetting, "0") != 0;

    const Clock::time_point stage = Clock::now();
    if (BindImgPort(&run.api) != BindResult::Bound) {
        std::fputs(kCannotLoadImgPort, stderr);
        return 1;
    }
    run.bindMs = MillisecondsSince(stage);

    switch (options.command) {
        case CliCommand::Send: {
            std::string message;
            return SendOne(run, options.file, &message);
        }
        case CliCommand::Get:
            return RunGet(run);
        case CliCommand::Preview:
            return RunPreview(run);
        case CliCommand::Watch:
            return RunWatch(run);
        case CliCommand::Journal:
            break;
    }
    return 0;
}
