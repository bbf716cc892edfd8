// The transfer jobs end to end against switcher-emu, started as a child process on a free port.
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/link/job_fixtures.h"
#include "tests/support/child_process.h"

namespace {

std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int SendPicture(const JobSettings& settings, std::shared_ptr<const Picture> picture,
                RecordingHost* host)
{
    CTransferJob job(settings, *host);
    job.RunSendJob(std::move(picture));
    return job.m_result;
}

int ReceivePicture(const JobSettings& settings, RecordingHost* host)
{
    CTransferJob job(settings, *host);
    job.RunReceiveJob();
    return job.m_result;
}

}  // namespace

// Send then get for every raster: the switcher holds EncodeFrame of the fitted picture byte for
// byte, the store file holds it behind its size header, and the get installs its decoding.
TEST(EmulatorRoundTrip, AllRasters)
{
    CTemporaryFolder store;
    CEmulatorProcess emulator({"--store", store.Path()});
    ASSERT_NE(emulator.Port(), 0);
    TakeCompletionSignals();
    for (OutputRaster raster :
         {OutputRaster::HD1080, OutputRaster::HD720, OutputRaster::SD480, OutputRaster::SD576}) {
        const RasterSize size = RasterDimensions(raster);
        // A picture that needs fitting, and one of the raster's own size (sent without a fit).
        for (auto picture :
             {MakeTestPicture(75, 101, false), MakeTestPicture(size.height, size.width, false)}) {
            JobSettings settings = LocalSettings(emulator.Port());
            settings.raster = raster;
            settings.aspect = AspectMode::Keep;
            settings.blank = {200, 10, 60};
            RecordingHost host;
            ASSERT_EQ(SendPicture(settings, picture, &host), 0);
            EXPECT_TRUE(host.messages.empty());
            EXPECT_EQ(TakeCompletionSignals(), 1);

            const std::vector<uint8_t> expected =
                ExpectedFrame(*picture, picture->colour, raster, AspectMode::Keep, settings.blank);
            uint16_t width = 0, height = 0;
            EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true, nullptr, &width, &height) ==
                        expected);
            EXPECT_EQ(width, size.width);
            EXPECT_EQ(height, size.height);
            std::vector<uint8_t> stored = FileBytes(store.File("fmem1.ycbcr"));
            ASSERT_EQ(stored.size(), expected.size() + 4);
            uint16_t storedWidth = 0, storedHeight = 0;
            UnpackSizeHeader(stored.data(), &storedWidth, &storedHeight);
            EXPECT_EQ(storedWidth, size.width);
            EXPECT_EQ(storedHeight, size.height);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin() + 4));

            ASSERT_EQ(ReceivePicture(settings, &host), 0);
            EXPECT_EQ(TakeCompletionSignals(), 1);
            ASSERT_EQ(host.installs, 1);
            host.installs = 0;
            const Picture& received = *host.installed;
            EXPECT_EQ(received.width, size.width);
            EXPECT_EQ(received.height, size.height);
            EXPECT_FALSE(received.HasAlpha());
            PlaneBytes decoded(size_t{static_cast<size_t>(size.width)} * size.height * 3);
            DecodeFrame(expected.data(), decoded.data(), size.height, size.width);
            EXPECT_TRUE(received.colour == decoded);
        }
    }
}

TEST(EmulatorRoundTrip, PairFillsBothMemories)
{
    CEmulatorProcess emulator;
    const auto picture = MakeTestPicture(40, 64, true);
    JobSettings settings = LocalSettings(emulator.Port());
    settings.raster = OutputRaster::SD576;
    settings.rgbaPair = true;
    settings.fmem1 = false;  // the FMEM radios play no part in a pair
    RecordingHost host;
    TakeCompletionSignals();
    ASSERT_EQ(SendPicture(settings, picture, &host), 0);
    EXPECT_EQ(TakeCompletionSignals(), 1);
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) ==
                ExpectedFrame(*picture, picture->colour, settings.raster, settings.aspect));
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false) ==
                ExpectedFrame(*picture, picture->alpha, settings.raster, settings.aspect));
    // Two connections, colour first.
    const std::string log = emulator.Process().Output();
    const size_t first = log.find("write FMEM 1 720x576");
    const size_t second = log.find("write FMEM 2 720x576");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
}

