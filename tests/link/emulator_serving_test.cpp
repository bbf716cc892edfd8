// switcher-emu as several operators meet it: clients served side by side, frame memories that a
// reader sees whole, a store that fails or is not a file, the command line and the fault options
// that the client features are tested with.
#include <atomic>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "tests/link/job_fixtures.h"
#include "tests/support/child_process.h"

namespace {

std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> FilledFrame(uint16_t width, uint16_t height, uint8_t seed)
{
    std::vector<uint8_t> frame(size_t{width} * height * 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31 + seed);
    return frame;
}

// Writes `frame` of width × height into a frame memory through the link; returns the result.
int WriteFrame(uint16_t port, uint8_t target, uint16_t width, uint16_t height,
               std::vector<uint8_t> frame, int limitMs = 5000)
{
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(port, limitMs));
    link.m_frame = frame.data();
    link.m_frameBytes = static_cast<uint32_t>(frame.size());
    link.m_frameWidth = width;
    link.m_frameHeight = height;
    link.m_target = target;
    const int result = link.SendFrame();
    link.m_frame = nullptr;
    return result;
}

// A connection to the emulator that the test drives byte by byte.
CUniqueFd ConnectRaw(uint16_t port)
{
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.Reset();
    return fd;
}

// switcher-emu started through /bin/sh, for a limit that only the shell sets (ulimit).
class CEmulatorUnderShell {
  public:
    CEmulatorUnderShell(const std::string& shellPrefix, std::vector<std::string> options)
    {
        std::vector<std::string> arguments{"-c", shellPrefix + " exec \"$0\" \"$@\"",
                                           ProgramPath("switcher-emu"), "--port", "0"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_process = std::make_unique<CChildProcess>("/bin/sh", arguments);
        const std::string line = m_process->WaitForLine("listening on ");
        const size_t colon = line.rfind(':');
        if (colon != std::string::npos)
            m_port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
    }
    ~CEmulatorUnderShell()
    {
        m_process->Signal(SIGTERM);
        m_process->Wait();
    }
    uint16_t Port() const { return m_port; }
    CChildProcess& Process() { return *m_process; }

  private:
    std::unique_ptr<CChildProcess> m_process;
    uint16_t m_port = 0;
};

}  // namespace

// A writer that trickles its frame in byte by byte keeps its own connection, not the emulator:
// a normal send beside it completes within a short limit and lands in its memory.
TEST(EmulatorClients, SlowWriterBesideNormalSend)
{
    CEmulatorProcess emulator;
    CUniqueFd slow = ConnectRaw(emulator.Port());
    ASSERT_TRUE(slow);
    const uint8_t start[5] = {kCommandWriteFmem1, 0x02, 0xD0, 0x02, 0x40};  // 720 × 576
    ASSERT_TRUE(SendAll(slow.Get(), start, 1, 1000));
    uint8_t reply = 0;
    ASSERT_TRUE(ReceiveAll(slow.Get(), &reply, 1, 2000));
    EXPECT_EQ(reply, kReplyAccept);
    ASSERT_TRUE(SendAll(slow.Get(), start + 1, 4, 1000));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const uint8_t byte = 0x10;
        while (!stop && SendAll(slow.Get(), &byte, 1, 1000))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });

    const std::vector<uint8_t> frame = FilledFrame(720, 576, 3);
    EXPECT_EQ(WriteFrame(emulator.Port(), 1, 720, 576, frame, 2000), kTransferOk);
    int result = -1;
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false, &result) == frame);
    EXPECT_EQ(result, kTransferOk);
    result = -1;
    ReadFrameMemoryBytes(emulator.Port(), true, &result);
    EXPECT_EQ(result, kFmemEmpty) << "the trickled frame is not complete";
    stop = true;
    trickle.join();
}

// Connections that never send a command hold nobody up, however many there are; beyond the
// emulator's limit of clients at once they wait at most for its idle limit.
TEST(EmulatorClients, IdleConnectionsBesideNormalGet)
{
    for (int idleCount : {20, 80}) {
        CEmulatorProcess emulator({"--timeout", "1"});
        const std::vector<uint8_t> frame = FilledFrame(64, 16, 9);
        ASSERT_EQ(WriteFrame(emulator.Port(), 0, 64, 16, frame), kTransferOk);
        std::vector<CUniqueFd> idle;
        for (int i = 0; i < idleCount; ++i) {
            idle.push_back(ConnectRaw(emulator.Port()));
            ASSERT_TRUE(idle.back()) << i;
        }
        int result = -1;
        EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true, &result) == frame) << idleCount;
        EXPECT_EQ(result, kTransferOk) << idleCount;
    }
}

