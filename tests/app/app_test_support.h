// Shared by the window tests: answering message boxes and file dialogs, writing picture files,
// and running the emulated switcher as a child process on a free port.
#pragma once

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/image_tool_dlg.h"
#include "app/ip_address_ctrl.h"

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

// switcher-emu on 127.0.0.1 and a port the system picks, stopped when the object goes.
class EmulatorProcess {
  public:
    explicit EmulatorProcess(const QStringList& extraArguments = {},
                             const QString& storeFolder = QString())
    {
        QStringList arguments = {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                 QStringLiteral("--port"), QStringLiteral("0")};
        if (!storeFolder.isEmpty()) arguments << QStringLiteral("--store") << storeFolder;
        arguments << extraArguments;
        m_process.setProgram(QCoreApplication::applicationDirPath() +
                             QStringLiteral("/switcher-emu"));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(20000)) return;
        // The first line names the port: "listening on 127.0.0.1:PORT".
        QByteArray line;
        while (!line.contains('\n') && m_process.state() == QProcess::Running) {
            if (m_process.canReadLine() || m_process.waitForReadyRead(20000))
                line += m_process.readLine();
            else
                break;
        }
        const QRegularExpression pattern(QStringLiteral("listening on [0-9.]+:([0-9]+)"));
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
        if (match.hasMatch()) m_port = static_cast<uint16_t>(match.captured(1).toUInt());
    }
    ~EmulatorProcess() { Stop(); }

    void Stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(10000);
            }
        }
    }

    uint16_t Port() const { return m_port; }

  private:
    QProcess m_process;
    uint16_t m_port = 0;
};

// A main window opened as the program opens it, with ImgPort bound from the test's own folder.
inline std::unique_ptr<CImageToolDlg> OpenMainWindow()
{
    auto dialog = std::make_unique<CImageToolDlg>();
    if (!dialog->OnInitDialog())
        qFatal("ImgPort could not be bound from %s",
               qPrintable(QCoreApplication::applicationDirPath()));
    return dialog;
}
