// imgcast-cli as a child process: its runs, and pictures written through the library itself.
#pragma once

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
    static Run RunCli(const std::vector<std::string>& arguments)
    {
        CChildProcess cli(ProgramPath("imgcast-cli"), arguments);
        const int status = cli.Wait();
        return {status, cli.Errors(), cli.Output()};
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
