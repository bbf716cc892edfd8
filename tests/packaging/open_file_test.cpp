// The program started as the desktop entry starts it, "ImgCast FILE": the picture named on the
// command line is in the window once it is up, and a file that cannot be read is reported the way
// Select Image reports it.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/image_tool_app.h"
#include "app/image_tool_dlg.h"
#include "tests/support/temp_folder.h"

namespace {

struct StartupView {
    int exitCode = -1;
    QString width, height;
    QStringList messages;
};

// Runs the program's start-up with `arguments` after the program name, lets the window settle,
// reads its Width and Height boxes and closes it.
StartupView RunProgram(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ImgCast");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());

    StartupView view;
    CImageToolDlg::SetMessageHook(
        [&view](QWidget*, const QString& text) { view.messages << text; });
    {
        CImageToolApp app(argc, argv.data());
        // The start-up load is queued ahead of this tick, when the window's loop begins.
        QTimer tick;
        tick.setInterval(50);
        QObject::connect(&tick, &QTimer::timeout, [&view, &tick] {
            auto* dialog = qobject_cast<CImageToolDlg*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            view.width = dialog->findChild<QLineEdit*>(QStringLiteral("widthEdit"))->text();
            view.height = dialog->findChild<QLineEdit*>(QStringLiteral("heightEdit"))->text();
            tick.stop();
            dialog->done(0);
        });
        tick.start();
        view.exitCode = app.InitInstance();
    }
    CImageToolDlg::SetMessageHook(nullptr);
    return view;
}

// A 24-bit bottom-up BMP of width x height, written byte by byte.
void WriteBmp(const std::string& path, int width, int height)
{
    const int stride = (width * 3 + 3) / 4 * 4;
    const uint32_t pixelBytes = static_cast<uint32_t>(stride) * height;
    std::vector<uint8_t> file(54 + pixelBytes, 0);
    auto put32 = [&file](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    file[26] = 1;
    file[28] = 24;
    put32(34, pixelBytes);
    for (uint32_t i = 0; i < pixelBytes; ++i) file[54 + i] = static_cast<uint8_t>(i * 7);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
}

TEST(OpenFileArgument, LoadsThePictureNamedOnTheCommandLine)
{
    CTemporaryFolder folder;
    WriteBmp(folder.File("card.bmp"), 227, 149);
    const StartupView view = RunProgram({folder.File("card.bmp")});
    EXPECT_EQ(view.exitCode, 0);
    EXPECT_EQ(view.width, QStringLiteral("227"));
    EXPECT_EQ(view.height, QStringLiteral("149"));
    EXPECT_TRUE(view.messages.isEmpty()) << view.messages.join('\n').toStdString();
}

TEST(OpenFileArgument, WithoutArgumentStartsEmpty)
{
    const StartupView view = RunProgram({});
    EXPECT_EQ(view.exitCode, 0);
    EXPECT_EQ(view.width, QStringLiteral("0"));
    EXPECT_EQ(view.height, QStringLiteral("0"));
    EXPECT_TRUE(view.messages.isEmpty()) << view.messages.join('\n').toStdString();
}

TEST(OpenFileArgument, UnreadableFileIsReportedAndLeavesNoPicture)
{
    const StartupView view = RunProgram({IMGCAST_SOURCE_DIR "/README.md"});
    EXPECT_EQ(view.exitCode, 0);
    EXPECT_EQ(view.width, QStringLiteral("0"));
    EXPECT_EQ(view.height, QStringLiteral("0"));
    EXPECT_EQ(view.messages.join('|').toStdString(), "File read error!!");
}

}  // namespace
