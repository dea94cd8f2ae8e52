// The Linux settings file: its text, its location, damaged and hand-edited files,
// crash-safe replacement and two processes writing at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/SettingsStore.h"
#include "support/PrivateSettingsStore.h"
#include "ui/SettingsPersistence.h"

namespace veltcam::settings {
namespace {

using platform::CreateSettingsKey;
using platform::OpenSettingsKey;

constexpr char kRoot[] = "HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk";

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::optional<uint32_t> Stored(const std::string& key, const char* name) {
    auto open = OpenSettingsKey(key);
    return open ? open->ReadDword(name) : std::nullopt;
}

std::string Header(const std::string& key) { return std::string("[") + kRoot + "\\" + key + "]"; }

// Sets an environment variable for one scope and puts the old value back.
class CScopedEnv {
  public:
    CScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~CScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class SettingsFile : public ::testing::Test {
  protected:
    test::CPrivateSettingsStore store_;
};

TEST_F(SettingsFile, IsRegistryExportTextAPersonCanRead) {
    struct CFirstRunCamera : CSettingsCamera {
        bool Allows8And32BitOutput() override { return true; }
        bool Allows16BitOutput() override { return true; }
        bool Allows24To64BitOutput() override { return true; }
        std::optional<IntRange> GainRange() override { return std::nullopt; }
        std::optional<IntRange> ColorGainRange() override { return std::nullopt; }
        std::optional<IntRange> ExposureRange() override { return std::nullopt; }
        int Gain() override { return 0; }
        int ColorGain(int) override { return 0; }
        int ExposureUnits() override { return 0; }
        int MirrorV() override { return 0; }
        int MirrorH() override { return 0; }
        bool IsBlackLevelSupported() override { return false; }
        IntRange BlackLevelRange() override { return {}; }
        int BlackLevel() override { return 0; }
        bool IsGainModeSupported() override { return false; }
        IntRange GainModeRange() override { return {}; }
        bool IsExposureMsSupported() override { return false; }
        DoubleRange ExposureMsRange() override { return {}; }
        double ExposureMs() override { return 0; }
    } camera;
    CaptureWindow window;
    ASSERT_TRUE(LoadFrameSize(camera, -1, window));
    CameraSettings gain;
    gain.globalGain = 64;
    gain.exposureMs = 1.0;
    ASSERT_TRUE(SaveGain(-1, gain));
    ImageSettings filter;
    filter.brightness = -1;
    ASSERT_TRUE(SaveFilter(-1, filter));

    std::string expected = std::string("Windows Registry Editor Version 5.00\n\n") +
                           Header("Camera_-1") +
                           "\n"
                           "\"Size\"=dword:00000000\n"
                           "\"Color\"=dword:00000002\n"
                           "\"SubSample\"=dword:00000000\n"
                           "\"WaitTime\"=dword:00000001\n"
                           "\"Clock\"=dword:00000000\n"
                           "\n" +
                           Header("Camera_-1\\Size_00") +
                           "\n"
                           "\"TH\"=dword:00000800\n"
                           "\"TV\"=dword:00000600\n"
                           "\"EH\"=dword:00000800\n"
                           "\"EV\"=dword:00000600\n"
                           "\"EHS\"=dword:00000000\n"
                           "\"EVS\"=dword:00000000\n"
                           "\"Buf\"=dword:00000004\n"
                           "\n" +
                           Header("Camera_-1\\Gain") +
                           "\n"
                           "\"Global\"=dword:00000040\n"
                           "\"ColorG1\"=dword:00000000\n"
                           "\"ColorR\"=dword:00000000\n"
                           "\"ColorB\"=dword:00000000\n"
                           "\"ColorG2\"=dword:00000000\n"
                           "\"Exposure\"=dword:00000000\n"
                           "\"V_Mirror\"=dword:00000000\n"
                           "\"H_Mirror\"=dword:00000000\n"
                           "\"AutoIris\"=dword:00000000\n"
                           "\"GainMode\"=dword:00000000\n"
                           "\"BlackLevel\"=dword:00000000\n"
                           "\"ExposureEx\"=hex:00,00,00,00,00,00,f0,3f\n"
                           "\n" +
                           Header("Camera_-1\\Filter") +
                           "\n"
                           "\"Brightness\"=dword:ffffffff\n";
    std::string text = ReadText(store_.Location());
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

TEST_F(SettingsFile, HandWrittenSizeTableIsReadAndKept) {
    // What a person might type: no version line, CRLF, other letter case, spaces,
    // comments, short hex numbers and binary data continued on the next line.
    std::string text =
        "; presets for the inspection line\r\n"
        "[hkey_current_user\\software\\norvik\\veltcamm403r7sdk\\SIZE_00]\r\n"
        "\"eh\" = dword:400\r\n"
        "\"EV\"=DWORD:00000300\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk\\Size_01\\]\r\n"
        "\"EH\"=dword:00000280\r\n"
        "\"EV\"=dword:000001e0\r\n"
        "\"EHS\"=dword:00000010\r\n"
        "[HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk\\Camera_00\\Gain]\r\n"
        "\"ExposureEx\"=hex:00,00,00,00,\\\r\n"
        "  00,00,f0,3f\r\n";
    WriteText(store_.Location(), text);

    auto xga = FindStoredSize(1024, 768);
    ASSERT_TRUE(xga);
    auto vga = FindStoredSize(640, 480);
    ASSERT_TRUE(vga);
    EXPECT_EQ(vga->EHS, 16);
    auto exposure = OpenSettingsKey("Camera_00\\Gain")->ReadBinary8("ExposureEx");
    ASSERT_TRUE(exposure);
    EXPECT_EQ((*exposure)[7], 0x3f);

    ASSERT_TRUE(SaveFilter(0, ImageSettings{}));
    std::string after = ReadText(store_.Location());
    EXPECT_NE(after.find("; presets for the inspection line\n"), std::string::npos);
    EXPECT_NE(after.find("\"eh\" = dword:400\n"), std::string::npos);
    EXPECT_NE(after.find("  00,00,f0,3f\n"), std::string::npos);
    EXPECT_TRUE(FindStoredSize(640, 480));
}

// Good values around one piece of damage; the damage must cost nothing else.
TEST_F(SettingsFile, DamagedFileNeverLosesTheOtherValues) {
    struct Case {
        const char* what;
        std::string damage;  // inserted after "Global" in the Gain key
        uint32_t global;     // what Global reads afterwards
        std::function<std::string(std::string)> wholeFile = [](std::string s) { return s; };
    };
    const std::string gainKey = Header("Camera_00\\Gain");
    const Case cases[] = {
        {"garbage line", "this is not a registry line at all\n", 0x40},
        {"binary junk", std::string("\0\0\xff\xfe\x01junk\x80\n", 11), 0x40},
        {"bad dword", "\"Exposure\"=dword:xyz\n\"Hue\"=dword:123456789\n", 0x40},
        {"truncated hex", "\"ExposureEx\"=hex:00,00,00\n", 0x40},
        {"hex cut at a continuation", "\"ExposureEx\"=hex:00,\\\n", 0x40},
        {"unterminated name", "\"Global=dword:00000001\n", 0x40},
        {"header without bracket", "[HKEY_CURRENT_USER\\Software\\Norvik\n\"Global\"=dword:1\n",
         0x40},
        {"stray brackets and equals", "[]\n=\n\"\"=\n[-" + std::string(kRoot) + "]\n", 0x40},
        {"duplicate value", "\"Global\"=dword:00000041\n", 0x41},
        {"duplicate key", gainKey + "\n\"Global\"=dword:00000042\n", 0x42},
        {"very long line", std::string(100000, 'x') + "\n", 0x40},
        {"CRLF everywhere", "", 0x40,
         [](std::string s) {
             std::string out;
             for (char c : s) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
             return out;
         }},
        {"no newline at the end", "", 0x40,
         [](std::string s) { return s.substr(0, s.size() - 1); }},
        {"byte order mark", "", 0x40, [](std::string s) { return "\xEF\xBB\xBF" + s; }},
        {"two byte order marks before a header", "", 0x40,
         [](std::string s) {
             const std::string gain = Header("Camera_00\\Gain");
             return "\xEF\xBB\xBF\xEF\xBB\xBF" + s.substr(s.find(gain));
         }},
        // Every CR before the LF ends the line: the value reads the same before and
        // after the rewrite (which ends every line with LF alone).
        {"CR CR LF after the value", "", 0x40,
         [](std::string s) {
             const std::string line = "\"Global\"=dword:00000040\n";
             return s.replace(s.find(line), line.size(), "\"Global\"=dword:00000040\r\r\n");
         }},
        // A CR inside a line is text: the line stays broken, and stays in the file.
        {"CR inside a value", "\"Hue\"=dword:00\r000041\n", 0x40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::CPrivateSettingsStore fresh;
        std::string original = c.wholeFile(
            "Windows Registry Editor Version 5.00\n\n" + gainKey + "\n\"Global\"=dword:00000040\n" +
            c.damage + "\n" + Header("Camera_00\\Filter") + "\n\"Brightness\"=dword:00000005\n");
        WriteText(fresh.Location(), original);

        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(Stored("Camera_00\\Gain", "Global"), c.global);
            ImageSettings filter;
            EXPECT_TRUE(LoadFilter(0, filter));
            EXPECT_EQ(filter.brightness, 5);
            // A write elsewhere keeps everything, the damage included.
            ImageSettings gray;
            gray.grayMode = 1;
            ASSERT_TRUE(SaveGray(0, gray));
            EXPECT_EQ(Stored("Camera_00\\Gray", "Mode"), 1u);
            std::string after = ReadText(fresh.Location());
            if (!c.damage.empty()) {
                EXPECT_NE(after.find(c.damage), std::string::npos);
            }
        }
    }
}

TEST_F(SettingsFile, WritingAValueReplacesItsBrokenAndDuplicateLines) {
    WriteText(store_.Location(), Header("Camera_00\\Gain") +
                                     "\n\"Exposure\"=dword:xyz\n\"Global\"=dword:1\n" +
                                     Header("Camera_00\\Gain") + "\n\"exposure\"=dword:2\n");
    EXPECT_EQ(Stored("Camera_00\\Gain", "Exposure"), 2u);
    {
        auto key = CreateSettingsKey("Camera_00\\Gain");
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->WriteDword("EXPOSURE", 170));
        EXPECT_EQ(key->ReadDword("Exposure"), 170u);  // visible through the key at once
    }
    std::string text = ReadText(store_.Location());
    EXPECT_EQ(text.find("xyz"), std::string::npos);
    EXPECT_EQ(text.find("dword:00000002"), std::string::npos);
    EXPECT_EQ(Stored("Camera_00\\Gain", "Exposure"), 170u);
    EXPECT_EQ(Stored("Camera_00\\Gain", "Global"), 1u);
}

TEST_F(SettingsFile, UpdatesReplaceTheFileInsteadOfRewritingIt) {
    WriteText(store_.Location(), Header("Camera_00") + "\n\"Color\"=dword:00000002\n");
    std::string before = ReadText(store_.Location());
    std::string snapshot = store_.Folder() + "/snapshot";
    ASSERT_EQ(link(store_.Location().c_str(), snapshot.c_str()), 0);

    ImageSettings filter;
    filter.gamma = 150;
    ASSERT_TRUE(SaveFilter(0, filter));
    // The old file was never opened for writing: a crash during the update would
    // have left it whole.
    EXPECT_EQ(ReadText(snapshot), before);
    EXPECT_NE(ReadText(store_.Location()), before);
    EXPECT_EQ(Stored("Camera_00\\Filter", "Gamma"), 150u);
    EXPECT_NE(access((store_.Location() + ".tmp").c_str(), F_OK), 0);
}

TEST_F(SettingsFile, LivesInTheUsersConfigFolderUnlessRedirected) {
    std::string base = store_.Folder();
    CScopedEnv noOverride("VELTCAM_SETTINGS", nullptr);
    {
        CScopedEnv xdg("XDG_CONFIG_HOME", (base + "/xdg").c_str());
        ASSERT_TRUE(CreateSettingsKey("Camera_00"));
        EXPECT_EQ(access((base + "/xdg/veltcam/settings.reg").c_str(), R_OK), 0);
    }
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/folder"}) {
        CScopedEnv noXdg("XDG_CONFIG_HOME", xdg);
        CScopedEnv home("HOME", (base + "/home").c_str());
        ASSERT_TRUE(CreateSettingsKey("Camera_01"));
        EXPECT_TRUE(OpenSettingsKey("Camera_01"));
        EXPECT_EQ(access((base + "/home/.config/veltcam/settings.reg").c_str(), R_OK), 0);
    }

