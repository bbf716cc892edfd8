#include "link/transfer_jobs.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

#include "block/frame_block.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Opens the completion event and keeps one reference for the rest of the process, so that a
// signal set before the progress display has opened the event is still there when it does.
std::shared_ptr<CAutoResetEvent> OpenCompletionEvent()
{
    static const std::shared_ptr<CAutoResetEvent> kept = CreateNamedEvent(kCompletionEventName);
    return kept;
}

}  // namespace

namespace {

// The texts both jobs show for the same code.
const char* CommonJobText(int result)
{
    switch (result) {
        case kSocketInitError:
            return "socket init error";
        case kServerConnectError:
            return "server connect error";
        case kSizeSendError:
            return "size send error";
        case kReceiveDataError:
            return "recive data error";
        default:
            return "";
    }
}

}  // namespace

const char* SendJobText(int result)
{
    switch (result) {
        case kImageSendError:
            return "image send error";
        case kSwitcherReceiveError:
            return "qx700 recive error";
        case kWriteBusy:
            return "qx700 is processing now!!";
        default:
            return CommonJobText(result);
    }
}

const char* ReceiveJobText(int result)
{
    switch (result) {
        case kFmemEmpty:
            return "FMEM is empty";
        case kFmemReadError:
            return "FMEM read error";
        case kFrameAllocError:
            return "Memory allocation error";
        case kReadBusy:
            return "qx700 is processing now!!";
        default:
            return CommonJobText(result);
    }
}

const char* VerifyFailedText(int fmem)
{
    return fmem == 2 ? "FMEM 2 does not hold the picture that was sent"
                     : "FMEM 1 does not hold the picture that was sent";
}

namespace {

// The job's address with a fixed frame memory, for reading back what a pass wrote.
struct ReadBackInputs final : LinkInputs {
    std::array<uint8_t, 4> address{};
    bool fmem1 = true;
    std::array<uint8_t, 4> SwitcherAddress() const override { return address; }
    bool Fmem1Checked() const override { return fmem1; }
};

}  // namespace

bool CTransferJob::FrameMemoryHoldsSentFrame(uint8_t target)
{
    ReadBackInputs inputs;
    inputs.address = m_settings.address;
    inputs.fmem1 = target == 0;
    CSwitcherLink reader(inputs, m_settings.link);
    const int result =
        RunWithBusyRetry(m_settings.busyRetry, [&reader] { return reader.ReceiveFrame(); });
    const bool same = result == kTransferOk && reader.m_frame != nullptr &&
                      reader.m_frameWidth == m_link.m_frameWidth &&
                      reader.m_frameHeight == m_link.m_frameHeight &&
                      std::memcmp(reader.m_frame, m_link.m_frame, m_link.m_frameBytes) == 0;
    ReleaseFrameBlock(reader.m_frame);
    return same;
}

int BusyRetryWaitMs(int retry)
{
    constexpr int kFirstWaitMs = 200;
    constexpr int kLongestWaitMs = 2000;
    int wait = kFirstWaitMs;
    for (int i = 1; i < retry && wait < kLongestWaitMs; ++i) wait *= 2;
    return std::min(wait, kLongestWaitMs);
}

int RunWithBusyRetry(const BusyRetry& retry, const std::function<int()>& exchange)
{
    int result = exchange();
    for (int attempt = 1; attempt <= retry.retries && (result == kReadBusy || result == kWriteBusy);
         ++attempt) {
        const int waitMs = BusyRetryWaitMs(attempt);
        if (retry.announce) retry.announce(attempt, retry.retries, waitMs, result);
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        result = exchange();
    }
    return result;
}

CTransferJob::CTransferJob(const JobSettings& settings, JobHost& host)
    : m_settings(settings)
    , m_host(host)
    , m_link(m_settings, m_settings.link)
{
}

CTransferJob::~CTransferJob()
{
    ReleaseBuffers();
}

void CTransferJob::ReleaseBuffers()
{
    ReleaseFrameBlock(m_fitted);
    m_fitted = nullptr;
    ReleaseFrameBlock(m_link.m_frame);
    m_link.m_frame = nullptr;
}

void CTransferJob::FailJob(const char* text, int result)
{
    m_host.ShowMessage(text);
    ReleaseBuffers();
    m_result = result;
    m_completion->Set();
}

