// imgcast-cli stopped by a signal while it gets a full-size frame: whenever the signal comes, no
// temporary file of the savers survives, and the output is either missing or whole.
#include <chrono>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/link/cli_fixtures.h"

namespace {

std::vector<std::string> LeftOvers(const CTemporaryFolder& folder, const std::string& sub)
{
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder.File(sub), error)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".imgport-") != std::string::npos || name.rfind("imgcast-cli-", 0) == 0)
            found.push_back(name);
    }
    return found;
}

}  // namespace

TEST_F(CliTest, InterruptedGetLeavesNoTemporaryFile)
{
    CEmulatorProcess emulator;
    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", m_folder.File("colour.bmp")})).status, 0);
    const std::string output = m_folder.File("out/frame.bmp");
    const std::string temporary = m_folder.File("tmp");
    ASSERT_EQ(::mkdir(m_folder.File("out").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(temporary.c_str(), 0755), 0);
    // The stdout runs save in a folder under TMPDIR; only one given here is checked.
    const bool ownTemporary = std::getenv("TMPDIR") == nullptr;
    const uintmax_t wholeFile = 54 + 1920 * 1080 * 3;

    // One whole get gives the time scale; the signals then fall from the start to past its end.
    std::chrono::steady_clock::duration whole{};
    for (int i = 0; i < 2; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(RunCli(At(emulator.Port(), {"get", "--output", output})).status, 0);
        whole = std::chrono::steady_clock::now() - start;
    }
    ASSERT_EQ(std::filesystem::file_size(output), wholeFile);

    constexpr int kRuns = 48;
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    int stopped = 0;
    for (int run = 0; run < kRuns; ++run) {
        const bool toOutput = ownTemporary && run % 4 == 3;
        std::filesystem::remove(output);
        CChildProcess cli(ProgramPath("imgcast-cli"),
                          At(emulator.Port(), {"get", "--output", toOutput ? "-" : output}),
                          Environment({"TMPDIR=" + temporary}));
        std::this_thread::sleep_for(whole * run / (kRuns * 4 / 5));
        const int signal = signals[run % 3];
        cli.Signal(signal);
        const int status = cli.Wait();
        // A signal that came too late finds the program gone; SIGINT may be ignored when the
        // tests run in the background.
        EXPECT_TRUE(status == 0 || status == -1) << "run " << run << ": " << cli.Errors();
        if (status != 0) ++stopped;
        EXPECT_EQ(LeftOvers(m_folder, "out"), std::vector<std::string>{})
            << "run " << run << ", signal " << signal;
        EXPECT_EQ(LeftOvers(m_folder, "tmp"), std::vector<std::string>{})
            << "run " << run << ", signal " << signal;
        if (!toOutput && std::filesystem::exists(output)) {
            EXPECT_EQ(std::filesystem::file_size(output), wholeFile) << "run " << run;
        }
        if (toOutput && status == 0) {
            EXPECT_EQ(cli.Output().size(), wholeFile);
        }
    }
    EXPECT_GT(stopped, 0) << "no run was stopped: the signals all came too late";
}
