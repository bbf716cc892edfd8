#include "app/image_tool_app.h"
#include "link/transfer_jobs.h"

int main(int argc, char** argv)
{
    RestartWithHugePageHeap(argv);
    // Before any thread exists, so that every job reuses the blocks the last one released instead
    // of touching fresh pages for each frame.
    KeepFrameBlocksInHeap();
    CImageToolApp app(argc, argv);
    return app.InitInstance();
}
