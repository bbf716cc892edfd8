// Shared by the window tests: answering message boxes and file dialogs, writing picture files,
// and running the emulated switcher as a child process on a free port.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "app/image_tool_dlg.h"
#include "app/ip_address_ctrl.h"
#include "tests/support/child_process.h"

// Every window of the tests reads and writes station settings and the transfer journal in
// folders of the test program's own, never the user's: set before main, so before any window
// is built.
inline QTemporaryDir& StationFolder()
{
    static QTemporaryDir folder;
    return folder;
}
inline const bool g_stationFoldersIsolated = [] {
    const QString root = StationFolder().path();
    ::setenv("XDG_CONFIG_HOME", qPrintable(root + QStringLiteral("/config")), 1);
    ::setenv("XDG_CONFIG_DIRS", qPrintable(root + QStringLiteral("/system")), 1);
    ::setenv("XDG_STATE_HOME", qPrintable(root + QStringLiteral("/state")), 1);
    return true;
}();

// The user's settings file of the tests ($XDG_CONFIG_HOME/imgcast/imgcast.conf).
inline QString UserSettingsFile()
{
    return StationFolder().path() + QStringLiteral("/config/imgcast/imgcast.conf");
}

// Writes the user's settings file; an empty text removes it.
inline void WriteUserSettings(const QByteArray& text)
{
    const QString path = UserSettingsFile();
    if (text.isEmpty()) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}

// The text a button shows: its text without the access-letter marks ("&Send" shows "Send", a
// doubled ampersand shows one).
inline QString ShownText(const QAbstractButton* button)
{
    const QString text = button->text();
    QString shown;
    for (int index = 0; index < text.size(); ++index) {
        if (text[index] == QLatin1Char('&')) {
            if (index + 1 < text.size() && text[index + 1] == QLatin1Char('&'))
                shown += text[++index];
            continue;
        }
        shown += text[index];
    }
    return shown;
}

// Answers every message box with OK and remembers its text.
class MessageRecorder {
  public:
    MessageRecorder()
    {
        CImageToolDlg::SetMessageHook(
            [this](QWidget*, const QString& text) { m_messages << text; });
    }
    ~MessageRecorder() { CImageToolDlg::SetMessageHook(nullptr); }
    const QStringList& Messages() const { return m_messages; }
    void Clear() { m_messages.clear(); }

  private:
    QStringList m_messages;
};

// A uniform picture of `colour`, with a uniform alpha when `alpha` is 0..254 (255: no alpha).
inline QString WriteUniformPicture(const QTemporaryDir& dir, const QString& name, int width,
                                   int height, QColor colour, int alpha = 255)
{
    QImage image(width, height, alpha == 255 ? QImage::Format_RGB888 : QImage::Format_ARGB32);
    colour.setAlpha(alpha);
    image.fill(colour);
    const QString path = dir.filePath(name);
    if (!image.save(path)) qFatal("cannot write %s", qPrintable(path));
    return path;
}

// A picture with a different colour in every pixel, so that any row or channel mix-up shows.
inline QString WritePatternPicture(const QTemporaryDir& dir, const QString& name, int width,
                                   int height, bool withAlpha)
{
    QImage image(width, height, withAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixelColor(x, y,
                                QColor((x * 7 + y) & 255, (y * 5 + 3 * x) & 255, (x * y + 11) & 255,
                                       withAlpha ? (x + y * 3) & 255 : 255));
        }
    }
    const QString path = dir.filePath(name);
    if (!image.save(path)) qFatal("cannot write %s", qPrintable(path));
    return path;
}

// switcher-emu on 127.0.0.1 and a port the system picks, through the tests' one launcher; stopped
// when the object goes.
inline std::unique_ptr<CEmulatorProcess> StartEmulator(const QStringList& extraArguments = {},
                                                       const QString& storeFolder = QString())
{
    std::vector<std::string> options = {"--listen", "127.0.0.1"};
    if (!storeFolder.isEmpty())
        options.insert(options.end(), {"--store", storeFolder.toStdString()});
    for (const QString& argument : extraArguments) options.push_back(argument.toStdString());
    return std::make_unique<CEmulatorProcess>(options);
}

// A main window opened as the program opens it, with ImgPort bound from the test's own folder.
inline std::unique_ptr<CImageToolDlg> OpenMainWindow()
{
    auto dialog = std::make_unique<CImageToolDlg>();
    if (!dialog->OnInitDialog())
        qFatal("ImgPort could not be bound from %s",
               qPrintable(QCoreApplication::applicationDirPath()));
    return dialog;
}
