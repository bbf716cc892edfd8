// Send and Get against the emulated switcher, the progress window, and every way a job can fail.
#include <cstdlib>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>

#include "app/image_tool_dlg.h"
#include "app/transfer_progress_dlg.h"
#include "block/frame_block.h"
#include "frame/frame.h"
#include "link/progress.h"
#include "tests/app/app_test_support.h"

namespace {

// The frame the switcher must hold after a send: the plane fitted to the raster and encoded.
std::vector<uint8_t> ExpectedFrame(const PlaneBytes& plane, int height, int width,
                                   OutputRaster raster, AspectMode aspect)
{
    uint8_t* fitted = nullptr;
    if (FitToRaster(plane.data(), height, width, &fitted, raster, aspect, BlankColor{0, 0, 0}) != 0)
        qFatal("FitToRaster failed");
    const RasterSize size = RasterDimensions(raster);
    std::vector<uint8_t> frame(size_t(size.width) * size.height * 2);
    EncodeFrame(fitted, frame.data(), size.height, size.width, size.width > 1000);
    ReleaseFrameBlock(fitted);
    return frame;
}

// A stored frame memory of the emulator: 4-byte size header (width, height, big-endian), frame.
struct StoredFrame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> frame;
};

StoredFrame ReadStoredFrame(const QString& path)
{
    StoredFrame stored;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return stored;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 4) return stored;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    uint16_t width = 0, height = 0;
    UnpackSizeHeader(data, &width, &height);
    stored.width = width;
    stored.height = height;
    stored.frame.assign(data + 4, data + bytes.size());
    return stored;
}

// A port on 127.0.0.1 that refuses connections for as long as the object lives: bound but not
// listening, so no other test's emulator can take it meanwhile.
class RefusingPort {
  public:
    RefusingPort()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~RefusingPort()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    uint16_t Port() const { return m_port; }

  private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A window whose worker thread can never be started.
class NoThreadDlg : public CImageToolDlg {
  protected:
    bool StartWorker(std::function<void()>) override { return false; }
};

}  // namespace

