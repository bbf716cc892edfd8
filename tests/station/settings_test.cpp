// The settings file: defaults, every key's valid and invalid values, QSettings' INI dialect,
// broken files, user-over-system precedence, the XDG locations and the remembered values' writer.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "station/station_settings.h"
#include "station/xdg_paths.h"
#include "tests/station/station_test_support.h"

namespace {

bool operator==(const StationSettings& a, const StationSettings& b)
{
    return a.address == b.address && a.raster == b.raster && a.keepAspect == b.keepAspect &&
           a.fmem == b.fmem && a.port == b.port &&
           a.connectTimeoutSeconds == b.connectTimeoutSeconds &&
           a.idleTimeoutSeconds == b.idleTimeoutSeconds && a.rememberLast == b.rememberLast &&
           a.lastImageFolder == b.lastImageFolder && a.lastSaveFolder == b.lastSaveFolder &&
           a.verify == b.verify && a.retry == b.retry && a.paletteAlpha == b.paletteAlpha;
}

std::string Describe(const std::vector<SettingsProblem>& problems)
{
    std::string text;
    for (const SettingsProblem& problem : problems) text += FormatSettingsProblem(problem) + "\n";
    return text;
}

StationSettings Parse(const std::string& text, std::vector<SettingsProblem>* problems)
{
    StationSettings settings;
    ParseStationSettings(text, "test.conf", &settings, problems);
    return settings;
}

// A user folder and a system folder under a temporary folder, with the XDG variables pointing
// at them.
class StationFolders : public ::testing::Test {
  protected:
    void SetUp() override
    {
        m_environment.Set("HOME", m_folder.File("home"));
        m_environment.Set("XDG_CONFIG_HOME", m_folder.File("config"));
        m_environment.Set("XDG_CONFIG_DIRS",
                          m_folder.File("system1") + ":" + m_folder.File("system2"));
        for (const char* name : {"config", "system1", "system2"})
            ::mkdir((m_folder.File(name)).c_str(), 0700);
        for (const char* name : {"config", "system1", "system2"})
            ::mkdir((m_folder.File(name) + "/imgcast").c_str(), 0700);
    }
    std::string User() const { return m_folder.File("config") + "/imgcast/imgcast.conf"; }
    std::string System(int index) const
    {
        return m_folder.File("system" + std::to_string(index)) + "/imgcast/imgcast.conf";
    }

    CTemporaryFolder m_folder;
    CEnvironmentOverride m_environment;
};

}  // namespace

TEST_F(StationFolders, NoFileGivesTheDefaults)
{
    std::vector<SettingsProblem> problems;
    const StationSettings settings = LoadStationSettings(&problems);
    EXPECT_TRUE(settings == StationSettings{});
    EXPECT_EQ(settings.address, "192.168.0.10");
    EXPECT_EQ(settings.raster, StationRaster::HD1080);
    EXPECT_FALSE(settings.keepAspect);
    EXPECT_EQ(settings.fmem, 1);
    EXPECT_EQ(settings.port, 2006);
    EXPECT_EQ(settings.connectTimeoutSeconds, 5);
    EXPECT_EQ(settings.idleTimeoutSeconds, 10);
    EXPECT_FALSE(settings.rememberLast || settings.verify || settings.paletteAlpha);
    EXPECT_EQ(settings.retry, 0);
    EXPECT_TRUE(settings.lastImageFolder.empty() && settings.lastSaveFolder.empty());
    EXPECT_TRUE(problems.empty()) << Describe(problems);
}

