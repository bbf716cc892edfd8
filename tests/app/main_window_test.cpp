// The main window without a picture and without a switcher: start-up state, layout, the radio
// groups, the mode toggle, key handling and the address box.
#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <array>

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
    return {dialog.Button(1019)->isEnabled(), dialog.Button(1020)->isEnabled(),
            dialog.Button(1021)->isEnabled(), dialog.Button(1022)->isEnabled(),
            dialog.Button(1021)->isChecked(), dialog.Button(1022)->isChecked()};
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
        QCOMPARE(dialog->m_mode, 0);
        for (int id : {1002, 1012, 1019})
            QVERIFY2(dialog->Button(id)->isChecked(), qPrintable(QString::number(id)));
        for (int id : {1003, 1004, 1005, 1013, 1020, 1021, 1022})
            QVERIFY2(!dialog->Button(id)->isChecked(), qPrintable(QString::number(id)));
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("192.168.0.10"));
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(1008))->text(), QStringLiteral("0"));
        QCOMPARE(static_cast<QLineEdit*>(dialog->Control(1009))->text(), QStringLiteral("0"));
        QCOMPARE(dialog->Button(1015)->text(), QStringLiteral("To QX700"));
        QCOMPARE(dialog->Button(1006)->text(), QStringLiteral("Send"));
        QCOMPARE(dialog->Button(1000)->text(), QStringLiteral("Select Image"));
        QCOMPARE(dialog->windowTitle(),
                 QStringLiteral("Korvex QX700 Image Transmission Tool Ver 1.0.0 (2008/07/10)"));
        QVERIFY(!dialog->Button(1021)->isEnabled());
        QVERIFY(!dialog->Button(1022)->isEnabled());
        QVERIFY(!dialog->Button(1014)->isEnabled());
        QVERIFY(dialog->Button(1014)->isHidden());
        QVERIFY(!dialog->CurrentPicture());
        QCOMPARE(dialog->m_blank.red + dialog->m_blank.green + dialog->m_blank.blue, 0);
        QVERIFY(messages.Messages().isEmpty());
    }

    void LabelsAndKindsFollowTheTemplate()
    {
        auto dialog = OpenMainWindow();
        // The doubled ampersand is the escape for one literal ampersand, not a mnemonic.
        QCOMPARE(dialog->Button(1021)->text(), QStringLiteral("RGBA(FMEM1&&2)"));
        QVERIFY(QKeySequence::mnemonic(dialog->Button(1021)->text()).isEmpty());
        QVERIFY(dialog->Button(1021)->isCheckable());
        QVERIFY(qobject_cast<QPushButton*>(dialog->Button(1022)));
        QVERIFY(dialog->Button(1022)->isCheckable());
        for (int id : {1002, 1003, 1004, 1005, 1012, 1013, 1019, 1020}) {
            auto* radio = qobject_cast<QRadioButton*>(dialog->Button(id));
            QVERIFY(radio);
            QVERIFY(!radio->autoExclusive());
            QCOMPARE(radio->group(), nullptr);
            QCOMPARE(radio->focusPolicy() & Qt::TabFocus, 0);
        }
        QVERIFY(static_cast<QLineEdit*>(dialog->Control(1008))->isReadOnly());
        QVERIFY(static_cast<QLineEdit*>(dialog->Control(1009))->alignment() & Qt::AlignRight);
        QCOMPARE(dialog->findChild<QGroupBox*>(QStringLiteral("sizeGroup"))->title(),
                 QStringLiteral("Size"));
        QCOMPARE(dialog->findChild<QGroupBox*>(QStringLiteral("aspectGroup"))->title(),
                 QStringLiteral("Aspect"));
        QCOMPARE(
            dialog->findChild<QWidget*>(QStringLiteral("ipAddressLabel"))->property("groupStart"),
            QVariant(true));
        QCOMPARE(static_cast<QPushButton*>(dialog->Control(1))->text(), QStringLiteral("CLOSE"));
        QVERIFY(static_cast<QPushButton*>(dialog->Control(1))->isDefault());
    }

    void PlacesControlsInDialogUnitsOfItsFont()
    {
        auto dialog = OpenMainWindow();
        const QFontMetrics metrics(dialog->font());
        const int baseX = (metrics.horizontalAdvance(QStringLiteral(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                               26 +
                           1) /
                          2;
        const int baseY = metrics.height();
        QVERIFY(baseX > 0 && baseY > 0);
        QCOMPARE(dialog->font().pointSize(), 8);
        QCOMPARE(dialog->size(), QSize(521 * baseX / 4, 324 * baseY / 8));
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        QVERIFY(!(dialog->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
        struct Expected {
            int id, x, y, width, height;
        };
        const Expected expected[] = {{1, 460, 1, 57, 14},      {1007, 1, 1, 452, 321},
                                     {1015, 462, 26, 54, 15},  {1001, 457, 179, 62, 10},
                                     {1005, 464, 241, 37, 10}, {1009, 489, 308, 29, 12}};
        for (const Expected& e : expected) {
            const QRect geometry = dialog->Control(e.id)->geometry();
            QCOMPARE(geometry.x(), e.x * baseX / 4);
            QCOMPARE(geometry.y(), e.y * baseY / 8);
            QCOMPARE(geometry.right() + 1, (e.x + e.width) * baseX / 4);
            QCOMPARE(geometry.bottom() + 1, (e.y + e.height) * baseY / 8);
        }
    }

    void RadioGroupsKeepExactlyOneCheck()
    {
        auto dialog = OpenMainWindow();
        const std::array<std::array<int, 4>, 3> groups = {
            {{1002, 1003, 1004, 1005}, {1012, 1013, 0, 0}, {1019, 1020, 0, 0}}};
        for (const auto& group : groups) {
            for (int clicked : group) {
                if (clicked == 0) continue;
                // Twice: clicking a checked plain radio button must leave it checked.
                for (int repeat = 0; repeat < 2; ++repeat) {
                    QTest::mouseClick(dialog->Button(clicked), Qt::LeftButton);
                    for (int other : group) {
                        if (other != 0)
                            QCOMPARE(dialog->Button(other)->isChecked(), other == clicked);
                    }
                }
            }
        }
        // The groups do not touch each other.
        QVERIFY(dialog->Button(1005)->isChecked());
        QVERIFY(dialog->Button(1013)->isChecked());
        QVERIFY(dialog->Button(1020)->isChecked());
    }

    void RgbaDisablesTheTargetRadios()
    {
        auto dialog = OpenMainWindow();
        dialog->Button(1021)->setEnabled(true);
        dialog->Button(1021)->click();
        QVERIFY(dialog->Button(1021)->isChecked());
        QVERIFY(!dialog->Button(1019)->isEnabled());
        QVERIFY(!dialog->Button(1020)->isEnabled());
        dialog->Button(1021)->click();
        QVERIFY(!dialog->Button(1021)->isChecked());
        QVERIFY(dialog->Button(1019)->isEnabled());
        QVERIFY(dialog->Button(1020)->isEnabled());
    }

    void ModeToggleWithoutPicture()
    {
        auto dialog = OpenMainWindow();
        dialog->Button(1015)->click();
        QCOMPARE(dialog->m_mode, 1);
        QCOMPARE(dialog->Button(1015)->text(), QStringLiteral("From QX700"));
        QCOMPARE(dialog->Button(1006)->text(), QStringLiteral("Get"));
        QCOMPARE(dialog->Button(1000)->text(), QStringLiteral("Save Image"));
        for (int id : {1017, 1016, 1002, 1003, 1004, 1005, 1012, 1013})
            QVERIFY2(!dialog->Control(id)->isEnabled(), qPrintable(QString::number(id)));
        ControlStates states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);

        dialog->Button(1015)->click();
        QCOMPARE(dialog->m_mode, 0);
        QCOMPARE(dialog->Button(1015)->text(), QStringLiteral("To QX700"));
        QCOMPARE(dialog->Button(1006)->text(), QStringLiteral("Send"));
        QCOMPARE(dialog->Button(1000)->text(), QStringLiteral("Select Image"));
        for (int id : {1017, 1016, 1002, 1003, 1004, 1005, 1012, 1013})
            QVERIFY2(dialog->Control(id)->isEnabled(), qPrintable(QString::number(id)));
        // Without an alpha picture RGBA and Display Alpha stay as they were: disabled.
        states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);
        // The radio checks survive both toggles.
        QVERIFY(dialog->Button(1002)->isChecked());
        QVERIFY(dialog->Button(1012)->isChecked());
    }

    void ModeToggleWithRgbaChecked()
    {
        auto dialog = OpenMainWindow();
        dialog->m_hasAlpha = 1;  // as after loading a picture with alpha
        dialog->Button(1021)->setEnabled(true);
        dialog->Button(1022)->setEnabled(true);
        dialog->Button(1021)->click();
        dialog->Button(1022)->click();

        dialog->Button(1015)->click();
        ControlStates states = StatesOf(*dialog);
        QVERIFY(states.fmem1Enabled && states.fmem2Enabled);
        QVERIFY(!states.rgbaEnabled && !states.alphaEnabled);
        QVERIFY(states.rgbaChecked && states.alphaChecked);  // checks are not touched

        dialog->Button(1015)->click();
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
        const QList<QWidget*> targets = {dialog.get(), dialog->Control(1), dialog->Control(1006),
                                         dialog->IpAddress()->Field(2), dialog->Control(1008)};
        for (QWidget* target : targets) {
            target->setFocus();
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(target, key);
        }
        QCOMPARE(finished, 0);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->m_mode, 0);             // Enter on a button did not press it
        QVERIFY(messages.Messages().isEmpty());  // nor did it press Send
        // CLOSE ends the window.
        dialog->Button(1)->click();
        QCOMPARE(finished, 1);
        QVERIFY(!dialog->isVisible());
    }

    void TabVisitsTheTabStopsInTemplateOrder()
    {
        auto dialog = OpenMainWindow();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        dialog->Control(1)->setFocus();
        const QList<QWidget*> expected = {dialog->Control(1000), dialog->IpAddress()->Field(0),
                                          dialog->Control(1006), dialog->Control(1008),
                                          dialog->Control(1009), dialog->Control(1015),
                                          dialog->Control(1)};
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
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
        dialog->Button(1006)->click();  // no picture either: the address is tested first
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Address is Empty")});
        QCOMPARE(g_progressTotal.load(), 77);  // counters untouched
        QCOMPARE(g_progressDone.load(), 66);
        messages.Clear();
        dialog->IpAddress()->SetAddress(127, 0, 0, 1);
        dialog->Button(1006)->click();
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
        dialog->Button(1004)->click();
        dialog->Button(1013)->click();
        dialog->Button(1020)->click();
        settings = dialog->ReadJobSettings();
        QCOMPARE(settings.raster, OutputRaster::SD480);
        QCOMPARE(settings.aspect, AspectMode::Keep);
        QVERIFY(!settings.fmem1);
        // No size checked at all: the largest raster.
        dialog->Button(1004)->setChecked(false);
        QCOMPARE(dialog->ReadJobSettings().raster, OutputRaster::HD1080);
        dialog->Button(1005)->setChecked(true);
        dialog->Button(1003)->setChecked(true);
        QCOMPARE(dialog->ReadJobSettings().raster, OutputRaster::HD720);  // first checked wins
    }

    void MissingLibraryEndsTheProgram()
    {
        MessageRecorder messages;
        CImageToolDlg dialog;
        QVERIFY(!dialog.OnInitDialog(&BindNothing));
        QCOMPARE(messages.Messages(), QStringList{QStringLiteral("Cannot load ImgPort.dll\n")});
        messages.Clear();
        CImageToolDlg other;
        QVERIFY(!other.OnInitDialog(&BindWithoutExport));
        QVERIFY(messages.Messages().isEmpty());  // a missing export is only a debug line
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
