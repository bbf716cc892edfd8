// The transfer jobs: what the Send and Get buttons (and imgcast-cli) run on a worker thread.
// A send job fits each pass to the raster, encodes it and writes it to a frame memory; a receive
// job reads a frame memory and hands the decoded picture to its host. Every job sets the
// completion event exactly once, as its last act.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "frame/frame.h"
#include "link/progress.h"
#include "link/switcher_link.h"
#include "picture/picture.h"

// The message a send job shows for a non-zero result ("" for 0 and codes it never produces).
const char* SendJobText(int result);
// The message a receive job shows for a non-zero result ("" for 0 and codes it never produces).
const char* ReceiveJobText(int result);
// The message of kVerifyFailed for frame memory 1 or 2.
const char* VerifyFailedText(int fmem);

inline constexpr char kMemoryAllocationError[] = "Memory Allocation Error";
inline constexpr char kAddressIsEmpty[] = "Address is Empty";
inline constexpr char kImageIsNull[] = "Image is null";
// Shown when a colour/alpha pair is asked of a picture that has no alpha plane.
inline constexpr char kNoAlphaForPair[] = "The picture has no alpha channel to send to FMEM 2";

// How long the stages of the last job took, in milliseconds, summed over the passes of a send.
struct JobStageTimes {
    double fit = 0;       // send: FitToRaster
    double encode = 0;    // send: frame buffer and EncodeFrame
    double transfer = 0;  // SendFrame or ReceiveFrame: connect and exchange
    double decode = 0;    // receive: the received frame decoded into a picture
};

// Further tries of a write or read that the switcher answered "processing" (results 80 and 90).
struct BusyRetry {
    int retries = 0;  // tries after the first; 0: a busy answer ends the job at once
    // Called on the worker before each further try: its number (1 for the first retry), the
    // number allowed, the wait before it in milliseconds and the busy result that caused it.
    std::function<void(int retry, int retries, int waitMs, int result)> announce;
};

// The wait before retry `retry` (1 for the first): 200 ms, doubling with every retry, at most 2 s.
int BusyRetryWaitMs(int retry);
// Runs `exchange` and, while it returns kReadBusy or kWriteBusy and retries remain, waits and runs
// it again. Returns the last result.
int RunWithBusyRetry(const BusyRetry& retry, const std::function<int()>& exchange);

// The choices of one job, taken from the window's controls (or the command line's options) on
// the user-interface thread when the job starts.
struct JobSettings final : LinkInputs {
    std::array<uint8_t, 4> address{192, 168, 0, 10};
    OutputRaster raster = OutputRaster::HD1080;
    AspectMode aspect = AspectMode::Full;
    bool rgbaPair = false;  // RGBA(FMEM1&2) checked: colour to FMEM 1, alpha to FMEM 2
    bool fmem1 = true;      // FMEM 1 radio checked
    BlankColor blank{0, 0, 0};
    LinkOptions link;
    BusyRetry busyRetry;  // none unless asked for
    // Off by default. After each write the frame memory is read back and compared byte for
    // byte with the frame sent; a difference or a failed read-back ends the job with
    // kVerifyFailed.
    bool verify = false;

    std::array<uint8_t, 4> SwitcherAddress() const override { return address; }
    bool Fmem1Checked() const override { return fmem1; }
};

// What a job needs of whoever started it.
class JobHost {
  public:
    virtual ~JobHost() = default;
    // Shows a job's message and returns once the user has dismissed it. Called on the worker.
    virtual void ShowMessage(const char* text) = 0;
    // A receive job succeeded: install `picture` as the loaded picture (no alpha, Display Alpha
    // and RGBA unchecked, Width and Height showing its size). Called on the worker; returns once
    // the picture is installed.
    virtual void InstallReceivedPicture(std::shared_ptr<const Picture> picture) = 0;
};

class CTransferJob {
  public:
    CTransferJob(const JobSettings& settings, JobHost& host);
    ~CTransferJob();
    CTransferJob(const CTransferJob&) = delete;
    CTransferJob& operator=(const CTransferJob&) = delete;

    // Writes the picture (or its colour/alpha pair) to the switcher. Stops at the first failure.
    void RunSendJob(std::shared_ptr<const Picture> picture);
    // Reads one frame memory; on success hands the decoded picture to the host.
    void RunReceiveJob();

    uint8_t* m_fitted = nullptr;  // fitted packed raster of the current pass
    uint8_t m_pairMode = 0;       // 1 while sending a colour/alpha pair
    // Outcome of the last job: 0, the TransferResult that stopped it, or 1 when it stopped for
    // lack of memory or for a picture it cannot send. Read it after the job has ended.
    int m_result = 0;
    JobStageTimes m_times;

  private:
    void ReleaseBuffers();
    // Reads frame memory `target` (0 = FMEM 1) back and compares it with m_link's frame.
    bool FrameMemoryHoldsSentFrame(uint8_t target);
    // Shows `text`, releases the transient buffers, records `result` and sets the completion
    // event: the end of every job that stops early.
    void FailJob(const char* text, int result);

    JobSettings m_settings;
    JobHost& m_host;
    CSwitcherLink m_link;
    std::shared_ptr<CAutoResetEvent> m_completion;  // opened when a job starts
};