TEST(SettingsKeys, ValidValuesAreTaken)
{
    struct Case {
        const char* line;
        std::function<bool(const StationSettings&)> holds;
    };
    const Case cases[] = {
        {"Address=127.0.0.1", [](auto& s) { return s.address == "127.0.0.1"; }},
        {"Address=switcher-2.studio.example",
         [](auto& s) { return s.address == "switcher-2.studio.example"; }},
        {"Address=localhost", [](auto& s) { return s.address == "localhost"; }},
        {"Address=studio_b.", [](auto& s) { return s.address == "studio_b."; }},
        {"Address=10.0.0.0", [](auto& s) { return s.address == "10.0.0.0"; }},
        {"Address=255.255.255.255", [](auto& s) { return s.address == "255.255.255.255"; }},
        {"Raster=1280x720", [](auto& s) { return s.raster == StationRaster::HD720; }},
        {"Raster=720x487", [](auto& s) { return s.raster == StationRaster::SD480; }},
        {"Raster=720x576", [](auto& s) { return s.raster == StationRaster::SD576; }},
        {"Raster=1920x1080", [](auto& s) { return s.raster == StationRaster::HD1080; }},
        {"Raster=HD720", [](auto& s) { return s.raster == StationRaster::HD720; }},
        {"Raster=SD480", [](auto& s) { return s.raster == StationRaster::SD480; }},
        {"Raster=sd576", [](auto& s) { return s.raster == StationRaster::SD576; }},
        {"Aspect=Keep", [](auto& s) { return s.keepAspect; }},
        {"Aspect=Full", [](auto& s) { return !s.keepAspect; }},
        {"Fmem=2", [](auto& s) { return s.fmem == 2; }},
        {"Port=1", [](auto& s) { return s.port == 1; }},
        {"Port=65535", [](auto& s) { return s.port == 65535; }},
        {"ConnectTimeout=2.5", [](auto& s) { return s.connectTimeoutSeconds == 2.5; }},
        {"IdleTimeout=30", [](auto& s) { return s.idleTimeoutSeconds == 30; }},
        {"IdleTimeout=0.001", [](auto& s) { return s.idleTimeoutSeconds == 0.001; }},
        {"RememberLast=true", [](auto& s) { return s.rememberLast; }},
        {"RememberLast=1", [](auto& s) { return s.rememberLast; }},
        {"Verify=true", [](auto& s) { return s.verify; }},
        {"PaletteAlpha=True", [](auto& s) { return s.paletteAlpha; }},
        {"Retry=20", [](auto& s) { return s.retry == 20; }},
        {"Retry=0", [](auto& s) { return s.retry == 0; }},
        {"LastImageFolder=/home/op/pictures",
         [](auto& s) { return s.lastImageFolder == "/home/op/pictures"; }},
        {"LastSaveFolder=", [](auto& s) { return s.lastSaveFolder.empty(); }},
    };
    for (const Case& c : cases) {
        std::vector<SettingsProblem> problems;
        const StationSettings settings =
            Parse(std::string("[General]\n") + c.line + "\n", &problems);
        EXPECT_TRUE(c.holds(settings)) << c.line;
        EXPECT_TRUE(problems.empty()) << c.line << "\n" << Describe(problems);
    }
}

TEST(SettingsKeys, InvalidValuesAreReportedAndKeepTheDefault)
{
    const char* lines[] = {
        "Address=",
        "Address=300.1.1.1",
        "Address=1.2.3",
        "Address=1.2.3.4.5",
        "Address=a b",
        "Address=192.168.0.010",
        "Address=caf\xC3\xA9.example",
        "Address=-bad.example",
        "Address=\"host;name\"",
        "Raster=1920x1081",
        "Raster=",
        "Raster=HD",
        "Aspect=Stretch",
        "Fmem=0",
        "Fmem=3",
        "Fmem=1.0",
        "Port=0",
        "Port=65536",
        "Port=-1",
        "Port=20x6",
        "Port=",
        "ConnectTimeout=0",
        "ConnectTimeout=-5",
        "ConnectTimeout=five",
        "ConnectTimeout=nan",
        "ConnectTimeout=inf",
        "IdleTimeout=1e9",
        "RememberLast=yes please",
        "Verify=2",
        "PaletteAlpha=",
        "Retry=21",
        "Retry=-1",
        "Retry=one",
        "LastImageFolder=/a,/b",  // an unquoted comma makes a list, not a folder
    };
    for (const char* line : lines) {
        std::vector<SettingsProblem> problems;
        const StationSettings settings =
            Parse(std::string("; header\n[General]\n") + line + "\n", &problems);
        EXPECT_TRUE(settings == StationSettings{}) << line;
        ASSERT_EQ(problems.size(), 1u) << line << "\n" << Describe(problems);
        EXPECT_EQ(problems[0].file, "test.conf");
        EXPECT_EQ(problems[0].line, 3) << line;
        EXPECT_FALSE(problems[0].warning);
        const std::string key = std::string(line).substr(0, std::string(line).find('='));
        EXPECT_EQ(problems[0].what.rfind(key + ":", 0), 0u) << problems[0].what;
    }
}

