// The settings file, the code page and the configuration file, through their public functions.
#include "app/app_config.h"
#include "common/codepage.h"
#include "app/settings_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace morlanex;
namespace fs = std::filesystem;

namespace {
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "morlanex-settings-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path &p, const std::string &bytes) { std::ofstream(p, std::ios::binary) << bytes; }

SettingsRecord record(std::initializer_list<std::string> values) {
    SettingsRecord r;
    size_t i = 0;
    for (const auto &v : values) r.lines[i++] = v;
    return r;
}
}  // namespace

TEST(SettingsCreate, FreshFileIsSevenEmptyLinesInNewFolders) {
    TempDir tmp;
    const fs::path file = tmp.path / "Ulma" / "Morlanex" / "DefData.ini";
    ASSERT_TRUE(createSettingsIfMissing(file));
    EXPECT_TRUE(fs::is_directory(tmp.path / "Ulma"));
    EXPECT_EQ(slurp(file), "\r\n\r\n\r\n\r\n\r\n\r\n\r\n");
    EXPECT_EQ(fs::file_size(file), 14u);
    EXPECT_EQ(readSettings(file), SettingsRecord{});
}

TEST(SettingsCreate, ExistingFileIsLeftByteForByte) {
    TempDir tmp;
    fs::create_directories(tmp.path / "Ulma" / "Morlanex");
    const fs::path file = tmp.path / "Ulma" / "Morlanex" / "DefData.ini";
    const std::string odd = "name only\n\x1a trailing junk \r";
    spit(file, odd);
    const auto before = fs::last_write_time(file);
    ASSERT_TRUE(createSettingsIfMissing(file));
    EXPECT_EQ(slurp(file), odd);
    EXPECT_EQ(fs::last_write_time(file), before);
}

TEST(SettingsCreate, UnwritableFolderFailsQuietly) {
    TempDir tmp;
    spit(tmp.path / "Ulma", "a file where the folder should be");
    EXPECT_FALSE(createSettingsIfMissing(tmp.path / "Ulma" / "Morlanex" / "DefData.ini"));
    EXPECT_EQ(readSettings(tmp.path / "Ulma" / "Morlanex" / "DefData.ini"), SettingsRecord{});
}

TEST(SettingsRead, LineEndsAndControlBytes) {
    // LF and CR LF end a line; a lone CR is dropped; Ctrl-Z ends the file.
    EXPECT_EQ(parseSettings("a\nb\r\nc\rd\r\ne"), record({"a", "b", "cd", "e"}));
    EXPECT_EQ(parseSettings("one\r\ntwo\x1Athree\r\nfour\r\n"), record({"one", "two"}));
    EXPECT_EQ(parseSettings("\x1A\r\nx\r\n"), SettingsRecord{});
    EXPECT_EQ(parseSettings("\r\r\n  padded  \r\n"), record({"", "  padded  "}));
}

TEST(SettingsRead, FewerAndMoreThanSevenLines) {
    EXPECT_EQ(parseSettings("n\r\nd\r\n0\r\n"), record({"n", "d", "0"}));
    EXPECT_EQ(parseSettings("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n"),
              record({"1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(parseSettings(""), SettingsRecord{});
}

TEST(SettingsRead, VeryLongLinesAreReadWhole) {
    const std::string longName(300000, 'x');
    const std::string longKeywords(1000, '\xa4');
    const SettingsRecord r = parseSettings(longName + "\r\nd\r\n0\r\n0\r\n1\r\n2\r\n" + longKeywords + "\r\n");
    EXPECT_EQ(r[SettingsRecord::ChannelName], longName);
    EXPECT_EQ(r[SettingsRecord::Keywords], longKeywords);
    EXPECT_EQ(r[SettingsRecord::CompressionLevel], "2");
}

TEST(SettingsRead, MissingFileReadsEmpty) { EXPECT_EQ(readSettings("/nonexistent/DefData.ini"), SettingsRecord{}); }

TEST(SettingsWrite, ExactBytesAndRoundTripOfBig5) {
    TempDir tmp;
    const fs::path file = tmp.path / "DefData.ini";
    const SettingsRecord r = record({utf8ToCp950("頻道名稱"), " desc ", "0", "-1", "1", "2", utf8ToCp950("自拍 景點")});
    ASSERT_TRUE(writeSettings(file, r));
    EXPECT_EQ(slurp(file),
              "\xc0\x57\xb9\x44\xa6\x57\xba\xd9\r\n desc \r\n0\r\n-1\r\n1\r\n2\r\n"
              "\xa6\xdb\xa9\xe7\x20\xb4\xba\xc2\x49\r\n");
    const SettingsRecord back = readSettings(file);
    EXPECT_EQ(back, r);
    EXPECT_EQ(cp950ToUtf8(back[SettingsRecord::ChannelName]), "頻道名稱");
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path), fs::directory_iterator()), 1);
}

