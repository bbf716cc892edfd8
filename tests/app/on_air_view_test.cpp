// The preview's on-air view: the context menu, the "As sent" frame (built off the user-interface
// thread, drawn at the raster's display aspect), the key frame of a pair and the safe areas.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QImage>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include "app/image_tool_dlg.h"
#include "picture/as_sent.h"
#include "picture/broadcast_safe_areas.h"
#include "tests/app/app_test_support.h"

namespace {

QAction* Action(const CImageToolDlg& dialog, const char* name)
{
    return dialog.findChild<QAction*>(QString::fromLatin1(name));
}

QImage GrabPreview(const CImageToolDlg& dialog)
{
    return dialog.Control(kIdcPreviewFrame)->grab().toImage();
}

// Close enough for a smoothly scaled picture of uniform areas.
bool Near(QColor shown, QColor expected, int tolerance = 6)
{
    return std::abs(shown.red() - expected.red()) <= tolerance &&
           std::abs(shown.green() - expected.green()) <= tolerance &&
           std::abs(shown.blue() - expected.blue()) <= tolerance;
}

QString Describe(QColor colour)
{
    return QStringLiteral("%1,%2,%3").arg(colour.red()).arg(colour.green()).arg(colour.blue());
}

// The window's as-sent frame is the one MakeAsSentFrame makes, byte for byte.
bool SameFrame(const std::shared_ptr<const Picture>& shown,
               const std::shared_ptr<const Picture>& made)
{
    return shown && made && shown->width == made->width && shown->height == made->height &&
           shown->stride == made->stride && shown->colour == made->colour;
}

void WaitForAsSent(const CImageToolDlg& dialog)
{
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.AsSentPending(), 20000);
}

}  // namespace

