// The main window without a picture and without a switcher: start-up state, layout, the radio
// groups, the mode toggle, key handling and the address box.
#include <array>
#include <vector>

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/dialog_builder.h"
#include "app/image_tool_dlg.h"
#include "app/ip_address_ctrl.h"
#include "tests/app/app_test_support.h"

namespace {

// Enabled and checked states of the controls the mode toggle touches.
struct ControlStates {
    bool fmem1Enabled, fmem2Enabled, rgbaEnabled, alphaEnabled;
    bool rgbaChecked, alphaChecked;
};

ControlStates StatesOf(const CImageToolDlg& dialog)
{
    return {dialog.Button(kIdcFmem1)->isEnabled(), dialog.Button(kIdcFmem2)->isEnabled(),
            dialog.Button(kIdcRgba)->isEnabled(),  dialog.Button(kIdcDisplayAlpha)->isEnabled(),
            dialog.Button(kIdcRgba)->isChecked(),  dialog.Button(kIdcDisplayAlpha)->isChecked()};
}

BindResult BindNothing(ImgPortApi*)
{
    return BindResult::LibraryMissing;
}

BindResult BindWithoutExport(ImgPortApi*)
{
    return BindResult::ExportMissing;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void StartsWithTheDefaults()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        QCOMPARE(dialog->Mode(), 0);
        for (ControlId id : {kIdcHd1080, kIdcFull, kIdcFmem1})
            QVERIFY2(dialog->Button(id)->isChecked(), qPrintable(QString::number(id)));
        for (ControlId id :
             {kIdcHd720, kIdcSd480, kIdcSd576, kIdcKeep, kIdcFmem2, kIdcRgba, kIdcDisplayAlpha})
            QVERIFY2(!dialog->Button(id)->isChecked(), qPrintable(QString::number(id)));
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("192.168.0.10"));
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(kIdcWidthBox))->text(),
                 QStringLiteral("0"));
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(kIdcHeightBox))->text(),
                 QStringLiteral("0"));
        QCOMPARE(ShownText(dialog->Button(kIdcModeButton)), QStringLiteral("To QX700"));
        QCOMPARE(ShownText(dialog->Button(kIdcTransferButton)), QStringLiteral("Send"));
        QCOMPARE(ShownText(dialog->Button(kIdcImageButton)), QStringLiteral("Select Image"));
        QCOMPARE(dialog->windowTitle(),
                 QStringLiteral("Korvex QX700 Image Transmission Tool Ver 1.0.0 (2008/07/10)"));
        QVERIFY(!dialog->Button(kIdcRgba)->isEnabled());
        QVERIFY(!dialog->Button(kIdcDisplayAlpha)->isEnabled());
        QVERIFY(!dialog->Button(kIdcBlankColor)->isEnabled());
        QVERIFY(dialog->Button(kIdcBlankColor)->isHidden());
        QVERIFY(!dialog->CurrentPicture());
        QCOMPARE(dialog->Blank().red + dialog->Blank().green + dialog->Blank().blue, 0);
        QVERIFY(messages.Messages().isEmpty());
    }

    void LabelsAndKindsFollowTheTemplate()
    {
        auto dialog = OpenMainWindow();
        // The doubled ampersand is the escape for one literal ampersand; the single one marks
        // the access letter.
        QCOMPARE(ShownText(dialog->Button(kIdcRgba)), QStringLiteral("RGBA(FMEM1&2)"));
        QCOMPARE(QKeySequence::mnemonic(dialog->Button(kIdcRgba)->text()),
                 QKeySequence(Qt::ALT | Qt::Key_R));
        QVERIFY(dialog->Button(kIdcRgba)->isCheckable());
        QVERIFY(qobject_cast<QPushButton*>(dialog->Button(kIdcDisplayAlpha)));
        QVERIFY(dialog->Button(kIdcDisplayAlpha)->isCheckable());
        for (ControlId id : {kIdcHd1080, kIdcHd720, kIdcSd480, kIdcSd576, kIdcFull, kIdcKeep,
                             kIdcFmem1, kIdcFmem2}) {
            auto* radio = qobject_cast<QRadioButton*>(dialog->Button(id));
            QVERIFY(radio);
            QVERIFY(!radio->autoExclusive());
            QCOMPARE(radio->group(), nullptr);
        }
        QVERIFY(static_cast<QLineEdit*>(dialog->Control(kIdcWidthBox))->isReadOnly());
        QVERIFY(static_cast<QLineEdit*>(dialog->Control(kIdcHeightBox))->alignment() &
                Qt::AlignRight);
        QCOMPARE(dialog->findChild<QGroupBox*>(QStringLiteral("sizeGroup"))->title(),
                 QStringLiteral("Size"));
        QCOMPARE(dialog->findChild<QGroupBox*>(QStringLiteral("aspectGroup"))->title(),
                 QStringLiteral("Aspect"));
        QCOMPARE(
            dialog->findChild<QWidget*>(QStringLiteral("ipAddressLabel"))->property("groupStart"),
            QVariant(true));
        QCOMPARE(ShownText(dialog->Button(kIdcClose)), QStringLiteral("CLOSE"));
        QVERIFY(static_cast<QPushButton*>(dialog->Control(kIdcClose))->isDefault());
    }

    void RadioGroupsKeepExactlyOneCheck()
    {
        auto dialog = OpenMainWindow();
        const std::vector<std::vector<ControlId>> groups = {
            {kIdcHd1080, kIdcHd720, kIdcSd480, kIdcSd576},
            {kIdcFull, kIdcKeep},
            {kIdcFmem1, kIdcFmem2}};
        for (const auto& group : groups) {
            for (ControlId clicked : group) {
                // Twice: clicking a checked plain radio button must leave it checked.
                for (int repeat = 0; repeat < 2; ++repeat) {
                    QTest::mouseClick(dialog->Button(clicked), Qt::LeftButton);
                    for (ControlId other : group)
                        QCOMPARE(dialog->Button(other)->isChecked(), other == clicked);
                }
            }
        }
        // The groups do not touch each other.
        QVERIFY(dialog->Button(kIdcSd576)->isChecked());
        QVERIFY(dialog->Button(kIdcKeep)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem2)->isChecked());
    }

    void RgbaDisablesTheTargetRadios()
    {
        auto dialog = OpenMainWindow();
        dialog->Button(kIdcRgba)->setEnabled(true);
        dialog->Button(kIdcRgba)->click();
        QVERIFY(dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(!dialog->Button(kIdcFmem1)->isEnabled());
        QVERIFY(!dialog->Button(kIdcFmem2)->isEnabled());
        dialog->Button(kIdcRgba)->click();
        QVERIFY(!dialog->Button(kIdcRgba)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem1)->isEnabled());
        QVERIFY(dialog->Button(kIdcFmem2)->isEnabled());
    }

    void ModeToggleWithoutPicture()
    {
        auto dialog = OpenMainWindow();
        dialog->Button(kIdcModeButton)->click();
        QCOMPARE(dialog->Mode(), 1);
        QCOMPARE(ShownText(dialog->Button(kIdcModeButton)), QStringLiteral("From QX700"));
        QCOMPARE(ShownText(dialog->Button(kIdcTransferButton)), QStringLiteral("Get"));
        QCOMPARE(ShownText(dialog->Button(kIdcImageButton)), QStringLiteral("Save Image"));
        for (ControlId id : {kIdcAspectGroup, kIdcSizeGroup, kIdcHd1080, kIdcHd720, kIdcSd480,
                             kIdcSd576, kIdcFull, kIdcKeep})
            QVERIFY2(!dialog->Control(id)->isEnabled(), qPrintable(QString::number(id)));
        ControlStates states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);

        dialog->Button(kIdcModeButton)->click();
        QCOMPARE(dialog->Mode(), 0);
        QCOMPARE(ShownText(dialog->Button(kIdcModeButton)), QStringLiteral("To QX700"));
        QCOMPARE(ShownText(dialog->Button(kIdcTransferButton)), QStringLiteral("Send"));
        QCOMPARE(ShownText(dialog->Button(kIdcImageButton)), QStringLiteral("Select Image"));
        for (ControlId id : {kIdcAspectGroup, kIdcSizeGroup, kIdcHd1080, kIdcHd720, kIdcSd480,
                             kIdcSd576, kIdcFull, kIdcKeep})
            QVERIFY2(dialog->Control(id)->isEnabled(), qPrintable(QString::number(id)));
        // Without an alpha picture RGBA and Display Alpha stay as they were: disabled.
        states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);
        // The radio checks survive both toggles.
        QVERIFY(dialog->Button(kIdcHd1080)->isChecked());
        QVERIFY(dialog->Button(kIdcFull)->isChecked());
    }

    void ModeToggleWithRgbaChecked()
    {
        auto dialog = OpenMainWindow();
        QTemporaryDir dir;
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(dir, QStringLiteral("alpha.png"), 8, 6, QColor(1, 2, 3), 100)));
        QVERIFY(dialog->HasAlpha());
        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcDisplayAlpha)->click();

        dialog->Button(kIdcModeButton)->click();
        ControlStates states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);
        QVERIFY(states.rgbaChecked && states.alphaChecked);  // checks are not touched

        dialog->Button(kIdcModeButton)->click();
        states = StatesOf(*dialog);
        QVERIFY(!states.fmem1Enabled && !states.fmem2Enabled);
        QVERIFY(states.rgbaEnabled && states.alphaEnabled);
        QVERIFY(states.rgbaChecked && states.alphaChecked);
    }

    void EnterAndEscapeDoNothing()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        int finished = 0;
        connect(dialog.get(), &QDialog::finished, this, [&finished] { ++finished; });
        const QList<QWidget*> targets = {
            dialog.get(), dialog->Control(kIdcClose), dialog->Control(kIdcTransferButton),
            dialog->IpAddress()->Field(2), dialog->Control(kIdcWidthBox)};
        for (QWidget* target : targets) {
            target->setFocus();
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(target, key);
        }
        QCOMPARE(finished, 0);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->Mode(), 0);             // Enter on a button did not press it
        QVERIFY(messages.Messages().isEmpty());  // nor did it press Send
        // CLOSE ends the window.
        dialog->Button(kIdcClose)->click();
        QCOMPARE(finished, 1);
        QVERIFY(!dialog->isVisible());
    }

    void AddressBoxFieldsAndBlankTest()
    {
        auto dialog = OpenMainWindow();
        CIPAddressCtrl* address = dialog->IpAddress();
        std::array<uint8_t, 4> bytes{};
        QCOMPARE(address->GetAddress(&bytes), 4);
        QCOMPARE(bytes, (std::array<uint8_t, 4>{192, 168, 0, 10}));
        QVERIFY(!address->IsBlank());
        address->ClearAddress();
        QVERIFY(address->IsBlank());
        // A partly filled address is not blank; its empty fields read as 0.
        address->Field(0)->setText(QStringLiteral("127"));
        address->Field(3)->setText(QStringLiteral("1"));
        QVERIFY(!address->IsBlank());
        QCOMPARE(address->GetAddress(&bytes), 2);
        QCOMPARE(bytes, (std::array<uint8_t, 4>{127, 0, 0, 1}));
        // Typing: a dot moves on, three digits move on, values above 255 are capped to 255 and
        // stay selected in their field.
        address->ClearAddress();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        address->Field(0)->setFocus();
        QTest::keyClicks(address->Field(0), QStringLiteral("10"));
        QTest::keyClick(address->Field(0), Qt::Key_Period);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("999"));
        QCOMPARE(QApplication::focusWidget(), address->Field(1));
        QCOMPARE(address->Field(1)->text(), QStringLiteral("255"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Period);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("7x"));
        QCOMPARE(address->AddressText(), QStringLiteral("10.255.7."));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Period);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("1"));
        QCOMPARE(QApplication::focusWidget(), address->Field(3));
        QCOMPARE(address->AddressText(), QStringLiteral("10.255.7.1"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        QCOMPARE(QApplication::focusWidget(), address->Field(2));
        QVERIFY(!address->IsBlank());
        QVERIFY(!address->SetAddressText(QStringLiteral("1.2.3")));
        QVERIFY(!address->SetAddressText(QStringLiteral("1.2.3.256")));
        QVERIFY(address->SetAddressText(QStringLiteral("127.0.0.1")));
        QCOMPARE(address->AddressText(), QStringLiteral("127.0.0.1"));
    }

    void SendWithBlankAddressIsRefusedFirst()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        g_progressTotal = 77;
        g_progressDone = 66;
        dialog->IpAddress()->ClearAddress();
        dialog->Button(kIdcTransferButton)
            ->click();  // no picture either: the address is tested first
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Address is Empty")});
        QCOMPARE(g_progressTotal.load(), 77);  // counters untouched
        QCOMPARE(g_progressDone.load(), 66);
        messages.Clear();
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        dialog->Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Image is null")});
        QCOMPARE(g_progressTotal.load(), -1);
        QCOMPARE(g_progressDone.load(), 0);
        QCOMPARE(g_progressDirection.load(), 1);
    }

    void ReadsJobSettingsFromTheControls()
    {
        auto dialog = OpenMainWindow();
        dialog->SetSwitcherPort(4321);
        JobSettings settings = dialog->ReadJobSettings();
        QCOMPARE(settings.raster, OutputRaster::HD1080);
        QCOMPARE(settings.aspect, AspectMode::Full);
        QVERIFY(settings.fmem1 && !settings.rgbaPair);
        QCOMPARE(settings.link.port, uint16_t(4321));
        QCOMPARE(settings.address, (std::array<uint8_t, 4>{192, 168, 0, 10}));
        dialog->Button(kIdcSd480)->click();
        dialog->Button(kIdcKeep)->click();
        dialog->Button(kIdcFmem2)->click();
        settings = dialog->ReadJobSettings();
        QCOMPARE(settings.raster, OutputRaster::SD480);
        QCOMPARE(settings.aspect, AspectMode::Keep);
        QVERIFY(!settings.fmem1);
        // No size checked at all: the largest raster.
        dialog->Button(kIdcSd480)->setChecked(false);
        QCOMPARE(dialog->ReadJobSettings().raster, OutputRaster::HD1080);
        dialog->Button(kIdcSd576)->setChecked(true);
        dialog->Button(kIdcHd720)->setChecked(true);
        QCOMPARE(dialog->ReadJobSettings().raster, OutputRaster::HD720);  // first checked wins
    }

    void MissingLibraryEndsTheProgram()
    {
        MessageRecorder messages;
        CImageToolDlg dialog;
        QVERIFY(!dialog.OnInitDialog(&BindNothing));
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Cannot load libImgPort.so\n")});
        messages.Clear();
        CImageToolDlg other;
        QVERIFY(!other.OnInitDialog(&BindWithoutExport));
        QVERIFY(messages.Messages().isEmpty());  // a missing export is only a debug line
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
