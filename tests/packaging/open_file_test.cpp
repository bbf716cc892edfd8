// The program started as the desktop entry starts it, "ImgCast FILE": the picture named on the
// command line is in the window once it is up, and a file that cannot be read is reported the way
// Select Image reports it.
#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTimer>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/image_tool_app.h"
#include "app/image_tool_dlg.h"

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

TEST(OpenFileArgument, LoadsThePictureNamedOnTheCommandLine)
{
    const StartupView view = RunProgram({IMGCAST_CORPUS_DIR "/libjpeg-turbo/testorig.jpg"});
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
