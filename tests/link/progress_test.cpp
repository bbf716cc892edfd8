// The progress text, the completion event and the job texts.
#include "link/progress.h"

#include <thread>

#include <gtest/gtest.h>

#include "link/switcher_link.h"
#include "link/transfer_jobs.h"

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

// The texts are the operators' words, misspellings included; each code has one per job kind.
TEST(JobTexts, BothColumns)
{
    const struct {
        int code;
        const char* send;
        const char* receive;
    } rows[] = {
        {0, "", ""},
        {2, "socket init error", "socket init error"},
        {3, "server connect error", "server connect error"},
        {4, "size send error", "size send error"},
        {5, "image send error", ""},
        {6, "qx700 recive error", ""},
        {10, "", "FMEM is empty"},
        {11, "", "FMEM read error"},
        {31, "", "Memory allocation error"},
        {80, "", "qx700 is processing now!!"},
        {90, "qx700 is processing now!!", ""},
        {100, "recive data error", "recive data error"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(SendJobText(row.code), row.send) << row.code;
        EXPECT_STREQ(ReceiveJobText(row.code), row.receive) << row.code;
    }
}