TEST(SettingsKeys, DottedAddressesGiveTheirBytes)
{
    std::array<uint8_t, 4> bytes{};
    EXPECT_TRUE(ParseDottedIpv4("192.168.0.10", &bytes));
    EXPECT_EQ(bytes, (std::array<uint8_t, 4>{192, 168, 0, 10}));
    EXPECT_TRUE(ParseDottedIpv4("0.0.0.255", &bytes));
    EXPECT_EQ(bytes, (std::array<uint8_t, 4>{0, 0, 0, 255}));
    for (const char* address : {"switcher.example", "1.2.3", "010.1.1.1", "1.2.3.256", ""})
        EXPECT_FALSE(ParseDottedIpv4(address, &bytes)) << address;
}

TEST(SettingsKeys, UnknownKeysAreWarningsOthersSectionsAreNotOurs)
{
    std::vector<SettingsProblem> problems;
    const StationSettings settings = Parse(
        "Colour=red\n[General]\nport=7\nPort=7\n[MainWindow]\ngeometry=@ByteArray(\\x1\\xd9)\n"
        "Port=9\n[General]\nGroup\\Port=8\n",
        &problems);
    EXPECT_EQ(settings.port, 7);  // keys are case-sensitive; other sections' keys are not ours
    ASSERT_EQ(problems.size(), 2u) << Describe(problems);
    EXPECT_TRUE(problems[0].warning && problems[1].warning);
    EXPECT_EQ(problems[0].line, 1);
    EXPECT_NE(problems[0].what.find("\"Colour\""), std::string::npos);
    EXPECT_EQ(problems[1].line, 3);
}

