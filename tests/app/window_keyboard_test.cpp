// The main window from the keyboard, with real key events: typing addresses, Tab and the arrow
// keys through the controls, access letters, Ctrl+O, Ctrl+Enter, F1 and the About box, and
// Enter and Escape still doing nothing.
#include <dlfcn.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "app/about_box.h"
#include "app/image_tool_dlg.h"
#include "app/ip_address_ctrl.h"
#include "tests/app/app_test_support.h"

namespace {

// Types `keys` into the focused widget: '\t' is Tab, '\b' Backspace, '\x01' Ctrl+A,
// '\x16' Ctrl+V; every other character is typed as itself.
void TypeKeys(const QString& keys)
{
    for (const QChar key : keys) {
        QWidget* target = QApplication::focusWidget();
        QVERIFY(target);
        if (key == QLatin1Char('\t'))
            QTest::keyClick(target, Qt::Key_Tab);
        else if (key == QLatin1Char('\b'))
            QTest::keyClick(target, Qt::Key_Backspace);
        else if (key == QChar(1))
            QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
        else if (key == QChar(0x16))
            QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
        else
            QTest::keyClick(target, key.toLatin1());
    }
}

std::unique_ptr<CImageToolDlg> OpenActiveWindow()
{
    auto dialog = OpenMainWindow();
    dialog->show();
    dialog->activateWindow();
    if (!QTest::qWaitForWindowActive(dialog.get())) qFatal("the window did not become active");
    return dialog;
}

}  // namespace

class KeyboardTest : public QObject {
    Q_OBJECT
  private slots:
    void TypingAnAddress_data()
    {
        QTest::addColumn<QString>("start");  // the box before; "" for an empty box
        QTest::addColumn<QString>("keys");   // typed after a click on the first field
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("clipboard");
        QTest::newRow("over a full box") << "192.168.0.10"
                                         << "\x01"
                                            "127.0.0.1"
                                         << "127.0.0.1"
                                         << "";
        QTest::newRow("over a full box, last field of two digits") << "192.168.0.10"
                                                                   << "\x01"
                                                                      "192.168.0.20"
                                                                   << "192.168.0.20"
                                                                   << "";
        QTest::newRow("into an empty box") << ""
                                           << "10.1.2.3"
                                           << "10.1.2.3"
                                           << "";
        QTest::newRow("three digits everywhere") << ""
                                                 << "192.168.100.200"
                                                 << "192.168.100.200"
                                                 << "";
        QTest::newRow("spaces for dots") << ""
                                         << "10 1 2 3"
                                         << "10.1.2.3"
                                         << "";
        QTest::newRow("Tab between fields") << ""
                                            << "10\t1\t2\t3"
                                            << "10.1.2.3"
                                            << "";
        QTest::newRow("Tab after three digits") << ""
                                                << "192\t168\t0\t20"
                                                << "192.168.0.20"
                                                << "";
        QTest::newRow("a dot in an empty field stays") << ""
                                                       << "..1"
                                                       << "1..."
                                                       << "";
        QTest::newRow("Backspace within a field") << ""
                                                  << "10.1.2.39\b5"
                                                  << "10.1.2.35"
                                                  << "";
        QTest::newRow("Backspace into the field before") << ""
                                                         << "10.1.25\b\b\b2.3"
                                                         << "10.12.3."
                                                         << "";
        QTest::newRow("Backspace after an automatic advance") << ""
                                                              << "192\b\b2.5"
                                                              << "192.5.."
                                                              << "";
        QTest::newRow("digit after an advance is not swallowed") << ""
                                                                 << "1921.2.3"
                                                                 << "192.1.2.3"
                                                                 << "";
        QTest::newRow("values above 255 are capped") << ""
                                                     << "300.1.2.3"
                                                     << "255.1.2.3"
                                                     << "";
        QTest::newRow("pasted over a full box") << "192.168.0.10"
                                                << "\x16"
                                                << "10.1.2.3"
                                                << "10.1.2.3";
        QTest::newRow("pasted with spaces around it") << ""
                                                      << "\x16"
                                                      << "10.1.2.3"
                                                      << " 10.1.2.3\n";
        QTest::newRow("no address on the clipboard") << "192.168.0.10"
                                                     << "\x01\x16"
                                                     << "192.168.0.10"
                                                     << "1.2.3";
    }

