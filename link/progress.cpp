#include "link/progress.h"

#include <chrono>
#include <cstdio>
#include <map>

std::atomic<int32_t> g_progressDirection{0};
std::atomic<int32_t> g_progressDone{0};
std::atomic<int32_t> g_progressTotal{-1};

void CAutoResetEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
    }
    m_condition.notify_one();
}

bool CAutoResetEvent::TryWait()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool signalled = m_signalled;
    m_signalled = false;
    return signalled;
}

bool CAutoResetEvent::Wait(int milliseconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (milliseconds < 0) {
        m_condition.wait(lock, [this] { return m_signalled; });
    } else if (!m_condition.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                     [this] { return m_signalled; })) {
        return false;
    }
    m_signalled = false;
    return true;
}

std::shared_ptr<CAutoResetEvent> CreateNamedEvent(const char* name)
{
    // The registry holds weak references only: an event lives exactly as long as someone holds
    // it, like a kernel object, and is never visible outside this process.
    static std::mutex registryMutex;
    static std::map<std::string, std::weak_ptr<CAutoResetEvent>> registry;

    std::lock_guard<std::mutex> lock(registryMutex);
    std::weak_ptr<CAutoResetEvent>& slot = registry[name];
    std::shared_ptr<CAutoResetEvent> event = slot.lock();
    if (!event) {
        event = std::make_shared<CAutoResetEvent>();
        slot = event;
    }
    return event;
}

std::string ComposeProgressText(int32_t direction, int32_t done, int32_t total)
{
    if (done == total && direction != 0) return "Frame memory writing.";
    char text[64];
    std::snprintf(text, sizeof text, "Transfer [%8dKB / %8dKB]", done / 1024, total / 1024);
    return text;
}