// What QSettings writes (and hand-edited variants of it) reads back as QSettings reads it.
TEST(SettingsDialect, ReadsWhatQSettingsWrites)
{
    struct Case {
        const char* text;
        const char* folder;  // expected LastImageFolder
    };
    const Case cases[] = {
        {"[General]\nLastImageFolder=/pictures\n", "/pictures"},
        {"LastImageFolder=/before/any/section\n", "/before/any/section"},
        {"[general]\r\nLastImageFolder=/crlf\r\n", "/crlf"},
        {"[General]\nLastImageFolder=\"/a, b; c=d\"\n", "/a, b; c=d"},
        {"[General]\nLastImageFolder=\" /leading and trailing \"\n", " /leading and trailing "},
        {"[General]\nLastImageFolder=  /spaces trimmed  \n", "/spaces trimmed"},
        {"[General]\nLastImageFolder=/quote\\\"and\\\\backslash\n", "/quote\"and\\backslash"},
        {"[General]\nLastImageFolder=/tab\\there\\nline\n", "/tab\there\nline"},
        // Qt 5 writes non-ASCII as \x escapes of UTF-16 units; a hex digit after one is escaped
        // too.
        {"[General]\nLastImageFolder=/M\\xfcller/Caf\\xe9\\x31\n",
         "/M\xC3\xBCller/Caf\xC3\xA9"
         "1"},
        {"[General]\nLastImageFolder=/\\x6f22\\x5b57\n", "/\xE6\xBC\xA2\xE5\xAD\x97"},
        {"[General]\nLastImageFolder=/\\xd83d\\xde00\n", "/\xF0\x9F\x98\x80"},  // a surrogate pair
        {"[General]\nLastImageFolder=/\\xd83dx\\xde00\n",
         "/\xEF\xBF\xBDx\xEF\xBF\xBD"},  // lone halves
        // Qt 6 writes UTF-8 as it is.
        {"[General]\nLastImageFolder=/M\xC3\xBCller\n", "/M\xC3\xBCller"},
        {"[General]\nLastImageFolder=@@at\n", "@at"},
        {"[General]\nLastImageFolder=/a ; a comment\n", "/a"},
        {"[General]\n; LastImageFolder=/commented\n# LastImageFolder=/hashed\nLastImageFolder=/b\n",
         "/b"},
        {"[General]\nLastImageFolder=/first\nLastImageFolder=/last wins\n", "/last wins"},
        {"[General]\nLastImageFolder=\"/two\nlines\"\n", "/two\nlines"},
        {"[General]\nLastImageFolder=/joined\\\n/line\n", "/joined/line"},
        {"\n\n   \n[General]\n\n  LastImageFolder  =  /padded  \n\n", "/padded"},
        {"[General]\nLastImageFolder=@Invalid()\n", ""},
        {"\xEF\xBB\xBF[General]\r\nLastImageFolder=/after a byte order mark\r\n",
         "/after a byte order mark"},
    };
    for (const Case& c : cases) {
        std::vector<SettingsProblem> problems;
        const StationSettings settings = Parse(c.text, &problems);
        EXPECT_EQ(settings.lastImageFolder, c.folder) << c.text;
        EXPECT_TRUE(problems.empty()) << c.text << "\n" << Describe(problems);
    }
}

TEST(SettingsDialect, EscapingRoundTripsAnyBytes)
{
    std::vector<std::string> values = {"",
                                       "plain",
                                       " lead",
                                       "trail ",
                                       "a,b",
                                       "a;b",
                                       "a=b",
                                       "\"q\"",
                                       "back\\slash",
                                       "@at",
                                       "@@two",
                                       "\x01\x02",
                                       std::string("nul\0"
                                                   "1",
                                                   5),
                                       "tab\t7",
                                       "\x1f"
                                       "a",
                                       "\x7f",
                                       "M\xC3\xBCller",
                                       "\xFF\xFE bytes",
                                       "\\x41",
                                       "new\nline\r\n",
                                       "  ",
                                       "#hash",
                                       "[section]"};
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::string value(random() % 24, '\0');
        for (char& c : value) c = static_cast<char>(random());
        values.push_back(value);
    }
    for (const std::string& value : values) {
        const std::string escaped = EscapeIniValue(value);
        EXPECT_EQ(escaped.find_first_of("\n\r"), std::string::npos);
        std::vector<SettingsProblem> problems;
        const StationSettings settings =
            Parse("[General]\nLastSaveFolder=" + escaped + "\n", &problems);
        EXPECT_EQ(settings.lastSaveFolder, value) << escaped;
        EXPECT_TRUE(problems.empty()) << escaped << "\n" << Describe(problems);
    }
}

