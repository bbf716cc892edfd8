// The progress text and the completion event.
#include "link/progress.h"

#include <thread>

#include <gtest/gtest.h>

TEST(ProgressText, SendingAndReceiving)
{
    EXPECT_EQ(ComposeProgressText(1, 0, -1), "Transfer [       0KB /        0KB]");
    EXPECT_EQ(ComposeProgressText(1, 1023 * 1024, 4147200), "Transfer [    1023KB /     4050KB]");
    EXPECT_EQ(ComposeProgressText(1, 4147200, 4147200), "Frame memory writing.");
    // A receive never reads "Frame memory writing.", not even when complete.
    EXPECT_EQ(ComposeProgressText(0, 4147200, 4147200), "Transfer [    4050KB /     4050KB]");
    EXPECT_EQ(ComposeProgressText(0, 0, 0), "Transfer [       0KB /        0KB]");
}

TEST(CompletionEvent, AutoResets)
{
    CAutoResetEvent event;
    EXPECT_FALSE(event.TryWait());
    event.Set();
    event.Set();  // a second signal before anyone waited is still one signal
    EXPECT_TRUE(event.TryWait());
    EXPECT_FALSE(event.TryWait());
    EXPECT_FALSE(event.Wait(20));
}

TEST(CompletionEvent, WakesWaiterOnOtherThread)
{
    CAutoResetEvent event;
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(5000));
    setter.join();
    EXPECT_FALSE(event.TryWait());
}

TEST(CompletionEvent, OpenedByNameSharesTheSignal)
{
    auto job = CreateNamedEvent("ProgressTestEvent");
    job->Set();  // set before the other side opened it
    auto window = CreateNamedEvent("ProgressTestEvent");
    EXPECT_EQ(job, window);
    EXPECT_TRUE(window->TryWait());
    EXPECT_NE(CreateNamedEvent("ProgressTestOther"), window);
}

TEST(CompletionEvent, GoneOnceNobodyHoldsIt)
{
    CreateNamedEvent("ProgressTestTransient")->Set();
    EXPECT_FALSE(CreateNamedEvent("ProgressTestTransient")->TryWait());
}