TEST(EmulatorStore, FrameSurvivesRestart)
{
    CTemporaryFolder store;
    const auto picture = MakeTestPicture(10, 12, false);
    std::vector<uint8_t> sent;
    {
        CEmulatorProcess emulator({"--store", store.Path()});
        JobSettings settings = LocalSettings(emulator.Port());
        settings.raster = OutputRaster::HD720;
        settings.fmem1 = false;
        RecordingHost host;
        ASSERT_EQ(SendPicture(settings, picture, &host), 0);
        sent = ReadFrameMemoryBytes(emulator.Port(), false);
        EXPECT_EQ(emulator.Stop(), 0);
    }
    CEmulatorProcess restarted({"--store", store.Path()});
    EXPECT_TRUE(ReadFrameMemoryBytes(restarted.Port(), false) == sent);
    int result = 0;
    EXPECT_TRUE(ReadFrameMemoryBytes(restarted.Port(), true, &result).empty());
    EXPECT_EQ(result, kFmemEmpty);
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

// A client that goes away in the middle of a frame leaves the stored frame as it was.
TEST(EmulatorStore, DroppedClientKeepsOldFrame)
{
    CEmulatorProcess emulator;
    JobSettings settings = LocalSettings(emulator.Port());
    settings.raster = OutputRaster::SD480;
    RecordingHost host;
    ASSERT_EQ(SendPicture(settings, MakeTestPicture(5, 7, false), &host), 0);
    const std::vector<uint8_t> before = ReadFrameMemoryBytes(emulator.Port(), true);
    ASSERT_FALSE(before.empty());
    {
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(emulator.Port()));
        ASSERT_EQ(link.ConnectSwitcher(), 0);
        const uint8_t start[5] = {kCommandWriteFmem1, 0x02, 0xD0, 0x01, 0xE7};
        std::vector<uint8_t> half(100000, 0x55);
        SendAll(link.m_socket, start, 1, 1000);
        uint8_t reply = 0;
        ReceiveAll(link.m_socket, &reply, 1, 1000);
        EXPECT_EQ(reply, kReplyAccept);
        SendAll(link.m_socket, start + 1, 4, 1000);
        SendAll(link.m_socket, half.data(), half.size(), 1000);
    }  // the link closes the connection
    EXPECT_FALSE(emulator.Process().WaitForLine("write FMEM 1 720x487: client left").empty());
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) == before);
    TakeCompletionSignals();
}

// A size header beyond what the emulator holds is taken off the wire and answered AD.
TEST(EmulatorStore, OversizedFrameRefused)
{
    CEmulatorProcess emulator({"--max-frame-bytes", "100000"});
    JobSettings settings = LocalSettings(emulator.Port());
    settings.raster = OutputRaster::SD576;
    RecordingHost host;
    EXPECT_EQ(SendPicture(settings, MakeTestPicture(5, 7, false), &host), kSwitcherReceiveError);
    EXPECT_EQ(host.messages, std::vector<std::string>{"qx700 recive error"});
    int result = 0;
    ReadFrameMemoryBytes(emulator.Port(), true, &result);
    EXPECT_EQ(result, kFmemEmpty);
    TakeCompletionSignals();
}