TEST(BrokenSettingsFiles, AreReportedWithFileAndLine)
{
    {
        std::vector<SettingsProblem> problems;
        const StationSettings settings =
            Parse("[General]\nPort=7\njust some words\nFmem=2\n[Broken\nRetry=3\n", &problems);
        EXPECT_EQ(settings.port, 7);
        EXPECT_EQ(settings.fmem, 2);
        ASSERT_EQ(problems.size(), 2u) << Describe(problems);
        EXPECT_EQ(FormatSettingsProblem(problems[0]), "test.conf:3: line without '='");
        EXPECT_EQ(problems[1].line, 5);
        EXPECT_EQ(settings.retry, 0);  // [Broken is not [General]
    }
    {
        // Binary junk with NUL bytes: one problem, nothing taken.
        std::string junk = "Port=7\n";
        std::mt19937 random(3);
        for (int i = 0; i < 4096; ++i) junk += static_cast<char>(random());
        junk[100] = '\0';
        std::vector<SettingsProblem> problems;
        const StationSettings settings = Parse(junk, &problems);
        EXPECT_TRUE(settings == StationSettings{});
        ASSERT_EQ(problems.size(), 1u) << Describe(problems);
        EXPECT_EQ(problems[0].file, "test.conf");
        EXPECT_GE(problems[0].line, 2);
    }
    {
        // Junk without NUL bytes: the list stays short.
        std::string junk;
        for (int i = 0; i < 500; ++i) junk += "\xFF\xFE garbage " + std::to_string(i) + "\n";
        std::vector<SettingsProblem> problems;
        Parse(junk, &problems);
        ASSERT_EQ(problems.size(), 21u);
        EXPECT_EQ(problems[0].line, 1);
        EXPECT_EQ(problems.back().what, "480 further problems not listed");
    }
    {
        // An unclosed quote swallows the rest of the file, as QSettings reads it: said once.
        std::vector<SettingsProblem> problems;
        const StationSettings settings =
            Parse("[General]\nLastSaveFolder=\"/open\nPort=7\n", &problems);
        EXPECT_EQ(settings.port, 2006);
        ASSERT_EQ(problems.size(), 1u) << Describe(problems);
        EXPECT_EQ(problems[0].line, 2);
    }
}

// Texts made of the dialect's special characters: the parser never reads past the text (the
// sanitizer build checks) and every problem names a line of the text.
TEST(BrokenSettingsFiles, SpecialCharactersInAnyOrder)
{
    const char alphabet[] = "\\\"=;,#[]%Ux0a9@ \t\r\nPortLastSaveFolder";
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 80, ' ');
        for (char& c : text) c = alphabet[random() % (sizeof alphabet - 1)];
        int lines = 1;
        for (char c : text) lines += c == '\n' || c == '\r';
        std::vector<SettingsProblem> problems;
        Parse(text, &problems);
        for (const SettingsProblem& problem : problems) {
            EXPECT_GE(problem.line, 0);
            EXPECT_LE(problem.line, lines) << text;
        }
        std::string value;
        std::vector<std::string> items;
        UnescapeIniValue(text, &value, &items);
    }
}

TEST_F(StationFolders, UnusableFilesAreOneProblemEach)
{
    ::mkdir(User().c_str(), 0700);                        // a folder where the user file belongs
    ::mkfifo(System(1).c_str(), 0600);                    // a FIFO nobody writes: must not hang
    WriteTextFile(System(2), std::string(2 << 20, '#'));  // far too large
    std::vector<SettingsProblem> problems;
    const StationSettings settings = LoadStationSettings(&problems);
    EXPECT_TRUE(settings == StationSettings{});
    ASSERT_EQ(problems.size(), 3u) << Describe(problems);
    EXPECT_EQ(problems[0].file, System(2));  // read first: the least important
    EXPECT_EQ(problems[1].file, System(1));
    EXPECT_EQ(problems[2].file, User());
    for (const SettingsProblem& problem : problems) EXPECT_EQ(problem.line, 0);
}

