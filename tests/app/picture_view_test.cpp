// The picture the window holds: loading with and without alpha, the controls a load sets, the
// preview, Display Alpha, Save Image and dropping a file on the window.
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "app/image_tool_dlg.h"
#include "tests/app/app_test_support.h"

namespace {

QString BoxText(const CImageToolDlg& dialog, ControlId id)
{
    return static_cast<QLineEdit*>(dialog.Control(id))->text();
}

QColor PreviewPixel(CImageToolDlg& dialog, QPoint at)
{
    QWidget* frame = dialog.Control(kIdcPreviewFrame);
    return frame->grab().toImage().pixelColor(at);
}

QPoint PreviewCentre(CImageToolDlg& dialog)
{
    return dialog.Control(kIdcPreviewFrame)->rect().center();
}

}  // namespace

class PictureViewTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void LoadingWithoutAlphaSetsSizeAndControls()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        // After an earlier picture with alpha: RGBA and Display Alpha enabled and checked.
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("first.png"), 9, 9, QColor(4, 5, 6), 77)));
        for (ControlId id : {kIdcRgba, kIdcDisplayAlpha}) dialog->Button(id)->click();
        QVERIFY(!dialog->Button(kIdcFmem1)->isEnabled());

        const QString path =
            WritePatternPicture(m_dir, QStringLiteral("plain.png"), 101, 37, false);
        QVERIFY(dialog->LoadFromFile(path));
        QVERIFY(messages.Messages().isEmpty());
        const auto picture = dialog->CurrentPicture();
        QVERIFY(picture);
        QCOMPARE(picture->width, 101);
        QCOMPARE(picture->height, 37);
        QCOMPARE(picture->stride, 304);  // rows padded to a multiple of 4 bytes
        QVERIFY(!picture->HasAlpha());
        QCOMPARE(BoxText(*dialog, kIdcWidthBox), QStringLiteral("101"));
        QCOMPARE(BoxText(*dialog, kIdcHeightBox), QStringLiteral("37"));
        QVERIFY(!dialog->HasAlpha());
        QVERIFY(!dialog->ShowsAlpha());
        for (ControlId id : {kIdcRgba, kIdcDisplayAlpha}) {
            QVERIFY(!dialog->Button(id)->isEnabled());
            QVERIFY(!dialog->Button(id)->isChecked());
        }
        QVERIFY(dialog->Button(kIdcFmem1)->isEnabled());
        QVERIFY(dialog->Button(kIdcFmem2)->isEnabled());
        // Colour bytes arrive blue, green, red, in rows top to bottom.
        const QImage source(path);
        const QColor expected = source.pixelColor(100, 36);
        const uint8_t* pixel = picture->colour.data() + 36 * picture->stride + 100 * 3;
        QCOMPARE(int(pixel[0]), expected.blue());
        QCOMPARE(int(pixel[1]), expected.green());
        QCOMPARE(int(pixel[2]), expected.red());
        QCOMPARE(int(picture->colour[36 * picture->stride + 303]), 0);  // padding stays zero
    }

    void LoadingWithAlphaEnablesButDoesNotCheck()
    {
        auto dialog = OpenMainWindow();
        dialog->Button(kIdcFmem2)->click();
        const QString path = WriteUniformPicture(m_dir, QStringLiteral("alpha.png"), 40, 20,
                                                 QColor(10, 200, 30), 128);
        QVERIFY(dialog->LoadFromFile(path));
        QVERIFY(dialog->CurrentPicture()->HasAlpha());
        QVERIFY(dialog->HasAlpha());
        QVERIFY(dialog->Button(kIdcRgba)->isEnabled());
        QVERIFY(dialog->Button(kIdcDisplayAlpha)->isEnabled());
        QVERIFY(!dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(!dialog->Button(kIdcDisplayAlpha)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem2)->isChecked());
        QCOMPARE(int(dialog->CurrentPicture()->alpha[0]), 128);
        QCOMPARE(int(dialog->CurrentPicture()->alpha[2]), 128);

        // With RGBA checked, a second alpha picture leaves the target radios disabled.
        dialog->Button(kIdcRgba)->click();
        QVERIFY(dialog->LoadFromFile(path));
        QVERIFY(dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(!dialog->Button(kIdcFmem1)->isEnabled());
        // Switching to receiving and back re-enables RGBA and Display Alpha for it.
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(!dialog->Button(kIdcRgba)->isEnabled());
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(dialog->Button(kIdcRgba)->isEnabled());
        QVERIFY(dialog->Button(kIdcDisplayAlpha)->isEnabled());
        QVERIFY(!dialog->Button(kIdcFmem1)->isEnabled());
    }

    void PreviewFillsTheFrameInsideItsBorder()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QCOMPARE(PreviewPixel(*dialog, PreviewCentre(*dialog)),
                 dialog->palette().color(QPalette::Window));
        const QString path = WriteUniformPicture(m_dir, QStringLiteral("alpha.png"), 16, 9,
                                                 QColor(10, 200, 30), 128);
        QVERIFY(dialog->LoadFromFile(path));
        const QSize frame = dialog->Control(kIdcPreviewFrame)->size();
        QCOMPARE(PreviewPixel(*dialog, PreviewCentre(*dialog)), QColor(10, 200, 30));
        QCOMPARE(PreviewPixel(*dialog, QPoint(1, 1)), QColor(10, 200, 30));
        QCOMPARE(PreviewPixel(*dialog, QPoint(frame.width() - 2, frame.height() - 2)),
                 QColor(10, 200, 30));
        QCOMPARE(PreviewPixel(*dialog, QPoint(0, 0)), QColor(Qt::black));
        QCOMPARE(PreviewPixel(*dialog, QPoint(frame.width() - 1, frame.height() / 2)),
                 QColor(Qt::black));

        // Display Alpha shows the alpha plane as grey, and back.
        dialog->Button(kIdcDisplayAlpha)->click();
        QVERIFY(dialog->ShowsAlpha());
        QCOMPARE(PreviewPixel(*dialog, PreviewCentre(*dialog)), QColor(128, 128, 128));
        dialog->Button(kIdcDisplayAlpha)->click();
        QVERIFY(!dialog->ShowsAlpha());
        QCOMPARE(PreviewPixel(*dialog, PreviewCentre(*dialog)), QColor(10, 200, 30));
    }

    void PreviewOfAnOddWidthIsNotSkewed()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        // Left half red, right half blue, 101 pixels wide: a skewed row would mix them at the
        // bottom of the preview.
        QImage image(101, 60, QImage::Format_RGB888);
        image.fill(QColor(255, 0, 0));
        for (int y = 0; y < 60; ++y)
            for (int x = 51; x < 101; ++x) image.setPixelColor(x, y, QColor(0, 0, 255));
        const QString path = m_dir.filePath(QStringLiteral("halves.png"));
        QVERIFY(image.save(path));
        QVERIFY(dialog->LoadFromFile(path));
        const QSize frame = dialog->Control(kIdcPreviewFrame)->size();
        const QImage shown = dialog->Control(kIdcPreviewFrame)->grab().toImage();
        for (int y : {2, frame.height() / 2, frame.height() - 3}) {
            QCOMPARE(shown.pixelColor(frame.width() / 5, y), QColor(255, 0, 0));
            QCOMPARE(shown.pixelColor(frame.width() * 4 / 5, y), QColor(0, 0, 255));
        }
    }

    void FailedLoadLeavesNoPicture()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("good.png"), 32, 16, QColor(200, 10, 10))));
        const QString broken = m_dir.filePath(QStringLiteral("broken.png"));
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a picture at all");
        file.close();
        QVERIFY(!dialog->LoadFromFile(broken));
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("File read error!!")});
        QVERIFY(!dialog->CurrentPicture());
        // The boxes and the preview agree that there is no picture.
        QCOMPARE(BoxText(*dialog, kIdcWidthBox), QStringLiteral("0"));
        QCOMPARE(BoxText(*dialog, kIdcHeightBox), QStringLiteral("0"));
        QCOMPARE(PreviewPixel(*dialog, PreviewCentre(*dialog)),
                 dialog->palette().color(QPalette::Window));
        messages.Clear();
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        dialog->Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Image is null")});
        messages.Clear();
        QVERIFY(!dialog->LoadFromFile(m_dir.filePath(QStringLiteral("missing.png"))));
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("File read error!!")});
    }

    void SelectImageUsesTheOpenDialog()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        QString answer;
        int asked = 0;
        bool askedToSave = true;
        CImageToolDlg::SetFilePathHook([&](bool save) {
            ++asked;
            askedToSave = save;
            return answer;
        });
        dialog->Button(kIdcImageButton)->click();  // cancelled: nothing changes
        QCOMPARE(asked, 1);
        QVERIFY(!askedToSave);
        QVERIFY(!dialog->CurrentPicture());
        answer = WriteUniformPicture(m_dir, QStringLiteral("pick-\u00e9t\u00e9.bmp"), 12, 7,
                                     QColor(1, 2, 3));
        dialog->Button(kIdcImageButton)->click();
        QVERIFY(dialog->CurrentPicture());
        QCOMPARE(BoxText(*dialog, kIdcWidthBox), QStringLiteral("12"));
        // In receiving mode the same button saves.
        dialog->Button(kIdcModeButton)->click();
        answer = m_dir.filePath(QStringLiteral("saved.bmp"));
        dialog->Button(kIdcImageButton)->click();
        QVERIFY(askedToSave);
        QVERIFY(QFile::exists(answer));
        CImageToolDlg::SetFilePathHook(nullptr);
        QVERIFY(messages.Messages().isEmpty());
    }

    void SaveImageWritesAnyWidth()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        for (int width : {101, 64, 1, 3}) {
            const QString path =
                WritePatternPicture(m_dir, QStringLiteral("w%1.png").arg(width), width, 13, false);
            QVERIFY(dialog->LoadFromFile(path));
            const auto loaded = dialog->CurrentPicture();
            const QString saved = m_dir.filePath(QStringLiteral("w%1.bmp").arg(width));
            QVERIFY(dialog->SaveToFile(saved));
            QVERIFY(QFile::exists(saved));
            // Reading the BMP back gives the same picture, padding included.
            QVERIFY(dialog->LoadFromFile(saved));
            QCOMPARE(dialog->CurrentPicture()->width, width);
            QCOMPARE(dialog->CurrentPicture()->height, 13);
            QVERIFY(dialog->CurrentPicture()->colour == loaded->colour);
        }
        QVERIFY(messages.Messages().isEmpty());
    }

    void SaveImageReportsFailures()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        dialog->Button(kIdcModeButton)->click();
        CImageToolDlg::SetFilePathHook([](bool) { return QStringLiteral("/nonexistent/x.bmp"); });
        dialog->Button(kIdcImageButton)->click();  // no picture
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Image is null")});
        messages.Clear();
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("s.png"), 10, 10, QColor(5, 6, 7))));
        dialog->Button(kIdcModeButton)->click();
        const QString unwritable = m_dir.filePath(QStringLiteral("no-such-folder/out.bmp"));
        CImageToolDlg::SetFilePathHook([&](bool) { return unwritable; });
        dialog->Button(kIdcImageButton)->click();
        CImageToolDlg::SetFilePathHook(nullptr);
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("File write error!!")});
        QVERIFY(!QFile::exists(unwritable));
        QVERIFY(dialog->CurrentPicture());  // a failed save keeps the picture
    }

    void DroppingAFileLoadsItInSendingModeOnly()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        const QString path =
            WriteUniformPicture(m_dir, QStringLiteral("drop.png"), 20, 10, QColor(9, 9, 9));
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        auto drop = [&] {
            const QPoint at = dialog->rect().center();
            QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(dialog.get(), &enter);
            const bool accepted = enter.isAccepted();
            QDropEvent event(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(dialog.get(), &event);
            QCoreApplication::processEvents();
            return accepted;
        };
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(!drop());
        QVERIFY(!dialog->CurrentPicture());
        dialog->Button(kIdcModeButton)->click();
        QVERIFY(drop());
        QVERIFY(dialog->CurrentPicture());
        QCOMPARE(BoxText(*dialog, kIdcWidthBox), QStringLiteral("20"));
        // A file that is no picture is refused at the door.
        mime.setUrls({QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("notes.txt")))});
        QVERIFY(!drop());
        QVERIFY(messages.Messages().isEmpty());
    }

  private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(PictureViewTest)
#include "picture_view_test.moc"