class TransferTest : public QObject {
    Q_OBJECT
  private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_store = m_dir.filePath(QStringLiteral("store%1").arg(++m_storeCount));
    }

    void SendFillsTheChosenMemoryWithTheEncodedFrame()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_store);
        QVERIFY(emulator->Port() != 0);
        auto dialog = OpenMainWindow();
        dialog->SetSwitcherPort(emulator->Port());
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        QVERIFY(dialog->LoadFromFile(
            WritePatternPicture(m_dir, QStringLiteral("send.png"), 101, 57, false)));
        const auto picture = dialog->CurrentPicture();

        // FMEM 2, SD576, Keep: one exchange writing FMEM 2 only.
        dialog->Button(kIdcFmem2)->click();
        dialog->Button(kIdcSd576)->click();
        dialog->Button(kIdcKeep)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QVERIFY(!QFile::exists(m_store + QStringLiteral("/fmem1.ycbcr")));
        StoredFrame stored = ReadStoredFrame(m_store + QStringLiteral("/fmem2.ycbcr"));
        QCOMPARE(stored.width, 720);
        QCOMPARE(stored.height, 576);
        QVERIFY(stored.frame ==
                ExpectedFrame(picture->colour, 57, 101, OutputRaster::SD576, AspectMode::Keep));
        QCOMPARE(g_progressDirection.load(), 1);
        QCOMPARE(g_progressDone.load(), 720 * 576 * 2);
        QCOMPARE(g_progressTotal.load(), 720 * 576 * 2);

        // FMEM 1, HD1080, Full.
        dialog->Button(kIdcFmem1)->click();
        dialog->Button(kIdcHd1080)->click();
        dialog->Button(kIdcFull)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY(messages.Messages().isEmpty());
        stored = ReadStoredFrame(m_store + QStringLiteral("/fmem1.ycbcr"));
        QCOMPARE(stored.width, 1920);
        QCOMPARE(stored.height, 1080);
        QVERIFY(stored.frame ==
                ExpectedFrame(picture->colour, 57, 101, OutputRaster::HD1080, AspectMode::Full));
        QCOMPARE(dialog->CurrentPicture(), picture);  // a send leaves the picture alone
    }

    void SuccessIsConfirmedInTheTitleUntilTheNextAction()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_store);
        QVERIFY(emulator->Port() != 0);
        auto dialog = OpenMainWindow();
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        dialog->SetSwitcherPort(emulator->Port());
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        const QString caption = dialog->windowTitle();
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("card.png"), 40, 30, QColor(9, 8, 7), 50)));
        QVERIFY(dialog->StatusText().isEmpty());

        // Ctrl+Enter sends; the title names target, picture, raster, time taken and clock.
        QTest::keyClick(dialog->Control(kIdcFmem1), Qt::Key_Return, Qt::ControlModifier);
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QVERIFY(QFile::exists(m_store + QStringLiteral("/fmem1.ycbcr")));
        const QRegularExpression sent(QStringLiteral(
            u"^FMEM 1 \u2190 card\\.png, 1920\u00d71080, \\d+ ms, \\d\\d:\\d\\d:\\d\\d$"));
        QVERIFY2(sent.match(dialog->StatusText()).hasMatch(), qPrintable(dialog->StatusText()));
        QCOMPARE(dialog->windowTitle(),
                 caption + QStringLiteral("  \u2014  ") + dialog->StatusText());
        // The next action ends it, even one that changes nothing.
        QTest::mouseClick(dialog->Button(kIdcHd1080), Qt::LeftButton);
        QVERIFY(dialog->StatusText().isEmpty());
        QCOMPARE(dialog->windowTitle(), caption);

        // A pair names both memories.
        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcSd576)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY(dialog->StatusText().startsWith(
            QStringLiteral("FMEM 1+2 \u2190 card.png, 720\u00d7576, ")));
        QTest::keyClicks(dialog->IpAddress()->Field(3), QStringLiteral("1"));  // typing is one
        QVERIFY(dialog->StatusText().isEmpty());

        // A Get says what came back; a picture sent on from it is named by its memory.
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcFmem2)->click();
        QTRY_COMPARE(QApplication::activeWindow(),
                     static_cast<QWidget*>(dialog.get()));  // back after the progress window
        QTest::keyClick(dialog.get(), Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QVERIFY2(dialog->StatusText().startsWith(
                     QStringLiteral("FMEM 2 \u2192 preview, 720\u00d7576, ")),
                 qPrintable(dialog->StatusText()));
        dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcFmem1)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(dialog->StatusText().startsWith(QStringLiteral("FMEM 1 \u2190 FMEM 2 frame, ")),
                 qPrintable(dialog->StatusText()));

        // A failure keeps its message box and confirms nothing.
        emulator.reset();
        RefusingPort refusing;
        dialog->SetSwitcherPort(refusing.Port());
        dialog->Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages(),
                 QStringList{QString::fromUtf8(SendJobText(kServerConnectError))});
        QVERIFY(dialog->StatusText().isEmpty());
        QCOMPARE(dialog->windowTitle(), caption);
    }

    void PairSendsColourAndAlpha()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_store);
        QVERIFY(emulator->Port() != 0);
        auto dialog = OpenMainWindow();
        dialog->SetSwitcherPort(emulator->Port());
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        QVERIFY(dialog->LoadFromFile(
            WritePatternPicture(m_dir, QStringLiteral("pair.png"), 64, 48, true)));
        const auto picture = dialog->CurrentPicture();
        QVERIFY(picture->HasAlpha());
        dialog->Button(kIdcFmem2)->click();  // ignored by a pair
        dialog->Button(kIdcHd720)->click();
        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY(messages.Messages().isEmpty());
        const StoredFrame colour = ReadStoredFrame(m_store + QStringLiteral("/fmem1.ycbcr"));
        const StoredFrame alpha = ReadStoredFrame(m_store + QStringLiteral("/fmem2.ycbcr"));
        QCOMPARE(colour.width, 1280);
        QCOMPARE(alpha.height, 720);
        QVERIFY(colour.frame ==
                ExpectedFrame(picture->colour, 48, 64, OutputRaster::HD720, AspectMode::Full));
        QVERIFY(alpha.frame ==
                ExpectedFrame(picture->alpha, 48, 64, OutputRaster::HD720, AspectMode::Full));
    }

    void GetInstallsTheFrameAsThePicture()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_store);
        QVERIFY(emulator->Port() != 0);
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        dialog->SetSwitcherPort(emulator->Port());
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        QVERIFY(dialog->LoadFromFile(WriteUniformPicture(m_dir, QStringLiteral("grey.png"), 30, 20,
                                                         QColor(128, 128, 128), 200)));
        dialog->Button(kIdcSd576)->click();
        dialog->Button(kIdcTransferButton)->click();  // FMEM 1 now holds an SD576 grey frame
        QVERIFY(messages.Messages().isEmpty());
        const StoredFrame stored = ReadStoredFrame(m_store + QStringLiteral("/fmem1.ycbcr"));

        // RGBA and Display Alpha checked on the alpha picture; a get unchecks both.
        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcDisplayAlpha)->click();
        QVERIFY(dialog->ShowsAlpha());
        dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcFmem1)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        const auto received = dialog->CurrentPicture();
        QVERIFY(received);
        QCOMPARE(received->width, 720);
        QCOMPARE(received->height, 576);
        QVERIFY(!received->HasAlpha());
        const auto expected = PictureFromFrame(stored.frame.data(), 576, 720);
        QVERIFY(received->colour == expected->colour);
        QVERIFY(!dialog->HasAlpha());
        QVERIFY(!dialog->ShowsAlpha());
        QVERIFY(!dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(!dialog->Button(kIdcDisplayAlpha)->isChecked());
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(kIdcWidthBox))->text(),
                 QStringLiteral("720"));
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(kIdcHeightBox))->text(),
                 QStringLiteral("576"));
        QCOMPARE(g_progressDirection.load(), 0);
        // The preview shows the received grey frame.
        const QImage shown = dialog->Control(kIdcPreviewFrame)->grab().toImage();
        const QColor centre = shown.pixelColor(shown.rect().center());
        QVERIFY(qAbs(centre.red() - 128) <= 2 && qAbs(centre.blue() - 128) <= 2);
        // Back in sending mode the target radios are usable: RGBA was unchecked by the get.
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(dialog->Button(kIdcFmem1)->isEnabled());
        QVERIFY(dialog->Button(kIdcFmem2)->isEnabled());
        // The received frame saves as a BMP.
        QVERIFY(dialog->SaveToFile(m_dir.filePath(QStringLiteral("received.bmp"))));
    }

    void GetWithoutPictureCreatesOne()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_store);
        QVERIFY(emulator->Port() != 0);
        {
            auto sender = OpenMainWindow();
            sender->SetSwitcherPort(emulator->Port());
            sender->IpAddress()->SetAddress(127, 0, 0, 1);
            QVERIFY(sender->LoadFromFile(
                WriteUniformPicture(m_dir, QStringLiteral("red.png"), 8, 8, QColor(255, 0, 0))));
            sender->Button(kIdcFmem2)->click();
            sender->Button(kIdcSd480)->click();
            sender->Button(kIdcTransferButton)->click();
        }
        auto dialog = OpenMainWindow();
        dialog->SetSwitcherPort(emulator->Port());
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcFmem2)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QVERIFY(dialog->CurrentPicture());
        QCOMPARE(dialog->CurrentPicture()->height, 487);
        QCOMPARE(dialog->CurrentPicture()->width, 720);
    }

    void FailuresShowTheirMessageAndKeepThePicture_data()
    {
        QTest::addColumn<QStringList>("emulatorOptions");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("result");
        QTest::newRow("write busy")
            << QStringList{QStringLiteral("--busy")} << 0 << int(kWriteBusy);
        QTest::newRow("write refused")
            << QStringList{QStringLiteral("--final-status"), QStringLiteral("AD")} << 0
            << int(kSwitcherReceiveError);
        QTest::newRow("read busy") << QStringList{QStringLiteral("--busy")} << 1 << int(kReadBusy);
        QTest::newRow("read empty") << QStringList{} << 1 << int(kFmemEmpty);
        QTest::newRow("read error")
            << QStringList{QStringLiteral("--command-reply"), QStringLiteral("AD")} << 1
            << int(kFmemReadError);
        QTest::newRow("send unreachable")
            << QStringList{QStringLiteral("unreachable")} << 0 << int(kServerConnectError);
        QTest::newRow("get unreachable")
            << QStringList{QStringLiteral("unreachable")} << 1 << int(kServerConnectError);
    }

    void FailuresShowTheirMessageAndKeepThePicture()
    {
        QFETCH(QStringList, emulatorOptions);
        QFETCH(int, mode);
        QFETCH(int, result);
        MessageRecorder messages;
        const bool unreachable = emulatorOptions == QStringList{QStringLiteral("unreachable")};
        RefusingPort refusing;
        std::unique_ptr<CEmulatorProcess> emulator;
        if (!unreachable) emulator = StartEmulator(emulatorOptions);
        const uint16_t port = unreachable ? refusing.Port() : emulator->Port();
        QVERIFY(port != 0);
        auto dialog = OpenMainWindow();
        dialog->SetSwitcherPort(port);
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("keep.png"), 33, 21, QColor(1, 99, 7), 90)));
        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcDisplayAlpha)->click();
        const auto before = dialog->CurrentPicture();
        if (mode == 1) dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcTransferButton)->click();
        const QString text =
            QString::fromUtf8(mode == 0 ? SendJobText(result) : ReceiveJobText(result));
        QVERIFY(!text.isEmpty());
        // A pair stops at its first failure: one message.
        QCOMPARE(messages.Messages(), QStringList{text});
        QCOMPARE(dialog->CurrentPicture(), before);
        QVERIFY(dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(dialog->Button(kIdcDisplayAlpha)->isChecked());
        QVERIFY(dialog->ShowsAlpha());
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(kIdcWidthBox))->text(),
                 QStringLiteral("33"));
    }

    void WorkerThatCannotStartIsReported()
    {
        MessageRecorder messages;
        NoThreadDlg dialog;
        QVERIFY(dialog.OnInitDialog());
        QVERIFY(dialog.LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("t.png"), 4, 4, QColor(1, 2, 3))));
        dialog.Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Memory Allocation Error")});
        messages.Clear();
        dialog.Button(kIdcModeButton)->click();
        dialog.Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Memory Allocation Error")});
        QVERIFY(dialog.CurrentPicture());
    }

    void ProgressWindowAnimatesAndShowsTheCounters()
    {
        CTransferProgressDlg progress;
        QVERIFY(progress.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(progress.isModal());
        QCOMPARE(progress.font().pointSize(), 9);
        const int order[] = {132, 130, 131, 129, 132, 130};
        g_progressDirection = 0;
        g_progressDone = 0;
        g_progressTotal = -1;
        for (int icon : order) {
            progress.OnTimer();
            QCOMPARE(progress.CurrentIcon(), icon);
        }
        QCOMPARE(progress.ProgressText()->text(),
                 QStringLiteral("Transfer [       0KB /        0KB]"));
        g_progressDone = 2048 * 1024 - 1;
        g_progressTotal = 4096 * 1024;
        progress.OnTimer();
        QCOMPARE(progress.ProgressText()->text(),
                 QStringLiteral("Transfer [    2047KB /     4096KB]"));
        g_progressDone = 4096 * 1024;
        progress.OnTimer();  // receiving never says "writing"
        QCOMPARE(progress.ProgressText()->text(),
                 QStringLiteral("Transfer [    4096KB /     4096KB]"));
        g_progressDirection = 1;
        progress.OnTimer();
        QCOMPARE(progress.ProgressText()->text(), QStringLiteral("Frame memory writing."));
        QVERIFY(!progress.findChild<QWidget*>(QStringLiteral("okButton"))->isVisible());
        QVERIFY(!progress.findChild<QWidget*>(QStringLiteral("cancelButton"))->isEnabled());
    }

    void ProgressWindowEndsOnlyAfterTheCompletionEvent()
    {
        g_progressDirection = 1;
        g_progressDone = 0;
        g_progressTotal = -1;
        CTransferProgressDlg progress;
        int finished = 0;
        connect(&progress, &QDialog::finished, this, [&finished] { ++finished; });
        progress.show();
        QVERIFY(QTest::qWaitForWindowExposed(&progress));
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(&progress, key);
        progress.close();
        QVERIFY(progress.isVisible());
        QCOMPARE(finished, 0);
        progress.hide();
        // A signal set before the window opens the event waits for it; the window ends at the
        // first tick after it, and that tick still writes the text.
        CreateNamedEvent(kCompletionEventName)->Set();
        QCOMPARE(progress.exec(), int(QDialog::Accepted));
        QCOMPARE(finished, 1);
        QCOMPARE(progress.CurrentIcon(), 132);
        QCOMPARE(progress.ProgressText()->text(),
                 QStringLiteral("Transfer [       0KB /        0KB]"));
        QVERIFY(!CreateNamedEvent(kCompletionEventName)->TryWait());  // the signal was consumed
    }

  private:
    QTemporaryDir m_dir;
    QString m_store;
    int m_storeCount = 0;
};

QTEST_MAIN(TransferTest)
#include "window_transfer_test.moc"