    void TypingAnAddress()
    {
        QFETCH(QString, start);
        QFETCH(QString, keys);
        QFETCH(QString, shown);
        QFETCH(QString, clipboard);
        auto dialog = OpenActiveWindow();
        CIPAddressCtrl* address = dialog->IpAddress();
        if (start.isEmpty())
            address->ClearAddress();
        else
            QVERIFY(address->SetAddressText(start));
        if (!clipboard.isEmpty()) QApplication::clipboard()->setText(clipboard);
        QTest::mouseClick(address->Field(0), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), address->Field(0));
        TypeKeys(keys);
        QCOMPARE(address->AddressText(), shown);
    }

    void TabWalksTheControlsInTemplateOrder()
    {
        auto dialog = OpenActiveWindow();
        CIPAddressCtrl* address = dialog->IpAddress();
        dialog->Control(kIdcClose)->setFocus();
        // Each radio group is one stop, at its checked radio; disabled RGBA and Display Alpha
        // are passed over.
        const QList<QWidget*> expected = {dialog->Control(kIdcImageButton),
                                          address->Field(0),
                                          address->Field(1),
                                          address->Field(2),
                                          address->Field(3),
                                          dialog->Control(kIdcHd1080),
                                          dialog->Control(kIdcTransferButton),
                                          dialog->Control(kIdcWidthBox),
                                          dialog->Control(kIdcHeightBox),
                                          dialog->Control(kIdcFull),
                                          dialog->Control(kIdcModeButton),
                                          dialog->Control(kIdcFmem1),
                                          dialog->Control(kIdcClose)};
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        // Shift+Tab goes back the same way.
        for (int index = expected.size() - 2; index >= 0; --index) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
            QCOMPARE(QApplication::focusWidget(), expected[index]);
        }
    }

    void ArrowKeysClickTheNeighbourInTheGroup()
    {
        auto dialog = OpenActiveWindow();
        int handled = 0;
        for (ControlId id : {kIdcHd1080, kIdcHd720, kIdcSd480, kIdcSd576})
            connect(dialog->Button(id), &QAbstractButton::clicked, this, [&handled] { ++handled; });
        dialog->Button(kIdcHd1080)->setFocus(Qt::TabFocusReason);
        const struct {
            Qt::Key key;
            ControlId checked;
        } steps[] = {{Qt::Key_Down, kIdcHd720}, {Qt::Key_Right, kIdcSd480},
                     {Qt::Key_Down, kIdcSd576}, {Qt::Key_Down, kIdcHd1080},  // round the end
                     {Qt::Key_Up, kIdcSd576},   {Qt::Key_Left, kIdcSd480}};
        for (const auto& step : steps) {
            QTest::keyClick(QApplication::focusWidget(), step.key);
            QCOMPARE(QApplication::focusWidget(), dialog->Control(step.checked));
            for (ControlId id : {kIdcHd1080, kIdcHd720, kIdcSd480, kIdcSd576})
                QCOMPARE(dialog->Button(id)->isChecked(), id == step.checked);
        }
        QCOMPARE(handled, int(std::size(steps)));  // each went through the group's handler
        QCOMPARE(dialog->ReadJobSettings().raster, OutputRaster::SD480);
        auto* radio = qobject_cast<QRadioButton*>(dialog->Button(kIdcSd480));
        QVERIFY(!radio->autoExclusive());
        // The group's tab stop follows its check.
        QVERIFY(dialog->Control(kIdcSd480)->focusPolicy() & Qt::TabFocus);
        QVERIFY(!(dialog->Control(kIdcHd1080)->focusPolicy() & Qt::TabFocus));
        dialog->Control(kIdcIpAddress)->setFocus();
        QTest::keyClick(dialog->IpAddress()->Field(3), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dialog->Control(kIdcSd480));

        // The other groups do the same, and stay apart.
        dialog->Button(kIdcFull)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QVERIFY(dialog->Button(kIdcKeep)->isChecked() && !dialog->Button(kIdcFull)->isChecked());
        dialog->Button(kIdcFmem1)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
        QVERIFY(dialog->Button(kIdcFmem2)->isChecked() && !dialog->Button(kIdcFmem1)->isChecked());
        QVERIFY(dialog->Button(kIdcSd480)->isChecked());

        // In receiving mode the Size and Aspect radios are out of the Tab chain.
        dialog->Button(kIdcModeButton)->click();
        dialog->Control(kIdcTransferButton)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dialog->Control(kIdcWidthBox));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dialog->Control(kIdcModeButton));
    }

    void AccessLettersPressButtonsAndShowOnlyWithAlt()
    {
        MessageRecorder messages;
        auto dialog = OpenActiveWindow();
        QAbstractButton* mode = dialog->Button(kIdcModeButton);
        auto underlined = [&] {
            return mode->style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, mode) != 0;
        };
        QVERIFY(!underlined());
        QTest::keyPress(dialog.get(), Qt::Key_Alt);
        QVERIFY(underlined());
        QTest::keyRelease(dialog.get(), Qt::Key_Alt);
        QVERIFY(!underlined());

        QTest::keyClick(dialog.get(), Qt::Key_T, Qt::AltModifier);
        QTRY_COMPARE(dialog->Mode(), 1);
        QCOMPARE(ShownText(mode), QStringLiteral("From QX700"));
        QTest::keyClick(dialog.get(), Qt::Key_F, Qt::AltModifier);
        QTRY_COMPARE(dialog->Mode(), 0);
        QVERIFY(!underlined());

        int asked = 0;
        CImageToolDlg::SetFilePathHook([&asked](bool) {
            ++asked;
            return QString();
        });
        QTest::keyClick(dialog.get(), Qt::Key_I, Qt::AltModifier);
        QTRY_COMPARE(asked, 1);
        CImageToolDlg::SetFilePathHook(nullptr);
        dialog->IpAddress()->ClearAddress();
        QTest::keyClick(dialog.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(messages.Messages(), QStringList{QStringLiteral("Address is Empty")});
    }

    void ShortcutsSelectSendAndShowAbout()
    {
        MessageRecorder messages;
        auto dialog = OpenActiveWindow();
        int asked = 0;
        CImageToolDlg::SetFilePathHook([&asked](bool save) {
            if (!save) ++asked;
            return QString();
        });
        QTest::keyClick(dialog->Control(kIdcHd720), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(asked, 1);
        dialog->Button(kIdcModeButton)->click();
        QTest::keyClick(dialog.get(), Qt::Key_O, Qt::ControlModifier);  // Save Image: not Ctrl+O
        QCOMPARE(asked, 1);
        dialog->Button(kIdcModeButton)->click();
        CImageToolDlg::SetFilePathHook(nullptr);

        // Ctrl+Enter presses Send, also from inside the address box; plain Enter does not.
        dialog->IpAddress()->ClearAddress();
        QTest::keyClick(dialog->IpAddress()->Field(1), Qt::Key_Return);
        QTest::keyClick(dialog->IpAddress()->Field(1), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(messages.Messages().isEmpty());
        QTest::keyClick(dialog->IpAddress()->Field(1), Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Address is Empty")});
        messages.Clear();
        QTest::keyClick(dialog->Control(kIdcClose), Qt::Key_Enter,
                        Qt::ControlModifier | Qt::KeypadModifier);
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Address is Empty")});
        QVERIFY(dialog->isVisible());

        // F1 and the context menu open the About box.
        QStringList about;
        CImageToolDlg::SetAboutHook([&about](const QString& text) { about << text; });
        QTest::keyClick(dialog->Control(kIdcFmem1), Qt::Key_F1);
        QCOMPARE(about.size(), 1);
        QCOMPARE(dialog->contextMenuPolicy(), Qt::ActionsContextMenu);
        auto* action = dialog->findChild<QAction*>(QStringLiteral("aboutAction"));
        QVERIFY(action && dialog->actions().contains(action));
        action->trigger();
        QCOMPARE(about.size(), 2);
        CImageToolDlg::SetAboutHook(nullptr);
        QVERIFY(about[0].contains(QStringLiteral("ImgCast " IMGCAST_VERSION)));
        // The library beside the test is the versioned one of the build (libImgPort.so.1.x.y).
        QVERIFY2(
            about[0].contains(QRegularExpression(QStringLiteral("ImgPort 1\\.[0-9]+\\.[0-9]+"))),
            qPrintable(about[0]));
        QVERIFY(about[0].contains(QStringLiteral("libImgPort.so")));
    }

    void OpenDialogOffersEveryPictureSuffix()
    {
        auto dialog = OpenActiveWindow();
        QStringList filters;
        QTimer::singleShot(0, this, [&filters] {
            auto* open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!open) return;
            filters = open->nameFilters();
            open->reject();
        });
        QTest::keyClick(dialog.get(), Qt::Key_O, Qt::ControlModifier);
        QVERIFY(!filters.isEmpty());
        QCOMPARE(filters.first(),
                 QStringLiteral("IMAGE(*.tif *.tiff *.jpg *.jpeg *.png *.bmp *.gif)"));
        QCOMPARE(filters.last(), QStringLiteral("All files (*)"));
        QVERIFY(!dialog->CurrentPicture());
    }

    void CaptionAndAboutShareOneVersion()
    {
        QCOMPARE(CaptionVersion(QStringLiteral("1.0.0.5")), QStringLiteral("1.0.0"));
        QCOMPARE(CaptionVersion(QStringLiteral("2.1")), QStringLiteral("2.1"));
        auto dialog = OpenMainWindow();
        QCOMPARE(dialog->windowTitle(),
                 QStringLiteral("Korvex QX700 Image Transmission Tool Ver %1 (2008/07/10)")
                     .arg(CaptionVersion(QStringLiteral(IMGCAST_VERSION))));

        // A library file with a version in its name reports that version.
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("libImgPort.so.7.8.9"));
        QVERIFY(QFile::copy(
            QCoreApplication::applicationDirPath() + QStringLiteral("/libImgPort.so"), copy));
        void* library = ::dlopen(QFile::encodeName(copy).constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY(library);
        QString path;
        QCOMPARE(LibraryFileVersion(::dlsym(library, "ZorGdipLoadImage"), &path),
                 QStringLiteral("7.8.9"));
        QCOMPARE(path, QFileInfo(copy).canonicalFilePath());
        ::dlclose(library);
        // Without a version in the name, the SONAME's: a copy of the compression library that
        // ImgPort's PNG codec brings in, under a bare name.
        void* zlib = ::dlopen("libz.so.1", RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(zlib);
        QString zlibPath;
        QCOMPARE(LibraryFileVersion(::dlsym(zlib, "zlibVersion"), &zlibPath).section('.', 0, 0),
                 QStringLiteral("1"));
        ::dlclose(zlib);
        const QString bare = dir.filePath(QStringLiteral("libzcopy.so"));
        QVERIFY(QFile::copy(zlibPath, bare));
        void* copied = ::dlopen(QFile::encodeName(bare).constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY(copied);
        QCOMPARE(LibraryFileVersion(::dlsym(copied, "zlibVersion"), &path), QStringLiteral("1"));
        QCOMPARE(path, QFileInfo(bare).canonicalFilePath());
        ::dlclose(copied);
        QCOMPARE(LibraryFileVersion(nullptr, &path), QString());
        QVERIFY(path.isEmpty());
    }
};

QTEST_MAIN(KeyboardTest)
#include "window_keyboard_test.moc"
