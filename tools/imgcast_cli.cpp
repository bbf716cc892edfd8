// imgcast-cli: the window's Send and Get from a shell. It binds ImgPort and runs the same picture
// state and transfer jobs as the window: the job runs on a worker thread while the main thread
// plays the progress window (a progress line on a terminal) until the completion event arrives.
// The command line is read in cli_options.cpp, files are saved in cli_files.cpp.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include "frame/frame.h"
#include "link/progress.h"
#include "link/transfer_jobs.h"
#include "picture/picture.h"
#include "tools/cli_files.h"
#include "tools/cli_options.h"

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

}  // namespace

int main(int argc, char** argv)
{
    const Clock::time_point start = Clock::now();
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    const int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    // The resampler's trace lines would mix with a BMP on standard output.
    SetTraceStream(options.verbose ? stderr : nullptr);

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

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    CCliHost host(terminal, terminal || options.verbose);
    options.settings.busyRetry.announce = [&host](int retry, int retries, int waitMs, int result) {
        host.AnnounceRetry(retry, retries, waitMs, result);
    };
    CTransferJob job(options.settings, host);
    g_progressTotal = -1;
    g_progressDone = 0;

    if (options.send) {
        stage = Clock::now();
        std::shared_ptr<const Picture> picture;
        if (LoadPicture(api, options.file, &picture) != 0) {
            ReportFileProblem(options.file, DescribeLoadFailure(options.file));
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
    const bool toStandardOutput = std::strcmp(options.output, "-") == 0;
    std::string reason = "no picture received";
    const int failed = !picture           ? 1
                       : toStandardOutput ? WriteBmpToStandardOutput(api, *picture, &reason)
                                          : SavePictureFile(api, *picture, options.output,
                                                            options.outputType, &reason);
    if (failed != 0) {
        ReportFileProblem(toStandardOutput ? "standard output" : options.output, reason);
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
