// The settings file against QSettings itself (IniFormat), which the window uses on the same
// file: values QSettings writes are read back unchanged, and a file the writer has rewritten
// reads back in QSettings with every other key intact.
#include <string>
#include <vector>

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

#include "station/station_settings.h"
#include "tests/station/station_test_support.h"

namespace {

// Folder names that exercise every rule of the dialect; all valid UTF-8, as QString holds.
const std::vector<std::string> kFolders = {
    "/plain/folder",
    "/with, comma; semicolon = equals",
    " /leading and trailing spaces ",
    "/quote \" and backslash \\ and slash /",
    "/tab\there/newline\nthere/cr\rthere",
    "@/starts with at",
    "@@/two ats",
    "@Invalid()",
    "/control \x01\x1f and a digit after \x02"
    "7",
    "/M\xC3\xBCller/\xE6\xBC\xA2\xE5\xAD\x97/\xF0\x9F\x98\x80",
    "[General]",
    "",
};

std::string ReadWithParser(const std::string& path, std::vector<SettingsProblem>* problems)
{
    StationSettings settings;
    LoadStationSettingsFile(path, &settings, problems);
    return settings.lastImageFolder;
}

}  // namespace

TEST(QSettingsInterop, ParserReadsWhatQSettingsWrites)
{
    CTemporaryFolder folder;
    for (const std::string& value : kFolders) {
        const std::string path = folder.File("qt.conf");
        std::remove(path.c_str());
        {
            QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
            settings.setValue("LastImageFolder", QString::fromStdString(value));
            settings.setValue("Port", 2007);
            settings.setValue("RememberLast", true);
            settings.setValue("ConnectTimeout", 2.5);
            settings.setValue("MainWindow/geometry", QByteArray("\x01\xd9\xd0\xcb", 4));
            settings.sync();
            ASSERT_EQ(settings.status(), QSettings::NoError);
        }
        StationSettings read;
        std::vector<SettingsProblem> problems;
        LoadStationSettingsFile(path, &read, &problems);
        EXPECT_EQ(read.lastImageFolder, value) << ReadTextFile(path);
        EXPECT_EQ(read.port, 2007);
        EXPECT_TRUE(read.rememberLast);
        EXPECT_EQ(read.connectTimeoutSeconds, 2.5);
        EXPECT_TRUE(problems.empty()) << ReadTextFile(path) << "\n"
                                      << FormatSettingsProblem(problems[0]);
    }
}

TEST(QSettingsInterop, QSettingsReadsWhatTheWriterWrites)
{
    CTemporaryFolder folder;
    for (const std::string& value : kFolders) {
        const std::string path = folder.File("ours.conf");
        std::remove(path.c_str());
        {
            QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
            settings.setValue("Verify", true);
            settings.setValue("Recent", QStringList{"a", "b,c"});
            settings.setValue("MainWindow/geometry", QByteArray("\x01\xd9\xd0\xcb", 4));
            settings.setValue("MainWindow/state", 3);
            settings.sync();
        }
        StationSettings remembered;
        remembered.address = "switcher.example";
        remembered.raster = StationRaster::SD576;
        remembered.keepAspect = true;
        remembered.fmem = 2;
        remembered.lastImageFolder = value;
        remembered.lastSaveFolder = "/saved";
        std::string error;
        ASSERT_TRUE(SaveRememberedSettingsTo(path, remembered, &error)) << error;

        QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
        EXPECT_EQ(settings.status(), QSettings::NoError) << ReadTextFile(path);
        EXPECT_EQ(settings.value("LastImageFolder").toString().toStdString(), value)
            << ReadTextFile(path);
        EXPECT_EQ(settings.value("LastSaveFolder").toString(), "/saved");
        EXPECT_EQ(settings.value("Address").toString(), "switcher.example");
        EXPECT_EQ(settings.value("Raster").toString(), "720x576");
        EXPECT_EQ(settings.value("Aspect").toString(), "Keep");
        EXPECT_EQ(settings.value("Fmem").toInt(), 2);
        // What QSettings wrote itself is still there.
        EXPECT_TRUE(settings.value("Verify").toBool());
        EXPECT_EQ(settings.value("Recent").toStringList(), (QStringList{"a", "b,c"}));
        EXPECT_EQ(settings.value("MainWindow/geometry").toByteArray(),
                  QByteArray("\x01\xd9\xd0\xcb", 4));
        EXPECT_EQ(settings.value("MainWindow/state").toInt(), 3);
        std::vector<SettingsProblem> problems;
        EXPECT_EQ(ReadWithParser(path, &problems), value);
        ASSERT_EQ(problems.size(), 1u);  // "Recent" is not ours: a warning
        EXPECT_TRUE(problems[0].warning);
    }
}