void CTransferJob::RunSendJob(std::shared_ptr<const Picture> picture)
{
    m_completion = OpenCompletionEvent();
    m_result = 0;
    m_times = {};

    if (!picture || picture->colour.empty()) {
        FailJob(kImageIsNull, 1);
        return;
    }
    const RasterSize raster = RasterDimensions(m_settings.raster);
    int passes = 1;
    if (m_settings.rgbaPair) {
        // A pair sends the alpha plane as the second frame; a picture without one is refused
        // before anything goes out rather than sending half a pair.
        if (!picture->HasAlpha()) {
            FailJob(kNoAlphaForPair, 1);
            return;
        }
        m_pairMode = 1;
        m_link.m_target = 0;
        passes = 2;
    } else {
        m_pairMode = 0;
        m_link.m_target = m_settings.fmem1 ? 0 : 1;
    }

    const uint32_t frameBytes = static_cast<uint32_t>(raster.width) * raster.height * 2;
    for (int pass = 0; pass < passes; ++pass) {
        if (m_pairMode == 1) m_link.m_target = static_cast<uint8_t>(pass);
        const uint8_t* plane = pass == 0 ? picture->colour.data() : picture->alpha.data();

        Clock::time_point start = Clock::now();
        // A picture of the raster's own size is fitted by a plain copy (its rows carry no
        // padding at a raster width), so it is encoded straight from its plane: the same bytes,
        // without touching a fresh raster-sized block.
        const bool rasterSized = picture->width == raster.width && picture->height == raster.height;
        const uint8_t* source = plane;
        if (!rasterSized) {
            if (FitToRaster(plane, picture->height, picture->width, &m_fitted, m_settings.raster,
                            m_settings.aspect, m_settings.blank) != 0) {
                m_fitted = nullptr;
                FailJob(kMemoryAllocationError, 1);
                return;
            }
            source = m_fitted;
        }
        m_times.fit += MillisecondsSince(start);

        start = Clock::now();
        m_link.m_frameWidth = static_cast<uint16_t>(raster.width);
        m_link.m_frameHeight = static_cast<uint16_t>(raster.height);
        m_link.m_frameBytes = frameBytes;
        // Both passes of a pair have the same size, so the second reuses the first one's frame
        // buffer: its pages are already mapped, which saves more time than the encode takes.
        if (m_link.m_frame == nullptr)
            m_link.m_frame = static_cast<uint8_t*>(AllocateFrameBlock(frameBytes));
        if (m_link.m_frame == nullptr) {
            FailJob(kMemoryAllocationError, 1);
            return;
        }
        EncodeFrame(source, m_link.m_frame, raster.height, raster.width, raster.width > 1000);
        ReleaseFrameBlock(m_fitted);
        m_fitted = nullptr;
        m_times.encode += MillisecondsSince(start);

        start = Clock::now();
        const int result = RunWithBusyRetry(m_settings.busyRetry, [this] {
            m_link.m_sentBytes = 0;
            return m_link.SendFrame();
        });
        m_times.transfer += MillisecondsSince(start);
        if (result != kTransferOk) {
            FailJob(SendJobText(result), result);
            return;
        }
        if (m_settings.verify) {
            start = Clock::now();
            const bool held = FrameMemoryHoldsSentFrame(m_link.m_target);
            m_times.transfer += MillisecondsSince(start);
            if (!held) {
                FailJob(VerifyFailedText(m_link.m_target == 0 ? 1 : 2), kVerifyFailed);
                return;
            }
        }
    }
    ReleaseBuffers();
    m_completion->Set();
}

void CTransferJob::RunReceiveJob()
{
    m_completion = OpenCompletionEvent();
    m_result = 0;
    m_times = {};

    Clock::time_point start = Clock::now();
    const int result =
        RunWithBusyRetry(m_settings.busyRetry, [this] { return m_link.ReceiveFrame(); });
    m_times.transfer = MillisecondsSince(start);
    if (result != kTransferOk) {
        FailJob(ReceiveJobText(result), result);
        return;
    }
    // A frame of width or height 0 holds no picture: the one held before stays.
    if (m_link.m_frameWidth == 0 || m_link.m_frameHeight == 0) {
        FailJob(ReceiveJobText(kFmemEmpty), kFmemEmpty);
        return;
    }
    start = Clock::now();
    std::shared_ptr<const Picture> picture =
        PictureFromFrame(m_link.m_frame, m_link.m_frameHeight, m_link.m_frameWidth);
    ReleaseBuffers();
    m_times.decode = MillisecondsSince(start);
    if (!picture) {
        FailJob(ReceiveJobText(kFrameAllocError), kFrameAllocError);
        return;
    }
    m_host.InstallReceivedPicture(std::move(picture));
    m_completion->Set();
}
