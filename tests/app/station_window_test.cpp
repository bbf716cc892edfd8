// The window with station settings, the transfer journal, verification after a write, busy
// retries and palette transparency as alpha: files written by the tests, switcher-emu on
// 127.0.0.1.
#include <vector>

#include <QAction>
#include <QFile>
#include <QImage>
#include <QTest>

#include "app/image_tool_dlg.h"
#include "station/transfer_journal.h"
#include "tests/app/app_test_support.h"

namespace {

QString JournalFile()
{
    return StationFolder().path() + QStringLiteral("/state/imgcast/transfers.log");
}

std::vector<JournalEntry> ReadJournal()
{
    std::vector<JournalEntry> entries;
    QFile file(JournalFile());
    if (!file.open(QIODevice::ReadOnly)) return entries;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty()) continue;
        JournalEntry entry;
        if (!ParseJournalLine(line.toStdString(), &entry)) qFatal("unparseable: %s", line.data());
        entries.push_back(entry);
    }
    return entries;
}

QAction* Action(const CImageToolDlg& dialog, const char* name)
{
    return dialog.findChild<QAction*>(QString::fromLatin1(name));
}

// Points the window at the emulator; nothing is ever sent elsewhere.
void UseEmulator(CImageToolDlg& dialog, const CEmulatorProcess& emulator)
{
    dialog.SetSwitcherPort(emulator.Port());
    dialog.IpAddress()->SetAddress(127, 0, 0, 1);
}

}  // namespace

class StationWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        WriteUserSettings({});
        QFile::remove(JournalFile());
    }

    void NoFileStartsWithTheDefaults()
    {
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("192.168.0.10"));
        QVERIFY(dialog->Button(kIdcHd1080)->isChecked());
        QVERIFY(dialog->Button(kIdcFull)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem1)->isChecked());
        QVERIFY(!dialog->Button(kIdcFmem2)->isChecked());
        QCOMPARE(dialog->SwitcherPort(), uint16_t{2006});
        const JobSettings settings = dialog->ReadJobSettings();
        QCOMPARE(settings.link.connectTimeoutMs, 5000);
        QCOMPARE(settings.link.idleTimeoutMs, 10000);
        QVERIFY(!settings.verify);
        QCOMPARE(settings.busyRetry.retries, 0);
        QVERIFY(!Action(*dialog, "paletteAlphaAction")->isChecked());
        QVERIFY(dialog->SettingsProblems().isEmpty());
        QCOMPARE(dialog->windowTitle(), dialog->BaseCaption());
        QVERIFY(dialog->FileDialogFolder(false).isEmpty());
        QVERIFY(messages.Messages().isEmpty());
    }

    void EveryKeyShowsInTheWindow()
    {
        WriteUserSettings(
            "[General]\nAddress=127.0.0.1\nRaster=720x576\nAspect=Keep\nFmem=2\nPort=2999\n"
            "ConnectTimeout=2.5\nIdleTimeout=3\nVerify=true\nRetry=3\nPaletteAlpha=true\n");
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        QVERIFY2(dialog->SettingsProblems().isEmpty(),
                 qPrintable(dialog->SettingsProblems().join('|')));
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("127.0.0.1"));
        QVERIFY(dialog->Button(kIdcSd576)->isChecked());
        QVERIFY(!dialog->Button(kIdcHd1080)->isChecked());
        QVERIFY(dialog->Button(kIdcKeep)->isChecked());
        QVERIFY(!dialog->Button(kIdcFull)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem2)->isChecked());
        QVERIFY(!dialog->Button(kIdcFmem1)->isChecked());
        QCOMPARE(dialog->SwitcherPort(), uint16_t{2999});
        const JobSettings settings = dialog->ReadJobSettings();
        QCOMPARE(settings.raster, OutputRaster::SD576);
        QCOMPARE(settings.aspect, AspectMode::Keep);
        QVERIFY(!settings.fmem1);
        QCOMPARE(settings.link.port, uint16_t{2999});
        QCOMPARE(settings.link.connectTimeoutMs, 2500);
        QCOMPARE(settings.link.idleTimeoutMs, 3000);
        QVERIFY(settings.verify);
        QVERIFY(Action(*dialog, "verifyAction")->isChecked());
        QCOMPARE(settings.busyRetry.retries, 3);
        QVERIFY(Action(*dialog, "paletteAlphaAction")->isChecked());
        QVERIFY(messages.Messages().isEmpty());
    }

    void RememberLastWritesBackOnCloseAndStartsWithIt()
    {
        WriteUserSettings("; the station's own note\n[General]\nRememberLast=true\nPort=2999\n");
        QTemporaryDir pictures, saves;
        const QString picture =
            WriteUniformPicture(pictures, QStringLiteral("card.png"), 64, 36, Qt::red);
        const QString saved = saves.filePath(QStringLiteral("frame.bmp"));
        CImageToolDlg::SetFilePathHook([&](bool save) { return save ? saved : picture; });
        MessageRecorder messages;
        {
            auto dialog = OpenMainWindow();
            dialog->IpAddress()->SetAddress(10, 1, 2, 3);  // never contacted: nothing is sent
            dialog->Button(kIdcHd720)->click();
            dialog->Button(kIdcKeep)->click();
            dialog->Button(kIdcFmem2)->click();
            dialog->Button(kIdcImageButton)->click();  // Select Image
            QVERIFY(dialog->CurrentPicture());
            dialog->Button(kIdcModeButton)->click();
            dialog->Button(kIdcImageButton)->click();  // Save Image
            QVERIFY(QFile::exists(saved));
            dialog->Button(kIdcModeButton)->click();
            dialog->Button(kIdcClose)->click();
        }
        CImageToolDlg::SetFilePathHook(nullptr);
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QFile file(UserSettingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("; the station's own note"));
        QVERIFY(text.contains("Port=2999"));

        auto dialog = OpenMainWindow();
        QVERIFY(dialog->SettingsProblems().isEmpty());
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("10.1.2.3"));
        QVERIFY(dialog->Button(kIdcHd720)->isChecked());
        QVERIFY(dialog->Button(kIdcKeep)->isChecked());
        QVERIFY(dialog->Button(kIdcFmem2)->isChecked());
        QCOMPARE(dialog->FileDialogFolder(false), QFileInfo(picture).absolutePath());
        QCOMPARE(dialog->FileDialogFolder(true), QFileInfo(saved).absolutePath());
        QCOMPARE(dialog->SwitcherPort(), uint16_t{2999});

        // A host name, which the address control cannot hold, stays in the file.
        WriteUserSettings("[General]\nRememberLast=true\nAddress=switcher.local\n");
        auto named = OpenMainWindow();
        QCOMPARE(named->IpAddress()->AddressText(), QStringLiteral("192.168.0.10"));
        named->Button(kIdcSd480)->click();
        named->Button(kIdcClose)->click();
        QFile hostFile(UserSettingsFile());
        QVERIFY(hostFile.open(QIODevice::ReadOnly));
        const QByteArray hostText = hostFile.readAll();
        QVERIFY2(hostText.contains("Address=switcher.local"), hostText.constData());
        QVERIFY(hostText.contains("Raster=720x487"));

        // Without RememberLast nothing is written back.
        WriteUserSettings("[General]\nRaster=1280x720\n");
        auto forgetful = OpenMainWindow();
        forgetful->Button(kIdcSd480)->click();
        forgetful->Button(kIdcClose)->click();
        QFile again(UserSettingsFile());
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), QByteArray("[General]\nRaster=1280x720\n"));
    }

    void BrokenFileIsReportedInTheTitleAndTheDefaultsKept()
    {
        WriteUserSettings("[General]\nPort=70000\nRaster=banana\nAddress=switcher.local\n");
        MessageRecorder messages;
        auto dialog = OpenMainWindow();
        const QStringList problems = dialog->SettingsProblems();
        QCOMPARE(problems.size(), 3);
        QVERIFY2(problems[0].startsWith(UserSettingsFile() + QStringLiteral(":2: ")),
                 qPrintable(problems[0]));
        QVERIFY(problems[1].startsWith(UserSettingsFile() + QStringLiteral(":3: ")));
        QVERIFY(problems[2].contains(QStringLiteral("switcher.local")));
        QCOMPARE(dialog->SwitcherPort(), uint16_t{2006});
        QVERIFY(dialog->Button(kIdcHd1080)->isChecked());
        QCOMPARE(dialog->IpAddress()->AddressText(), QStringLiteral("192.168.0.10"));
        // Shown once in the title, no box; the next action clears it.
        QVERIFY(messages.Messages().isEmpty());
        QVERIFY(dialog->windowTitle().contains(problems[0]));
        dialog->Button(kIdcHd720)->click();
        QCOMPARE(dialog->windowTitle(), dialog->BaseCaption());
    }

    void SendAndGetEachAppendOneJournalLine()
    {
        MessageRecorder messages;
        auto emulator = StartEmulator();
        QVERIFY(emulator->Port() != 0);
        auto dialog = OpenMainWindow();
        UseEmulator(*dialog, *emulator);
        const QString picture =
            WritePatternPicture(m_dir, QStringLiteral("journal card.png"), 101, 57, false);
        QVERIFY(dialog->LoadFromFile(picture));
        dialog->Button(kIdcKeep)->click();
        dialog->Button(kIdcTransferButton)->click();
        dialog->Button(kIdcModeButton)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QCOMPARE(dialog->Journal().Path(), JournalFile().toStdString());

        std::vector<JournalEntry> entries = ReadJournal();
        QCOMPARE(entries.size(), size_t{2});
        const JournalEntry& sent = entries[0];
        QCOMPARE(sent.program, std::string("ImgCast"));
        QCOMPARE(sent.host, std::string("127.0.0.1"));
        QCOMPARE(sent.port, int{emulator->Port()});
        QVERIFY(sent.send);
        QCOMPARE(sent.fmem, 1);
        QVERIFY(!sent.pair);
        QCOMPARE(sent.file, picture.toStdString());
        QCOMPARE(sent.width, 1920);
        QCOMPARE(sent.height, 1080);
        QVERIFY(sent.keepAspect);
        QCOMPARE(sent.result, 0);
        QCOMPARE(sent.message, std::string());
        QCOMPARE(sent.bytes, int64_t{1920 * 1080 * 2});
        QVERIFY(sent.milliseconds >= 0);
        QVERIFY(sent.timeMilliseconds > 0);
        const JournalEntry& got = entries[1];
        QVERIFY(!got.send);
        QCOMPARE(got.file, std::string("preview"));
        QCOMPARE(got.width, 1920);
        QCOMPARE(got.height, 1080);
        QCOMPARE(got.result, 0);
        QCOMPARE(got.bytes, int64_t{1920 * 1080 * 2});

        // A failed Get is journalled with the message the window showed.
        auto refusing = StartEmulator({QStringLiteral("--command-reply"), QStringLiteral("AD")});
        dialog->SetSwitcherPort(refusing->Port());
        dialog->Button(kIdcTransferButton)->click();
        QCOMPARE(messages.Messages().size(), 1);
        entries = ReadJournal();
        QCOMPARE(entries.size(), size_t{3});
        QVERIFY(entries[2].result != 0);
        QCOMPARE(QString::fromStdString(entries[2].message), messages.Messages().first());
    }

    void UnwritableJournalIsReportedOnceAndTransfersGoOn()
    {
        QVERIFY(QDir().mkpath(JournalFile()));  // a folder where the file should be
        MessageRecorder messages;
        auto emulator = StartEmulator();
        auto dialog = OpenMainWindow();
        UseEmulator(*dialog, *emulator);
        QVERIFY(dialog->LoadFromFile(
            WriteUniformPicture(m_dir, QStringLiteral("plain.png"), 32, 32, Qt::blue)));
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY(messages.Messages().isEmpty());
        QVERIFY(!dialog->StatusText().isEmpty());  // the send was confirmed
        QVERIFY2(dialog->windowTitle().contains(QStringLiteral("not written")),
                 qPrintable(dialog->windowTitle()));
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY(messages.Messages().isEmpty());
        QVERIFY(!dialog->windowTitle().contains(QStringLiteral("not written")));
        QDir(JournalFile()).removeRecursively();
    }

    void VerifyAfterWriteCatchesACorruptedStore()
    {
        WriteUserSettings("[General]\nVerify=true\n");
        const QString picture = WritePatternPicture(m_dir, QStringLiteral("v.png"), 64, 48, false);
        for (bool corrupt : {false, true}) {
            MessageRecorder messages;
            auto emulator =
                corrupt ? StartEmulator({QStringLiteral("--corrupt-store")}) : StartEmulator();
            auto dialog = OpenMainWindow();
            UseEmulator(*dialog, *emulator);
            QVERIFY(dialog->LoadFromFile(picture));
            dialog->Button(kIdcFmem2)->click();
            dialog->Button(kIdcTransferButton)->click();
            if (corrupt) {
                QCOMPARE(
                    messages.Messages(),
                    QStringList{QStringLiteral("FMEM 2 does not hold the picture that was sent")});
                QVERIFY(dialog->StatusText().isEmpty());
            } else {
                QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
            }
            // Off, the corrupted store goes unnoticed.
            messages.Clear();
            Action(*dialog, "verifyAction")->trigger();
            QVERIFY(!dialog->ReadJobSettings().verify);
            dialog->Button(kIdcTransferButton)->click();
            QVERIFY(messages.Messages().isEmpty());
        }
    }

    void RetryFromTheFileRidesOutABusySwitcher()
    {
        const QString picture =
            WriteUniformPicture(m_dir, QStringLiteral("busy.png"), 32, 32, Qt::green);
        for (int retry : {0, 3}) {
            WriteUserSettings(QByteArray("[General]\nRetry=") + QByteArray::number(retry) + "\n");
            MessageRecorder messages;
            auto emulator = StartEmulator({QStringLiteral("--busy"), QStringLiteral("2")});
            auto dialog = OpenMainWindow();
            UseEmulator(*dialog, *emulator);
            QVERIFY(dialog->LoadFromFile(picture));
            dialog->Button(kIdcTransferButton)->click();
            if (retry == 0) {
                QCOMPARE(messages.Messages().size(), 1);
            } else {
                QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
                QVERIFY(!dialog->StatusText().isEmpty());
            }
        }
    }

    void PaletteTransparencyBecomesAlpha()
    {
        // An indexed PNG whose first palette entry is transparent (written with a tRNS chunk).
        QImage indexed(40, 20, QImage::Format_Indexed8);
        indexed.setColorTable({qRgba(0, 0, 0, 0), qRgb(200, 30, 30)});
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 40; ++x) indexed.setPixel(x, y, x < 10 ? 0 : 1);
        const QString keyed = m_dir.filePath(QStringLiteral("keyed.png"));
        QVERIFY(indexed.save(keyed));
        const QString plain =
            WriteUniformPicture(m_dir, QStringLiteral("opaque.png"), 40, 20, QColor(200, 30, 30));

        MessageRecorder messages;
        auto emulator = StartEmulator({}, m_dir.filePath(QStringLiteral("store")));
        auto dialog = OpenMainWindow();
        UseEmulator(*dialog, *emulator);
        QVERIFY(dialog->LoadFromFile(keyed));
        QVERIFY(!dialog->HasAlpha());  // off by default: as the library loads it
        QVERIFY(!dialog->Button(kIdcRgba)->isEnabled());

        Action(*dialog, "paletteAlphaAction")->trigger();
        QVERIFY(dialog->LoadFromFile(keyed));
        QVERIFY(dialog->HasAlpha());
        QVERIFY(dialog->Button(kIdcRgba)->isEnabled());
        QVERIFY(dialog->Button(kIdcDisplayAlpha)->isEnabled());
        const auto picture = dialog->CurrentPicture();
        QCOMPARE(picture->alpha[0], uint8_t{0});
        QCOMPARE(picture->alpha[size_t(picture->stride) * 10 + 20 * 3], uint8_t{255});

        dialog->Button(kIdcRgba)->click();
        dialog->Button(kIdcTransferButton)->click();
        QVERIFY2(messages.Messages().isEmpty(), qPrintable(messages.Messages().join('|')));
        QVERIFY(QFile::exists(m_dir.filePath(QStringLiteral("store/fmem2.ycbcr"))));
        const std::vector<JournalEntry> entries = ReadJournal();
        QCOMPARE(entries.size(), size_t{1});
        QVERIFY(entries[0].pair);

        // Nothing to add: the picture stays without alpha.
        QVERIFY(dialog->LoadFromFile(plain));
        QVERIFY(!dialog->HasAlpha());
        QVERIFY(!dialog->Button(kIdcRgba)->isEnabled());
    }

  private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(StationWindowTest)
#include "station_window_test.moc"
