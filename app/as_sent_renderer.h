// Builds the as-sent frames of the preview's "As sent" view on a thread of its own, so that a
// click on a radio never waits for a fit and a 4:2:2 round trip of a whole raster.
//
// Only the newest request counts: a request replaces one that has not started, and every result
// carries the generation of its request, so the window drops a result that a later request has
// made stale. The finished callback runs on the renderer's thread; the window passes it on to its
// own thread. The destructor waits for a frame in progress and drops what is still queued.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "frame/frame.h"
#include "picture/picture.h"

struct AsSentRequest {
    uint64_t generation = 0;
    std::shared_ptr<const Picture> picture;
    OutputRaster raster = OutputRaster::HD1080;
    AspectMode aspect = AspectMode::Full;
    BlankColor blank{0, 0, 0};
};

struct AsSentResultFrames {
    uint64_t generation = 0;
    int result = 0;                           // MakeAsSentFrame's result
    std::shared_ptr<const Picture> frame;     // what FMEM 1 (or the chosen memory) will hold
    std::shared_ptr<const Picture> keyFrame;  // what FMEM 2 holds of a pair; null without alpha
};

// The frames of one request, built on the calling thread (the renderer's, or the window's when no
// thread can be started).
AsSentResultFrames BuildAsSentFrames(const AsSentRequest& request);

class CAsSentRenderer {
  public:
    using FinishedFn = std::function<void(AsSentResultFrames frames)>;
    explicit CAsSentRenderer(FinishedFn finished);
    ~CAsSentRenderer();
    CAsSentRenderer(const CAsSentRenderer&) = delete;
    CAsSentRenderer& operator=(const CAsSentRenderer&) = delete;

    // Queues the request in place of any that has not started yet.
    void Request(AsSentRequest request);

  private:
    void Run();

    FinishedFn m_finished;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = false;
    bool m_stopping = false;
    AsSentRequest m_request;
    std::thread m_thread;  // last: started when everything it uses exists
};