    // A settings file that is a link stays a link; the file it names is updated.
    std::string target = base + "/dotfiles-settings.reg";
    std::string linkPath = base + "/linked.reg";
    WriteText(target, "");
    ASSERT_EQ(symlink(target.c_str(), linkPath.c_str()), 0);
    CScopedEnv redirected("VELTCAM_SETTINGS", linkPath.c_str());
    ASSERT_TRUE(SaveFilter(2, ImageSettings{}));
    struct stat info {};
    ASSERT_EQ(lstat(linkPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_NE(ReadText(target).find("Camera_02\\Filter]"), std::string::npos);
}

TEST_F(SettingsFile, UnreadableStoreIsLeftAloneAndNothingLoads) {
    ASSERT_EQ(mkdir(store_.Location().c_str(), 0700), 0);  // a folder where the file belongs
    EXPECT_FALSE(OpenSettingsKey(""));
    EXPECT_FALSE(CreateSettingsKey("Camera_00"));
    EXPECT_FALSE(SaveGain(0, CameraSettings{}));
    ImageSettings filter;
    filter.gamma = 7;
    EXPECT_FALSE(LoadFilter(0, filter));  // defaults, as for a missing group
    struct stat info {};
    ASSERT_EQ(stat(store_.Location().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(SettingsFile, TwoProcessesWritingAtOnceKeepEachOthersValues) {
    constexpr int kWrites = 60;
    // Each process commits one value at a time into the same key, so every update
    // races the other process's read-modify-write.
    auto writeAll = [](const char* prefix) {
        bool ok = true;
        for (int i = 0; i < kWrites; ++i) {
            auto key = CreateSettingsKey("Camera_00\\Race");
            char name[16];
            std::snprintf(name, sizeof name, "%s%d", prefix, i);
            ok = ok && key && key->WriteDword(name, static_cast<uint32_t>(i)) && key->Commit();
        }
        return ok;
    };
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char go = 0;
        close(start[1]);
        bool ok = read(start[0], &go, 1) == 1 && writeAll("child");
        _exit(ok ? 0 : 1);
    }
    close(start[0]);
    ASSERT_EQ(write(start[1], "g", 1), 1);
    close(start[1]);
    bool parentOk = writeAll("parent");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(parentOk);

    auto key = OpenSettingsKey("Camera_00\\Race");
    ASSERT_TRUE(key);
    int missing = 0;
    for (const char* prefix : {"parent", "child"}) {
        for (int i = 0; i < kWrites; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "%s%d", prefix, i);
            if (key->ReadDword(name) != static_cast<uint32_t>(i)) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
}

}  // namespace
}  // namespace veltcam::settings
