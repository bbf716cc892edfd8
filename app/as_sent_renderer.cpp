#include "app/as_sent_renderer.h"

#include "picture/as_sent.h"

AsSentResultFrames BuildAsSentFrames(const AsSentRequest& request)
{
    AsSentResultFrames frames;
    frames.generation = request.generation;
    if (!request.picture) {
        frames.result = kAsSentNoPlane;
        return frames;
    }
    frames.result = MakeAsSentFrame(*request.picture, request.raster, request.aspect, request.blank,
                                    &frames.frame);
    if (frames.result == kAsSentOk && request.picture->HasAlpha()) {
        MakeAsSentKeyFrame(*request.picture, request.raster, request.aspect, request.blank,
                           &frames.keyFrame);
    }
    return frames;
}

CAsSentRenderer::CAsSentRenderer(FinishedFn finished)
    : m_finished(std::move(finished))
    , m_thread([this] { Run(); })
{
}

CAsSentRenderer::~CAsSentRenderer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_pending = false;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CAsSentRenderer::Request(AsSentRequest request)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_request = std::move(request);
        m_pending = true;
    }
    m_wake.notify_one();
}

void CAsSentRenderer::Run()
{
    for (;;) {
        AsSentRequest request;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_pending || m_stopping; });
            if (m_stopping) return;
            request = std::move(m_request);
            m_request = AsSentRequest{};
            m_pending = false;
        }
        AsSentResultFrames frames = BuildAsSentFrames(request);
        // The picture goes with the request; the window keeps its own reference.
        request.picture.reset();
        m_finished(std::move(frames));
    }
}
