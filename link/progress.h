// What a transfer job and the progress display share: the three progress counters and the
// completion event. Both are process-local; two running copies of the tool never see each other's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// 1 while a send job runs, 0 while a receive job runs.
extern std::atomic<int32_t> g_progressDirection;
// Bytes of the current frame done so far.
extern std::atomic<int32_t> g_progressDone;
// Byte count of the current frame; -1 until the link knows it.
extern std::atomic<int32_t> g_progressTotal;

inline constexpr char kCompletionEventName[] = "QxWaitTransImage";

// An auto-reset event: Set() lets exactly one TryWait() or Wait() through, then it is reset.
class CAutoResetEvent {
  public:
    void Set();
    // Consumes the signal if it is set; never waits.
    bool TryWait();
    // Waits up to `milliseconds` (forever when negative) and consumes the signal.
    bool Wait(int milliseconds);

  private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled = false;
};

// Creates the named event, or opens it when it exists already (possibly signalled). The event
// lives as long as anyone holds it.
std::shared_ptr<CAutoResetEvent> CreateNamedEvent(const char* name);

// The progress text for one tick: "Frame memory writing." once a send has handed out every byte
// of its frame, otherwise "Transfer [%8dKB / %8dKB]" with done / 1024 and total / 1024.
std::string ComposeProgressText(int32_t direction, int32_t done, int32_t total);