TEST_F(StationFolders, UserBeatsSystemAndFirstSystemFolderBeatsLater)
{
    WriteTextFile(System(2), "[General]\nPort=2\nFmem=2\nRetry=2\nAddress=10.0.0.2\n");
    WriteTextFile(System(1), "[General]\nPort=1\nRetry=1\nAspect=Keep\n");
    WriteTextFile(User(), "[General]\nPort=3\nRetry=many\n");
    std::vector<SettingsProblem> problems;
    const StationSettings settings = LoadStationSettings(&problems);
    EXPECT_EQ(settings.port, 3);
    EXPECT_EQ(settings.retry, 1);  // the user's bad value leaves the system's
    EXPECT_EQ(settings.fmem, 2);
    EXPECT_TRUE(settings.keepAspect);
    EXPECT_EQ(settings.address, "10.0.0.2");
    ASSERT_EQ(problems.size(), 1u) << Describe(problems);
    EXPECT_EQ(problems[0].file, User());
    EXPECT_EQ(problems[0].line, 3);
}

TEST(SettingsLocations, FollowTheXdgRules)
{
    CTemporaryFolder folder;
    CEnvironmentOverride environment;
    environment.Set("HOME", folder.Path());
    struct Case {
        const char* configHome;  // nullptr: unset
        const char* configDirs;
        std::string user;
        std::vector<std::string> system;
    };
    const std::string home = folder.Path();
    const Case cases[] = {
        {nullptr,
         nullptr,
         home + "/.config/imgcast/imgcast.conf",
         {"/etc/xdg/imgcast/imgcast.conf"}},
        {"", "", home + "/.config/imgcast/imgcast.conf", {"/etc/xdg/imgcast/imgcast.conf"}},
        {"relative/config",
         "relative:also/relative",
         home + "/.config/imgcast/imgcast.conf",
         {"/etc/xdg/imgcast/imgcast.conf"}},
        {"/custom/",
         "/first::relative:/second/",
         "/custom/imgcast/imgcast.conf",
         {"/first/imgcast/imgcast.conf", "/second/imgcast/imgcast.conf"}},
    };
    for (const Case& c : cases) {
        if (c.configHome != nullptr)
            environment.Set("XDG_CONFIG_HOME", c.configHome);
        else
            environment.Unset("XDG_CONFIG_HOME");
        if (c.configDirs != nullptr)
            environment.Set("XDG_CONFIG_DIRS", c.configDirs);
        else
            environment.Unset("XDG_CONFIG_DIRS");
        EXPECT_EQ(UserSettingsPath(), c.user);
        EXPECT_EQ(SystemSettingsPaths(), c.system);
    }
    environment.Set("HOME", "not/absolute");
    environment.Unset("XDG_CONFIG_HOME");
    EXPECT_EQ(UserSettingsPath().rfind("/", 0), 0u);  // the password database's home instead
}

TEST_F(StationFolders, RememberedValuesRoundTrip)
{
    StationSettings remembered;
    remembered.address = "127.0.0.1";
    remembered.raster = StationRaster::SD576;
    remembered.keepAspect = true;
    remembered.fmem = 2;
    remembered.lastImageFolder = "/home/op/Bilder, alt; \"neu\" \xC3\xBC";
    remembered.lastSaveFolder = " @saved\\x41\t";
    std::string error;
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    std::vector<SettingsProblem> problems;
    const StationSettings loaded = LoadStationSettings(&problems);
    EXPECT_TRUE(loaded == remembered);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
    EXPECT_EQ(ReadTextFile(User()).rfind("[General]\n", 0), 0u);

    // A second save over the first changes the values, adds no copies.
    remembered.address = "switcher.example";
    remembered.raster = StationRaster::HD720;
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    EXPECT_TRUE(LoadStationSettings(nullptr) == remembered);
    const std::string text = ReadTextFile(User());
    EXPECT_EQ(text.find("Address="), text.rfind("Address="));

    // An address the reader would refuse is not written; the file keeps its own.
    remembered.address = "";
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    EXPECT_EQ(LoadStationSettings(nullptr).address, "switcher.example");
}