// Reads running beside writes of two alternating frames see one of the two, whole.
TEST(EmulatorClients, ReaderSeesOldOrNewFrameWhole)
{
    CEmulatorProcess emulator;
    const std::vector<uint8_t> frames[2] = {FilledFrame(720, 487, 1), FilledFrame(720, 487, 2)};
    ASSERT_EQ(WriteFrame(emulator.Port(), 0, 720, 487, frames[0]), kTransferOk);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 1; i <= 12; ++i)
            EXPECT_EQ(WriteFrame(emulator.Port(), 0, 720, 487, frames[i % 2]), kTransferOk);
        writing = false;
    });
    int reads = 0;
    while (writing || reads < 4) {
        int result = -1;
        const std::vector<uint8_t> seen = ReadFrameMemoryBytes(emulator.Port(), true, &result);
        ASSERT_EQ(result, kTransferOk);
        EXPECT_TRUE(seen == frames[0] || seen == frames[1]) << "read " << reads;
        ++reads;
    }
    writer.join();
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) == frames[0]);
}

// A FIFO in place of a store file is passed over at start: the emulator serves at once, starts
// that memory empty and stops on SIGTERM.
TEST(EmulatorStore, FifoInPlaceOfStoreFile)
{
    CTemporaryFolder store;
    const std::string fifo = store.File("fmem1.ycbcr");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    CEmulatorProcess emulator({"--store", store.Path()});
    int result = -1;
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(emulator.Port(), 1000));
    result = link.ReceiveFrame();
    ReleaseFrameBlock(link.m_frame);
    EXPECT_EQ(result, kFmemEmpty);
    if (result != kFmemEmpty) {
        // An emulator stuck opening the FIFO gets a writer, so that the test fails, not hangs.
        CUniqueFd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(emulator.Stop(), 0);
    EXPECT_NE(emulator.Process().Output().find("is not a regular file"), std::string::npos);
}

// A frame that cannot be stored is answered AD, so that the client reports it, and the memory
// keeps the frame it held. Root ignores permission bits, so the store is broken in ways that hold
// for root too: a folder where the store file goes (the rename fails) and a file size limit
// (the write fails part-way, as on a full disk).
TEST(EmulatorStore, FrameThatCannotBeStoredIsRefused)
{
    CTemporaryFolder store;
    CEmulatorProcess emulator({"--store", store.Path()});
    const std::vector<uint8_t> kept = FilledFrame(720, 576, 5);
    ASSERT_EQ(WriteFrame(emulator.Port(), 1, 720, 576, kept), kTransferOk);
    ASSERT_EQ(::unlink(store.File("fmem2.ycbcr").c_str()), 0);
    ASSERT_EQ(::mkdir(store.File("fmem2.ycbcr").c_str(), 0755), 0);

    EXPECT_EQ(WriteFrame(emulator.Port(), 1, 720, 576, FilledFrame(720, 576, 6)),
              kSwitcherReceiveError);
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false) == kept);
    EXPECT_FALSE(emulator.Process().WaitForLine("write FMEM 2 720x576: cannot store").empty());
    EXPECT_EQ(store.Entries(), (std::vector<std::string>{"fmem2.ycbcr"}))
        << "no temporary file is left";
    // The other memory stores as before.
    EXPECT_EQ(WriteFrame(emulator.Port(), 0, 720, 576, kept), kTransferOk);
    EXPECT_EQ(FileBytes(store.File("fmem1.ycbcr")).size(), kept.size() + 4);
}

TEST(EmulatorStore, WriteCutShortByFileSizeLimit)
{
    CTemporaryFolder store;
    CEmulatorUnderShell emulator("ulimit -f 64 &&", {"--store", store.Path()});
    ASSERT_NE(emulator.Port(), 0);
    EXPECT_EQ(WriteFrame(emulator.Port(), 0, 64, 16, FilledFrame(64, 16, 1)), kTransferOk)
        << "a small frame fits";
    const std::vector<uint8_t> small = ReadFrameMemoryBytes(emulator.Port(), true);
    EXPECT_EQ(WriteFrame(emulator.Port(), 0, 720, 576, FilledFrame(720, 576, 2)),
              kSwitcherReceiveError);
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) == small);
    EXPECT_EQ(FileBytes(store.File("fmem1.ycbcr")).size(), 64u * 16 * 2 + 4);
    EXPECT_EQ(store.Entries(), (std::vector<std::string>{"fmem1.ycbcr"}));
}