// Each fault option of the emulator, and the message the jobs show for it.
TEST(EmulatorFaults, MessagesOfSendAndReceive)
{
    CTemporaryFolder store;
    {
        // A stored frame, so that reads have something to send.
        CEmulatorProcess seed({"--store", store.Path()});
        RecordingHost host;
        JobSettings settings = LocalSettings(seed.Port());
        settings.raster = OutputRaster::SD576;
        ASSERT_EQ(SendPicture(settings, MakeTestPicture(5, 7, false), &host), 0);
    }
    struct Case {
        std::vector<std::string> options;
        int sendResult;
        const char* sendText;
        int receiveResult;
        const char* receiveText;
    };
    const Case cases[] = {
        {{"--busy"}, 90, "qx700 is processing now!!", 80, "qx700 is processing now!!"},
        {{"--command-reply", "AD"}, 6, "qx700 recive error", 11, "FMEM read error"},
        {{"--command-reply", "AC"}, 0, "", 10, "FMEM is empty"},
        {{"--command-reply", "0x55"}, 100, "recive data error", 100, "recive data error"},
        {{"--final-status", "AD"}, 6, "qx700 recive error", 0, ""},
        {{"--final-status", "AF"}, 90, "qx700 is processing now!!", 0, ""},
        {{"--final-status", "10"}, 100, "recive data error", 0, ""},
        {{"--close-after", "5000"}, 5, "image send error", 100, "recive data error"},
        {{"--stall"}, 5, "image send error", 100, "recive data error"},
        {{"--stall-after", "829440"}, 5, "image send error", 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--store", store.Path()});
        CEmulatorProcess emulator(options);
        JobSettings settings = LocalSettings(emulator.Port());
        settings.raster = OutputRaster::SD576;
        if (c.options[0].rfind("--stall", 0) == 0)
            settings.link = TestLinkOptions(emulator.Port(), kShortLimitMs);
        RecordingHost sendHost;
        EXPECT_EQ(SendPicture(settings, MakeTestPicture(5, 7, false), &sendHost), c.sendResult)
            << c.options[0];
        EXPECT_EQ(sendHost.messages,
                  *c.sendText ? std::vector<std::string>{c.sendText} : std::vector<std::string>{})
            << c.options[0];
        RecordingHost receiveHost;
        EXPECT_EQ(ReceivePicture(settings, &receiveHost), c.receiveResult) << c.options[0];
        EXPECT_EQ(receiveHost.messages, *c.receiveText ? std::vector<std::string>{c.receiveText}
                                                       : std::vector<std::string>{})
            << c.options[0];
        EXPECT_EQ(receiveHost.installs, c.receiveResult == 0 ? 1 : 0) << c.options[0];
        EXPECT_EQ(TakeCompletionSignals(), 1);
    }
}

TEST(EmulatorLifecycle, StopsCleanlyOnSignals)
{
    for (int signal : {SIGTERM, SIGINT}) {
        CEmulatorProcess emulator({"--stall"});
        // A client waiting on a stalled exchange does not keep the emulator from stopping.
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(emulator.Port()));
        ASSERT_EQ(link.ConnectSwitcher(), 0);
        const uint8_t command = kCommandReadFmem1;
        SendAll(link.m_socket, &command, 1, 1000);
        EXPECT_FALSE(emulator.Process().WaitForLine("command 21: stalling").empty());
        emulator.Process().Signal(signal);
        EXPECT_EQ(emulator.Process().Wait(), 0);
        EXPECT_NE(emulator.Process().Output().find("stopped"), std::string::npos);
    }
}

// Verification reads back what the switcher holds: a switcher that stores one byte changed is
// caught (result 120, the memory named), a sound one passes, both for a single send and a pair.
TEST(EmulatorVerify, CorruptedStoreIsCaughtSoundStorePasses)
{
    for (bool corrupt : {false, true}) {
        for (bool pair : {false, true}) {
            SCOPED_TRACE(std::string(corrupt ? "corrupt" : "sound") + (pair ? ", pair" : ""));
            std::vector<std::string> options;
            if (corrupt) options.push_back("--corrupt-store");
            CEmulatorProcess emulator(options);
            ASSERT_NE(emulator.Port(), 0);
            JobSettings settings = LocalSettings(emulator.Port());
            settings.raster = OutputRaster::HD720;
            settings.rgbaPair = pair;
            settings.fmem1 = pair;  // a single send goes to FMEM 2
            settings.verify = true;
            RecordingHost host;
            TakeCompletionSignals();
            const int result = SendPicture(settings, MakeTestPicture(90, 160, true), &host);
            EXPECT_EQ(TakeCompletionSignals(), 1);
            if (!corrupt) {
                EXPECT_EQ(result, 0);
                EXPECT_TRUE(host.messages.empty());
                continue;
            }
            EXPECT_EQ(result, kVerifyFailed);
            const char* expected = pair ? "FMEM 1 does not hold the picture that was sent"
                                        : "FMEM 2 does not hold the picture that was sent";
            EXPECT_EQ(host.messages, std::vector<std::string>{expected});
        }
    }
}