TEST_F(StationFolders, SavingKeepsEveryOtherLine)
{
    const std::string before =
        "; station notes\r\n"
        "Port=2007\r\n"
        "[MainWindow]\r\n"
        "geometry=@ByteArray(\\x1\\xd9\\xd0\\xcb)\r\n"
        "Address=not ours\r\n"
        "[General]\r\n"
        "Address=10.1.1.1 ; studio B\r\n"
        "Unknown=kept\r\n"
        "Raster=SD480\r\n"
        "Raster=1280x720\r\n"
        "[Other]\r\n"
        "x=1\r\n";
    WriteTextFile(User(), before);
    ::chmod(User().c_str(), 0640);
    StationSettings remembered;
    remembered.address = "127.0.0.1";
    remembered.lastSaveFolder = "/out";
    std::string error;
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    const std::string after = ReadTextFile(User());
    EXPECT_EQ(after,
              "; station notes\r\n"
              "Port=2007\r\n"
              "Aspect=Full\r\n"
              "Fmem=1\r\n"
              "LastImageFolder=\r\n"
              "LastSaveFolder=/out\r\n"
              "[MainWindow]\r\n"
              "geometry=@ByteArray(\\x1\\xd9\\xd0\\xcb)\r\n"
              "Address=not ours\r\n"
              "[General]\r\n"
              "Address=127.0.0.1 ; studio B\r\n"
              "Unknown=kept\r\n"
              "Raster=1920x1080\r\n"
              "[Other]\r\n"
              "x=1\r\n")
        << after;  // Address and Raster stay where they were; the later Raster copy goes
    EXPECT_EQ(FileMode(User()), 0640);
    std::vector<SettingsProblem> problems;
    const StationSettings loaded = LoadStationSettings(&problems);
    EXPECT_EQ(loaded.address, "127.0.0.1");
    EXPECT_EQ(loaded.port, 2007);
    // No temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder.File("config/imgcast")))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"imgcast.conf"});
}

TEST_F(StationFolders, SavingFollowsALinkAndMakesTheFolder)
{
    // A user file that is a link into a dotfiles folder stays a link.
    ::mkdir(m_folder.File("dotfiles").c_str(), 0700);
    WriteTextFile(m_folder.File("dotfiles") + "/imgcast.conf", "[General]\nVerify=true\n");
    ASSERT_EQ(::symlink((m_folder.File("dotfiles") + "/imgcast.conf").c_str(), User().c_str()), 0);
    StationSettings remembered;
    remembered.fmem = 2;
    std::string error;
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    struct stat status;
    ASSERT_EQ(::lstat(User().c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    const StationSettings loaded = LoadStationSettings(nullptr);
    EXPECT_EQ(loaded.fmem, 2);
    EXPECT_TRUE(loaded.verify);

    // A missing configuration folder is made, private.
    m_environment.Set("XDG_CONFIG_HOME", m_folder.File("fresh/config"));
    ASSERT_TRUE(SaveRememberedSettings(remembered, &error)) << error;
    EXPECT_EQ(FileMode(m_folder.File("fresh/config/imgcast")), 0700);
    EXPECT_EQ(LoadStationSettings(nullptr).fmem, 2);
}

TEST_F(StationFolders, SavingFailsCleanly)
{
    // The configuration folder is a regular file: no folder can be made below it.
    WriteTextFile(m_folder.File("plain"), "x");
    m_environment.Set("XDG_CONFIG_HOME", m_folder.File("plain"));
    std::string error;
    EXPECT_FALSE(SaveRememberedSettings(StationSettings{}, &error));
    EXPECT_NE(error.find(m_folder.File("plain")), std::string::npos) << error;
    EXPECT_EQ(ReadTextFile(m_folder.File("plain")), "x");

    // A user file that cannot be read is not replaced (its other keys would be lost).
    m_environment.Set("XDG_CONFIG_HOME", m_folder.File("config"));
    ::mkdir(User().c_str(), 0700);
    EXPECT_FALSE(SaveRememberedSettings(StationSettings{}, &error));
    EXPECT_NE(error.find("not rewritten"), std::string::npos) << error;
}