TEST(SettingsWrite, ProcessDeathMidWriteLeavesOldOrNewNeverTorn) {
    TempDir tmp;
    const fs::path file = tmp.path / "DefData.ini";
    const SettingsRecord oldRecord = record({"old name", "old description", "0", "0", "1", "0", "old"});
    const SettingsRecord newRecord = record({std::string(8 << 20, 'n'), "new", "1", "1", "0", "3", "new"});
    ASSERT_TRUE(writeSettings(file, oldRecord));
    const std::string oldBytes = serializeSettings(oldRecord);
    const std::string newBytes = serializeSettings(newRecord);

    for (int delayUs : {0, 200, 1000, 3000, 10000, 30000}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;) writeSettings(file, newRecord);
        }
        // Real time: the kill lands wherever the writer has got to, at several depths into it.
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::string now = slurp(file);
        EXPECT_TRUE(now == oldBytes || now == newBytes) << "torn file of " << now.size() << " bytes";
        ASSERT_TRUE(writeSettings(file, oldRecord));
    }
}

TEST(SettingsValues, TrimmingAndIntegers) {
    EXPECT_EQ(trimmed(" \t\x01name with  spaces\r\n "), "name with  spaces");
    EXPECT_EQ(trimmed("   "), "");
    EXPECT_EQ(trimmed(utf8ToCp950(" 中 ")), "\xa4\xa4");
    EXPECT_EQ(toInteger("-1"), -1);
    EXPECT_EQ(toInteger("3"), 3);
    EXPECT_EQ(toInteger(" 12"), 12);
    for (const char *bad : {"", "abc", "1.5", "2 ", "99999999999"}) {
        try {
            toInteger(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ConversionError &e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(CodePage, UnmappableCharactersDegradeInsteadOfVanishing) {
    EXPECT_EQ(utf8ToCp950("中"), "\xa4\xa4");
    EXPECT_EQ(utf8ToCp950("a😀b"), "a?b");
    EXPECT_EQ(cp950ToUtf8("\xa4"), "\xEF\xBF\xBD");  // a cut double-byte character
    EXPECT_EQ(cp950ToUtf8(utf8ToCp950("Morlanex 頻道")), "Morlanex 頻道");
}

TEST(AppConfig, DefaultsAndOverrides) {
    const AppConfig defaults = parseAppConfig("");
    EXPECT_EQ(defaults.directoryAddress, "127.0.0.1");
    const AppConfig c = parseAppConfig("; comment\r\n[Directory]\r\nAddress = 10.1.2.3\r\nbroken line\n"
                                       "[Links]\nPortal=https://portal.example/\nProduct=\n");
    EXPECT_EQ(c.directoryAddress, "10.1.2.3");
    EXPECT_EQ(c.portalUrl, "https://portal.example/");
    EXPECT_EQ(c.productUrl, defaults.productUrl);
    EXPECT_EQ(parseAppConfig("[Links]\nAddress=1.1.1.1\n").directoryAddress, "127.0.0.1");
    EXPECT_EQ(defaults.serving.webrtcPort, 0);
    EXPECT_EQ(parseAppConfig("[Network]\nWebRtcPort = 50000\r\n").serving.webrtcPort, 50000);
    EXPECT_EQ(parseAppConfig("[Network]\nWebRtcPort=-1\n").serving.webrtcPort, -1);
    EXPECT_EQ(parseAppConfig("[Network]\nWebRtcPort=65536\n").serving.webrtcPort, 0);
    EXPECT_EQ(parseAppConfig("[Network]\nWebRtcPort=5x\n").serving.webrtcPort, 0);
    EXPECT_EQ(parseAppConfig("[Links]\nWebRtcPort=5\n").serving.webrtcPort, 0);
    EXPECT_TRUE(defaults.portMapping);
    EXPECT_FALSE(parseAppConfig("[Network]\nPortMapping=off\n").portMapping);
    EXPECT_TRUE(parseAppConfig("[Network]\nPortMapping=sometimes\n").portMapping);
    EXPECT_EQ(parseAppConfig("[Network]\nPortMappingLease=60\n").portMappingLease, std::chrono::seconds(60));
    EXPECT_EQ(parseAppConfig("[Network]\nPortMappingLease=5\n").portMappingLease, std::chrono::seconds(3600));
    EXPECT_EQ(parseAppConfig("[Directory]\nHttpPort=0\n").directoryHttpPort, 0);
    EXPECT_EQ(parseAppConfig("[Network]\nStreamPort=8080\n").serving.port, 8080);
    EXPECT_EQ(defaults.push, PushMode::Auto);
    EXPECT_EQ(parseAppConfig("[Network]\nPush=always\n").push, PushMode::Always);
    EXPECT_EQ(parseAppConfig("[Network]\nPush=off\n").push, PushMode::Off);
    EXPECT_EQ(parseAppConfig("[Network]\nPush=sometimes\n").push, PushMode::Auto);
}
