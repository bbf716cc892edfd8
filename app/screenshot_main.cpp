// Saves two pictures of the main window for the documentation: OUT.png as started, and
// OUT-loaded.png after PICTURE has been dropped on it (without PICTURE, a 1280 x 720 colour-bar
// card with a soft alpha edge is drawn and dropped). Needs a real display server (Xvfb will do);
// the window is grabbed from the screen, so what is saved is what the server drew. A third
// picture, OUT-progress.png, shows the progress window over it as it looks during a Get, and
// OUT-as-sent.png the preview's "As sent" view with the safe areas, for SD576 with the aspect
// kept. The window starts with the defaults: the station settings are read from an empty
// scratch folder, never the user's.
//
//   imgcast-screenshot OUT.png [PICTURE]
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <QAbstractButton>
#include <QAction>
#include <QDir>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include "app/image_tool_app.h"
#include "app/image_tool_dlg.h"
#include "app/transfer_progress_dlg.h"
#include "link/progress.h"

namespace {

void Settle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Grab(QWidget* window, const QString& path)
{
    QScreen* screen = window->screen();
    const QRect frame = window->frameGeometry();
    const QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "imgcast-screenshot: cannot save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Seventy-five percent colour bars over a grey ramp, with an alpha that fades out at the edges.
QImage DrawColourBars()
{
    QImage card(1280, 720, QImage::Format_ARGB32);
    QPainter painter(&card);
    const QColor bars[] = {QColor(191, 191, 191), QColor(191, 191, 0), QColor(0, 191, 191),
                           QColor(0, 191, 0),     QColor(191, 0, 191), QColor(191, 0, 0),
                           QColor(0, 0, 191)};
    for (int index = 0; index < 7; ++index)
        painter.fillRect(index * 1280 / 7, 0, (index + 1) * 1280 / 7 - index * 1280 / 7, 480,
                         bars[index]);
    for (int x = 0; x < 1280; ++x) {
        const int grey = x * 255 / 1279;
        painter.fillRect(x, 480, 1, 240, QColor(grey, grey, grey));
    }
    painter.end();
    for (int y = 0; y < 720; ++y) {
        auto* row = reinterpret_cast<QRgb*>(card.scanLine(y));
        for (int x = 0; x < 1280; ++x) {
            const int edge = std::min(std::min(x, 1279 - x), std::min(y, 719 - y));
            const int alpha = std::min(255, edge * 255 / 96);
            row[x] = qRgba(qRed(row[x]), qGreen(row[x]), qBlue(row[x]), alpha);
        }
    }
    return card;
}

}  // namespace

int main(int argc, char** argv)
{
    CImageToolApp app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: imgcast-screenshot OUT.png [PICTURE]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir scratch;
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_STATE_HOME"})
        ::setenv(variable, qPrintable(scratch.filePath(QString::fromLatin1(variable))), 1);
    QString picture;
    if (argc == 3) {
        picture = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    } else {
        picture = scratch.filePath(QStringLiteral("colour-bars.png"));
        if (!DrawColourBars().save(picture)) {
            std::fprintf(stderr, "imgcast-screenshot: cannot write %s\n", qPrintable(picture));
            return 1;
        }
    }
    QString stem = out;
    if (stem.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive)) stem.chop(4);
    const QString loadedOut = stem + QStringLiteral("-loaded.png");
    const QString progressOut = stem + QStringLiteral("-progress.png");
    const QString asSentOut = stem + QStringLiteral("-as-sent.png");

    CImageToolDlg dialog;
    if (!dialog.OnInitDialog()) return 1;
    dialog.move(16, 16);
    dialog.show();
    Settle(800);
    if (!Grab(&dialog, out)) return 1;

    // Deliver a drop of the picture file, as a file manager would.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(picture)});
    const QPoint centre = dialog.rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&dialog, &enter);
    QDropEvent drop(QPointF(centre), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&dialog, &drop);
    Settle(800);
    if (!dialog.CurrentPicture()) {
        std::fprintf(stderr, "imgcast-screenshot: %s was not loaded\n", qPrintable(picture));
        return 1;
    }
    if (!Grab(&dialog, loadedOut)) return 1;

    // What SD576 with the aspect kept puts on air: the card letterboxed in a 4:3 frame.
    QAction* asSent = dialog.findChild<QAction*>(QStringLiteral("viewAsSentAction"));
    QAction* safeAreas = dialog.findChild<QAction*>(QStringLiteral("safeAreasAction"));
    QAction* pictureView = dialog.findChild<QAction*>(QStringLiteral("viewPictureAction"));
    dialog.Button(kIdcSd576)->click();
    dialog.Button(kIdcKeep)->click();
    asSent->trigger();
    safeAreas->trigger();
    for (int wait = 0; wait < 100 && dialog.AsSentPending(); ++wait) Settle(50);
    Settle(800);
    if (!Grab(&dialog, asSentOut)) return 1;
    safeAreas->trigger();
    pictureView->trigger();
    dialog.Button(kIdcHd1080)->click();
    dialog.Button(kIdcFull)->click();
    Settle(200);

    // The progress window of a Get a third of the way through an HD1080 frame, over the window in
    // receiving mode as it is during a Get.
    dialog.OnModeToggle();
    g_progressDirection = 0;
    g_progressTotal = 1920 * 1080 * 2;
    g_progressDone = g_progressTotal / 3;
    CTransferProgressDlg progress(&dialog);
    progress.show();
    progress.OnTimer();
    Settle(800);
    const bool saved = Grab(&dialog, progressOut);
    progress.OnOK();
    return saved ? 0 : 1;
}
