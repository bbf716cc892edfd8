#include "app/image_tool_app.h"

#include <csignal>

#include <QIcon>
#include <QStringList>
#include <QTimer>

#include "app/image_tool_dlg.h"

CImageToolApp::CImageToolApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("ImgCast"));
    setApplicationVersion(QStringLiteral(IMGCAST_VERSION));
    setOrganizationName(QStringLiteral("Korvex"));
    // Wayland compositors find the program's name and icon through its desktop entry.
    setDesktopFileName(QStringLiteral("imgcast"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/icon128.png"));
    icon.addFile(QStringLiteral(":/icons/icon128-256.png"));
    setWindowIcon(icon);
}

int CImageToolApp::InitInstance()
{
    // A switcher that drops the connection mid-frame must end in a transfer error, not in a
    // signal that kills the program.
    std::signal(SIGPIPE, SIG_IGN);

    CImageToolDlg dialog;
    if (!dialog.OnInitDialog()) return 1;
    // A picture named on the command line (the desktop entry passes the file the program is
    // opened with) loads once the window is up, as a dropped file does.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1) {
        const QString path = arguments.at(1);
        QTimer::singleShot(0, &dialog, [&dialog, path] { dialog.LoadFromFile(path); });
    }
    dialog.exec();
    return 0;
}