class OnAirViewTest : public QObject {
    Q_OBJECT
  private slots:
    void MenuOffersPictureAsSentAndSafeAreas()
    {
        auto dialog = OpenMainWindow();
        QWidget* preview = dialog->Control(kIdcPreviewFrame);
        QCOMPARE(preview->contextMenuPolicy(), Qt::ActionsContextMenu);
        QStringList texts;
        for (QAction* action : preview->actions())
            if (!action->isSeparator()) texts << action->text();
        QCOMPARE(texts,
                 (QStringList{QStringLiteral("Picture"), QStringLiteral("As sent"),
                              QStringLiteral("Safe areas"), QStringLiteral("Verify after write"),
                              QStringLiteral("Use the palette's transparency as alpha")}));
        for (const char* name : {"viewPictureAction", "viewAsSentAction", "safeAreasAction",
                                 "verifyAction", "paletteAlphaAction"})
            QVERIFY2(Action(*dialog, name)->isCheckable(), name);
        QVERIFY(Action(*dialog, "viewPictureAction")->isChecked());
        QVERIFY(!Action(*dialog, "viewAsSentAction")->isChecked());
        QVERIFY(!Action(*dialog, "safeAreasAction")->isChecked());
        QVERIFY(!Action(*dialog, "verifyAction")->isChecked());
        QVERIFY(!dialog->ShowsAsSent());

        // The Menu key (a keyboard context-menu event on the focused preview) opens it.
        QCOMPARE(preview->focusPolicy(), Qt::ClickFocus);
        QStringList shown;
        QTimer::singleShot(50, [&shown] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* action : menu->actions())
                    if (!action->isSeparator()) shown << action->text();
                menu->close();
            }
        });
        QTimer::singleShot(3000, [] {
            if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        });
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(10, 10),
                                  preview->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(preview, &menuKey);
        QCOMPARE(shown, texts);

        // Picture and As sent exclude each other.
        Action(*dialog, "viewAsSentAction")->trigger();
        QVERIFY(dialog->ShowsAsSent());
        QVERIFY(!Action(*dialog, "viewPictureAction")->isChecked());
        Action(*dialog, "viewPictureAction")->trigger();
        QVERIFY(!dialog->ShowsAsSent());
    }

    void AsSentShowsPillarBarsAtTheRastersShape()
    {
        QTemporaryDir dir;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(dir, QStringLiteral("4x3.png"), 400, 300, Qt::white)));
        const QRect whole = dialog->Control(kIdcPreviewFrame)->rect().adjusted(1, 1, -1, -1);
        QCOMPARE(dialog->PreviewPictureRect(), whole);  // the picture view fills the frame
        dialog->Button(kIdcKeep)->click();
        Action(*dialog, "viewAsSentAction")->trigger();
        WaitForAsSent(*dialog);

        std::shared_ptr<const Picture> made;
        QCOMPARE(MakeAsSentFrame(*dialog->CurrentPicture(), OutputRaster::HD1080, AspectMode::Keep,
                                 BlankColor{0, 0, 0}, &made),
                 int{kAsSentOk});
        QVERIFY(SameFrame(dialog->AsSentFrame(), made));

        // 16:9 centred in the frame, the rest dark grey; inside, black bars left and right of
        // the 4:3 picture.
        const QRect drawn = dialog->PreviewPictureRect();
        const DisplayRect expected = CentredAspectRect({16, 9}, whole.height(), whole.width());
        QCOMPARE(drawn, QRect(whole.x() + expected.x, whole.y() + expected.y, expected.width,
                              expected.height));
        QVERIFY(drawn.y() > whole.y() || drawn.x() > whole.x());
        const QImage shown = GrabPreview(*dialog);
        const int middle = drawn.center().y();
        const int bar = drawn.width() / 8;  // 240 of 1920 pixels
        const QColor left = shown.pixelColor(drawn.x() + bar / 2, middle);
        const QColor right = shown.pixelColor(drawn.right() - bar / 2, middle);
        const QColor centre = shown.pixelColor(drawn.center().x(), middle);
        QVERIFY2(Near(left, Qt::black), qPrintable(Describe(left)));
        QVERIFY2(Near(right, Qt::black), qPrintable(Describe(right)));
        QVERIFY2(Near(centre, Qt::white), qPrintable(Describe(centre)));
        const QPoint outside = drawn.y() > whole.y() ? QPoint(drawn.center().x(), whole.y() + 1)
                                                     : QPoint(whole.x() + 1, middle);
        QCOMPARE(shown.pixelColor(outside), QColor(64, 64, 64));

        // A radio rebuilds it: SD576 is 720 × 576 at 4:3, Full fills it with the picture.
        dialog->Button(kIdcSd576)->click();
        dialog->Button(kIdcFull)->click();
        WaitForAsSent(*dialog);
        QCOMPARE(MakeAsSentFrame(*dialog->CurrentPicture(), OutputRaster::SD576, AspectMode::Full,
                                 BlankColor{0, 0, 0}, &made),
                 int{kAsSentOk});
        QVERIFY(SameFrame(dialog->AsSentFrame(), made));
        const DisplayRect sd = CentredAspectRect({4, 3}, whole.height(), whole.width());
        QCOMPARE(dialog->PreviewPictureRect().size(), QSize(sd.width, sd.height));
        const QImage full = GrabPreview(*dialog);
        const QRect fourByThree = dialog->PreviewPictureRect();
        const QColor edge = full.pixelColor(fourByThree.x() + 2, fourByThree.center().y());
        QVERIFY2(Near(edge, Qt::white), qPrintable(Describe(edge)));

        // Quick changes: only the last one's frame is kept, whatever order the others end in.
        for (ControlId id : {kIdcHd720, kIdcKeep, kIdcSd480, kIdcFull, kIdcHd1080, kIdcKeep})
            dialog->Button(id)->click();
        WaitForAsSent(*dialog);
        QCOMPARE(MakeAsSentFrame(*dialog->CurrentPicture(), OutputRaster::HD1080, AspectMode::Keep,
                                 BlankColor{0, 0, 0}, &made),
                 int{kAsSentOk});
        QVERIFY(SameFrame(dialog->AsSentFrame(), made));

        // Back to the picture view: as before.
        Action(*dialog, "viewPictureAction")->trigger();
        QCOMPARE(dialog->PreviewPictureRect(), whole);
    }

    void DisplayAlphaInAsSentShowsTheKeyFrame()
    {
        QTemporaryDir dir;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(WriteUniformPicture(dir, QStringLiteral("key.png"), 320, 180,
                                                         QColor(250, 20, 20), 100)));
        dialog->Button(kIdcRgba)->click();
        Action(*dialog, "viewAsSentAction")->trigger();
        WaitForAsSent(*dialog);
        std::shared_ptr<const Picture> key;
        QCOMPARE(MakeAsSentKeyFrame(*dialog->CurrentPicture(), OutputRaster::HD1080,
                                    AspectMode::Full, BlankColor{0, 0, 0}, &key),
                 int{kAsSentOk});
        QVERIFY(SameFrame(dialog->AsSentKeyFrame(), key));
        const QRect drawn = dialog->PreviewPictureRect();
        const QColor colour = GrabPreview(*dialog).pixelColor(drawn.center());
        QVERIFY2(Near(colour, QColor(250, 20, 20), 12), qPrintable(Describe(colour)));
        dialog->Button(kIdcDisplayAlpha)->click();
        // The key frame's grey, as FMEM 2 will hold it.
        const size_t middle = size_t(key->stride) * (key->height / 2) + (key->width / 2) * 3;
        const int grey = key->colour[middle];
        const QColor shown = GrabPreview(*dialog).pixelColor(drawn.center());
        QVERIFY2(Near(shown, QColor(grey, grey, grey), 3), qPrintable(Describe(shown)));
    }

    void SafeAreasOutlineBothRectanglesOnTheDrawnPicture()
    {
        QTemporaryDir dir;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(dir, QStringLiteral("navy.png"), 160, 90, QColor(0, 0, 128))));
        Action(*dialog, "safeAreasAction")->trigger();
        for (bool asSent : {false, true}) {
            if (asSent) {
                Action(*dialog, "viewAsSentAction")->trigger();
                WaitForAsSent(*dialog);
            }
            const QRect drawn = dialog->PreviewPictureRect();
            const SafeAreas areas =
                SafeAreasIn(DisplayRect{drawn.x(), drawn.y(), drawn.width(), drawn.height()});
            const QImage shown = GrabPreview(*dialog);
            const QColor yellow(255, 255, 0), cyan(0, 255, 255);
            const DisplayRect& a = areas.action;
            const DisplayRect& g = areas.graphics;
            QCOMPARE(shown.pixelColor(a.x, a.y + a.height / 2), yellow);
            QCOMPARE(shown.pixelColor(a.x + a.width - 1, a.y + a.height / 2), yellow);
            QCOMPARE(shown.pixelColor(a.x + a.width / 2, a.y), yellow);
            QCOMPARE(shown.pixelColor(a.x + a.width / 2, a.y + a.height - 1), yellow);
            QCOMPARE(shown.pixelColor(g.x, g.y + g.height / 2), cyan);
            QCOMPARE(shown.pixelColor(g.x + g.width - 1, g.y + g.height / 2), cyan);
            QCOMPARE(shown.pixelColor(g.x + g.width / 2, g.y), cyan);
            QCOMPARE(shown.pixelColor(g.x + g.width / 2, g.y + g.height - 1), cyan);
            // The picture between the two outlines and outside them.
            if (g.x - a.x > 1) {
                const QColor between = shown.pixelColor(a.x + 1, a.y + a.height / 2);
                QVERIFY2(Near(between, QColor(0, 0, 128)), qPrintable(Describe(between)));
            }
            QVERIFY(Near(shown.pixelColor(a.x - 1, a.y + a.height / 2), QColor(0, 0, 128)));
        }
        // Off again: no outline.
        Action(*dialog, "safeAreasAction")->trigger();
        const QRect drawn = dialog->PreviewPictureRect();
        const SafeAreas areas =
            SafeAreasIn(DisplayRect{drawn.x(), drawn.y(), drawn.width(), drawn.height()});
        QVERIFY(Near(GrabPreview(*dialog).pixelColor(areas.action.x, drawn.center().y()),
                     QColor(0, 0, 128)));
    }

    void ReceivingDrawsTheFrameAtItsDisplayAspect()
    {
        QTemporaryDir dir;
        auto dialog = OpenMainWindow();
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(dir, QStringLiteral("sd.png"), 720, 576, Qt::white)));
        Action(*dialog, "viewAsSentAction")->trigger();
        WaitForAsSent(*dialog);
        dialog->Button(kIdcModeButton)->click();  // no Send/Get is pressed
        QVERIFY(!dialog->AsSentPending());
        const QRect whole = dialog->Control(kIdcPreviewFrame)->rect().adjusted(1, 1, -1, -1);
        const DisplayRect expected = CentredAspectRect({4, 3}, whole.height(), whole.width());
        QCOMPARE(dialog->PreviewPictureRect(), QRect(whole.x() + expected.x, whole.y() + expected.y,
                                                     expected.width, expected.height));
    }
};

QTEST_MAIN(OnAirViewTest)
#include "on_air_view_test.moc"