// The stored frame is what the memory holds with its middle byte changed, and the write is still
// answered AC, so that a verifying client can prove the mismatch.
TEST(EmulatorFaults, CorruptStore)
{
    CTemporaryFolder store;
    CEmulatorProcess emulator({"--corrupt-store", "--store", store.Path()});
    for (auto [width, height] : {std::pair<uint16_t, uint16_t>{720, 576}, {1, 1}, {3, 5}}) {
        const std::vector<uint8_t> frame = FilledFrame(width, height, 7);
        ASSERT_EQ(WriteFrame(emulator.Port(), 0, width, height, frame), kTransferOk);
        std::vector<uint8_t> expected = frame;
        expected[expected.size() / 2] ^= 0x01;
        EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) == expected) << width;
        const std::vector<uint8_t> stored = FileBytes(store.File("fmem1.ycbcr"));
        ASSERT_EQ(stored.size(), expected.size() + 4);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin() + 4)) << width;
    }
}

// --busy N answers AF to the first N reads and writes together, then serves; the count is given
// as --busy N or --busy=N.
TEST(EmulatorFaults, BusyForFirstCommands)
{
    for (std::vector<std::string> option :
         {std::vector<std::string>{"--busy", "3"}, std::vector<std::string>{"--busy=3"}}) {
        CEmulatorProcess emulator(option);
        const std::vector<uint8_t> frame = FilledFrame(16, 2, 4);
        EXPECT_EQ(WriteFrame(emulator.Port(), 0, 16, 2, frame), kWriteBusy);
        int result = -1;
        ReadFrameMemoryBytes(emulator.Port(), true, &result);
        EXPECT_EQ(result, kReadBusy);
        EXPECT_EQ(WriteFrame(emulator.Port(), 1, 16, 2, frame), kWriteBusy);
        EXPECT_EQ(WriteFrame(emulator.Port(), 0, 16, 2, frame), kTransferOk);
        EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true, &result) == frame);
        EXPECT_EQ(result, kTransferOk);
        ReadFrameMemoryBytes(emulator.Port(), false, &result);
        EXPECT_EQ(result, kFmemEmpty);
    }
    CEmulatorProcess never({"--busy=0"});
    EXPECT_EQ(WriteFrame(never.Port(), 0, 16, 2, FilledFrame(16, 2, 4)), kTransferOk);
}

// Values as --option=VALUE as well as --option VALUE, and "--" ending the options.
TEST(EmulatorCommandLine, ValueForms)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--command-reply=AD"}, kSwitcherReceiveError},
        {{"--command-reply", "AD"}, kSwitcherReceiveError},
        {{"--final-status=AF", "--"}, kWriteBusy},
        {{"--busy", "--timeout=5"}, kWriteBusy},
        {{"--max-frame-bytes=10"}, kSwitcherReceiveError},
        {{"--timeout=0.5", "--listen=127.0.0.1"}, kTransferOk},
    };
    for (const auto& [options, expected] : cases) {
        CEmulatorProcess emulator(options);
        ASSERT_NE(emulator.Port(), 0) << options[0];
        EXPECT_EQ(WriteFrame(emulator.Port(), 0, 16, 2, FilledFrame(16, 2, 0)), expected)
            << options[0];
    }
}

TEST(EmulatorCommandLine, UsageErrors)
{
    const std::vector<std::string> cases[] = {
        {"--bogus"},
        {"--port"},
        {"--port", "70000"},
        {"--port=x"},
        {"--stall=1"},
        {"-x"},
        {"operand"},
        {"--", "operand"},
        {"--busy=x"},
        {"--busy=-1"},
        {"--command-reply=1FF"},
        {"--timeout", "0"},
        {"--timeout=0.0001"},
        {"--listen", "host"},
        {"--store="},
    };
    for (const auto& arguments : cases) {
        CChildProcess emulator(ProgramPath("switcher-emu"), arguments);
        EXPECT_EQ(emulator.Wait(), 64) << arguments[0];
        EXPECT_EQ(emulator.Output(), "") << arguments[0];
        EXPECT_NE(emulator.Errors().find("switcher-emu: "), std::string::npos) << arguments[0];
    }
}

TEST(EmulatorCommandLine, HelpAndVersion)
{
    for (const char* help : {"-h", "--help"}) {
        CChildProcess emulator(ProgramPath("switcher-emu"), {help});
        EXPECT_EQ(emulator.Wait(), 0);
        const std::string text = emulator.Output();
        EXPECT_EQ(text.rfind("usage: switcher-emu", 0), 0u);
        for (const char* option : {"--busy N", "--corrupt-store", "--version", "--stall-after"})
            EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    CChildProcess emulator(ProgramPath("switcher-emu"), {"--version"});
    EXPECT_EQ(emulator.Wait(), 0);
    EXPECT_TRUE(
        std::regex_match(emulator.Output(), std::regex("switcher-emu [0-9]+(\\.[0-9]+)*\n")))
        << emulator.Output();
}
