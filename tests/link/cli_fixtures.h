// imgcast-cli as a child process: its runs, and pictures written through the library itself.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/link/job_fixtures.h"
#include "tests/support/child_process.h"

// A colour BMP (64 × 48) and a PNG with alpha, written through the library.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(BindImgPort(&m_api), BindResult::Bound);
        ASSERT_NE(m_api.saveImagePng, nullptr);
        std::vector<uint8_t> pixels(64 * 48 * 4);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 13);
        ASSERT_EQ(m_api.saveImageBmp(m_folder.File("colour.bmp").c_str(), 64, 48, pixels.data()),
                  0);
        ASSERT_EQ(m_api.saveImagePng(m_folder.File("alpha.png").c_str(), 64, 48, 4, pixels.data()),
                  0);
    }

    struct Run {
        int status;
        std::string errors;
        std::string output;
    };
    // imgcast-cli with settings, system settings and journal in folders of its own under the
    // test's folder (no settings file unless a test writes one), and `more` variables beside.
    Run RunCli(const std::vector<std::string>& arguments, const std::vector<std::string>& more = {})
    {
        CChildProcess cli(ProgramPath("imgcast-cli"), arguments, Environment(more));
        const int status = cli.Wait();
        return {status, cli.Errors(), cli.Output()};
    }
    // A variable of `more` replaces the folder given here of the same name.
    std::vector<std::string> Environment(std::vector<std::string> more = {}) const
    {
        for (const std::string& own : {"XDG_CONFIG_HOME=" + m_folder.File("xdg-config"),
                                       "XDG_CONFIG_DIRS=" + m_folder.File("xdg-system"),
                                       "XDG_STATE_HOME=" + m_folder.File("xdg-state")}) {
            const std::string name = own.substr(0, own.find('=') + 1);
            bool given = false;
            for (const std::string& variable : more) given = given || variable.rfind(name, 0) == 0;
            if (!given) more.push_back(own);
        }
        return more;
    }
    // Where the user's and the first system settings file and the journal are.
    std::string UserSettingsFile() const
    {
        return m_folder.File("xdg-config/imgcast/imgcast.conf");
    }
    std::string SystemSettingsFile() const
    {
        return m_folder.File("xdg-system/imgcast/imgcast.conf");
    }
    std::string JournalFile() const { return m_folder.File("xdg-state/imgcast/transfers.log"); }
    // Writes a settings file, creating its folders.
    static void WriteSettings(const std::string& path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    // The arguments with the switcher at `host`:`port` and a short limit put after the command.
    static std::vector<std::string> At(uint16_t port, std::vector<std::string> arguments,
                                       const std::string& host = "127.0.0.1")
    {
        arguments.insert(arguments.begin() + 1,
                         {"--host", host, "--port", std::to_string(port), "--timeout", "5"});
        return arguments;
    }
    static std::string ReadFile(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    ImgPortApi m_api;
    CTemporaryFolder m_folder;
};
