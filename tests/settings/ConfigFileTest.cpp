// The configuration file: 8-byte records loaded into the SDK object's list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VeltCamSdk.h"
#include "sdk/CErrorHistory.h"
#include "sdk/CVeltCam.h"
#include "support/PrivateSettingsStore.h"

namespace veltcam {
namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::array<int32_t, 2>>;

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("veltcam-config-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    // Whatever the object does when it is built and destroyed stays in here.
    test::CPrivateSettingsStore store_;
    fs::path folder_;
};

TEST_F(ConfigFile, LoadsOneEntryPerCompleteRecordAndReplacesTheList) {
    CVeltCam cam;
    // 20 bytes: two records and four bytes that are not a whole record.
    std::string twenty = Write("twenty.cfg", {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                              0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80,  //
                                              0xAA, 0xBB, 0xCC, 0xDD});
    EXPECT_EQ(cam.LoadConfigFile(twenty.c_str()), 1);
    EXPECT_EQ(cam.ConfigList(), (Entries{{1, -1}, {0x12345678, INT32_MIN}}));

    std::string empty = Write("empty.cfg", {});
    EXPECT_EQ(cam.LoadConfigFile(empty.c_str()), 1);
    EXPECT_TRUE(cam.ConfigList().empty());

    // Larger than one read of the loader.
    std::vector<uint8_t> big(8 * 5000 + 3);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i / 8);
    EXPECT_EQ(cam.LoadConfigFile(Write("big.cfg", big).c_str()), 1);
    Entries list = cam.ConfigList();
    ASSERT_EQ(list.size(), 5000u);
    EXPECT_EQ(list[4999][0], static_cast<int32_t>(0x87878787u));
    EXPECT_EQ(list[4999][1], static_cast<int32_t>(0x87878787u));
}

TEST_F(ConfigFile, UnreadableFileReturnsZeroWithoutCodeAndKeepsTheList) {
    CVeltCam cam;
    std::string file = Write("one.cfg", {1, 0, 0, 0, 2, 0, 0, 0});
    ASSERT_EQ(cam.LoadConfigFile(file.c_str()), 1);

    EXPECT_EQ(cam.LoadConfigFile((folder_ / "missing.cfg").string().c_str()), 0);
    EXPECT_EQ(cam.LoadConfigFile(folder_.string().c_str()), 0);  // a folder
    EXPECT_EQ(cam.LoadConfigFile(""), 0);
    EXPECT_EQ(cam.LoadConfigFile(nullptr), 0);
    EXPECT_EQ(cam.GetLastError(), kErrNone);
    EXPECT_EQ(cam.ConfigList(), (Entries{{1, 2}}));
}

TEST_F(ConfigFile, WideFormConvertsThePathOrFailsWithCode12) {
    CVeltCam cam;
    std::string file = Write("wide.cfg", {3, 0, 0, 0, 4, 0, 0, 0});
    std::wstring wide(file.begin(), file.end());
    EXPECT_EQ(cam.LoadConfigFileW(wide.c_str()), 1);
    EXPECT_EQ(cam.ConfigList(), (Entries{{3, 4}}));
    EXPECT_EQ(cam.GetLastError(), kErrNone);

    // 1022 bytes still fit the narrow path buffer: the file is only missing.
    std::wstring longest = wide + L"." + std::wstring(1022 - wide.size() - 1, L'x');
    EXPECT_EQ(cam.LoadConfigFileW(longest.c_str()), 0);
    EXPECT_EQ(cam.GetLastError(), kErrNone);

    EXPECT_EQ(cam.LoadConfigFileW((longest + L"x").c_str()), 0);
    EXPECT_EQ(cam.GetLastError(), kErrFailed);
    EXPECT_EQ(cam.LoadConfigFileW(nullptr), 0);
    EXPECT_EQ(cam.GetLastError(), kErrFailed);
    EXPECT_EQ(cam.ConfigList(), (Entries{{3, 4}}));
}

TEST_F(ConfigFile, ExportsReachTheObjectBehindTheHandle) {
    std::string file = Write("export.cfg", std::vector<uint8_t>(20, 0));
    std::wstring wide(file.begin(), file.end());
    EXPECT_EQ(VeltCam_LoadConfigFileA(0x7FFFFFF0, file.c_str()), 0);  // unknown handle

    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    ASSERT_NE(handle, 0u);
    while (VeltCam_GetLastError(handle) != 0) {
    }
    // A camera is not needed: the list belongs to the SDK object.
    EXPECT_EQ(VeltCam_LoadConfigFileA(handle, file.c_str()), 1);
    EXPECT_EQ(VeltCam_LoadConfigFileW(handle, wide.c_str()), 1);
    EXPECT_EQ(VeltCam_LoadConfigFileW(handle, std::wstring(1023, L'p').c_str()), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle), 12);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    EXPECT_EQ(VeltCam_Release(handle), 1);
}

}  // namespace
}  // namespace veltcam
