// The real setting dialogs of the DLL, driven from a second thread while the
// export runs the dialog modally on the test's thread: controls are set with the
// messages a user's actions produce, OK or Cancel pressed, and the results read
// back through the exports and the registry. Each dialog is saved as a screenshot
// (dialog-screenshots/<dialog>-<en|ja>.bmp in the test's working folder); the
// language follows the system's, and VELTCAM_TEST_LANGUAGE names the one expected.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VeltCamSdk.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

bool Japanese() { return GetSystemDefaultUILanguage() == 1041; }
std::string LanguageTag() { return Japanese() ? "ja" : "en"; }

// Saves what the screen shows of `window` as a 24-bit BMP.
void SaveScreenshot(HWND window, const std::string& name) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RECT r;
    GetWindowRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD pixelBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + pixelBytes;
    std::filesystem::create_directories("dialog-screenshots");
    std::ofstream out("dialog-screenshots/" + name + "-" + LanguageTag() + ".bmp",
                      std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), pixelBytes);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// ---- Acting on a dialog from another thread ----------------------------------------------

void SelectItem(HWND parent, int id, int item) {
    HWND list = GetDlgItem(parent, id);
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void Click(HWND parent, int id, std::optional<bool> check = std::nullopt) {
    HWND button = GetDlgItem(parent, id);
    if (check) SendMessageW(button, BM_SETCHECK, *check ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void Type(HWND parent, int id, const std::string& text) {
    SetDlgItemTextA(parent, id, text.c_str());  // the edit reports EN_CHANGE itself
}

void Drag(HWND page, int barId, int position) {
    HWND bar = GetDlgItem(page, barId);
    SendMessageW(bar, TBM_SETPOS, TRUE, position);
    SendMessageW(page, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(bar));
}

std::string Text(HWND parent, int id) {
    char text[256] = {};
    GetDlgItemTextA(parent, id, text, sizeof text);
    return text;
}

int TabCount(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageW(dialog, 1001, TCM_GETITEMCOUNT, 0, 0));
}

// The tab pages: child dialogs of the container.
std::vector<HWND> Pages(HWND dialog) {
    std::vector<HWND> pages;
    for (HWND child = FindWindowExW(dialog, nullptr, L"#32770", nullptr); child != nullptr;
         child = FindWindowExW(dialog, child, L"#32770", nullptr)) {
        pages.push_back(child);
    }
    return pages;
}

// The page that holds control `id`.
HWND PageWith(HWND dialog, int id) {
    for (HWND page : Pages(dialog)) {
        if (GetDlgItem(page, id) != nullptr) return page;
    }
    return nullptr;
}

void SwitchTab(HWND dialog, int index) {
    HWND tab = GetDlgItem(dialog, 1001);
    SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    NMHDR header{tab, 1001, static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(dialog, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&header));
}

// Runs `act` on the first dialog the test thread opens, then presses `button`.
class CDialogDriver {
  public:
    CDialogDriver(std::function<void(HWND)> act, int button)
        : owner_(GetCurrentThreadId()), thread_([this, act, button] { Drive(act, button); }) {}
    ~CDialogDriver() { thread_.join(); }
    bool Found() const { return found_; }

  private:
    void Drive(const std::function<void(HWND)>& act, int button) {
        HWND dialog = nullptr;
        for (int i = 0; i < 200 && dialog == nullptr; ++i) {
            EnumThreadWindows(
                owner_,
                [](HWND w, LPARAM out) {
                    wchar_t name[16] = {};
                    GetClassNameW(w, name, 16);
                    if (std::wstring(name) != L"#32770" || !IsWindowVisible(w)) return TRUE;
                    *reinterpret_cast<HWND*>(out) = w;
                    return FALSE;
                },
                reinterpret_cast<LPARAM>(&dialog));
            if (dialog == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (dialog == nullptr) return;
        found_ = true;
        act(dialog);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }

    DWORD owner_;
    std::atomic<bool> found_{false};
    std::thread thread_;
};

// ---- Fixture ---------------------------------------------------------------------------

class DialogWindows : public testing::Test {
  protected:
    void SetUp() override {
        if (const char* expected = std::getenv("VELTCAM_TEST_LANGUAGE")) {
            ASSERT_EQ(GetSystemDefaultUILanguage(), std::atoi(expected))
                << "the system language this run was meant for is not in effect";
        }
        const std::string options = "cameras=1;table=" + test::UniqueTableName();
        _putenv_s("VELTCAM_SIMULATOR", options.c_str());
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
        while (VeltCam_GetLastError(handle_) != 0) {
        }
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }

    std::optional<DWORD> Stored(const char* name) {
        const std::string key = store_.Location() + "\\Camera_00";
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return value;
    }

    int Get(int (*getter)(VeltCamHandle, int*)) {
        int ok = 0;
        return getter(handle_, &ok);
    }

    test::CPrivateSettingsStore store_;
    VeltCamHandle handle_ = 0;
};

TEST_F(DialogWindows, FormatDialogOkStoresTheChoicesAndReloadsTheFormat) {
    ASSERT_EQ(VeltCam_StartPreview(handle_), 1);
    std::vector<std::string> colours;
    {
        CDialogDriver driver(
            [&](HWND dialog) {
                HWND list = GetDlgItem(dialog, 1009);
                const int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
                for (int i = 0; i < count; ++i) {
                    char item[64] = {};
                    SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                 reinterpret_cast<LPARAM>(item));
                    colours.push_back(item);
                }
                SelectItem(dialog, 1009, 4);  // "Color 48bit *"
                SelectItem(dialog, 1012, 1);  // "1/2 Skip"
                EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1041)));
                EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1014)));
                EXPECT_EQ(Text(dialog, 1041), "2048");
                SaveScreenshot(dialog, "format");
            },
            IDOK);
        EXPECT_EQ(VeltCam_SetCameraDlg(handle_, nullptr), 1);
        ASSERT_TRUE(driver.Found());
    }
    ASSERT_EQ(colours.size(), 6u);
    if (!Japanese()) {
        EXPECT_EQ(colours[4], "Color 48bit *");
    }
    EXPECT_EQ(Stored("Color"), 4u);
    EXPECT_EQ(Stored("SubSample"), 1u);
    EXPECT_EQ(Stored("Clock"), 2u);
    EXPECT_EQ(VeltCam_GetColorMode(handle_), 48);
    EXPECT_EQ(VeltCam_GetSubSample(handle_), 1);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);

    // Cancel leaves the registry and the SDK object as they were.
    CDialogDriver cancel([](HWND dialog) { SelectItem(dialog, 1009, 0); }, IDCANCEL);
    EXPECT_EQ(VeltCam_SetCameraDlg(handle_, nullptr), 1);
    EXPECT_EQ(Stored("Color"), 4u);
    EXPECT_EQ(VeltCam_GetColorMode(handle_), 48);
}

TEST_F(DialogWindows, AnalogDialogSendsAtOnceAndCancelRestoresTheCamera) {
    const int gain = Get(VeltCam_GetGlobalGain);
    {
        CDialogDriver driver(
            [&](HWND dialog) {
                std::vector<HWND> pages = Pages(dialog);
                ASSERT_EQ(pages.size(), 1u);
                Type(pages[0], 1015, std::to_string(gain + 100));
                EXPECT_EQ(Get(VeltCam_GetGlobalGain), gain + 100);
                EXPECT_EQ(SendDlgItemMessageW(pages[0], 1013, TBM_GETPOS, 0, 0), gain + 100);
                EXPECT_FALSE(IsWindowEnabled(GetDlgItem(pages[0], 1020)));  // colour gain R
                EXPECT_FALSE(IsWindowVisible(GetDlgItem(pages[0], 2131)));  // no real exposure
                SaveScreenshot(dialog, "analog");
            },
            IDCANCEL);
        EXPECT_EQ(VeltCam_SetAnalogDlg(handle_, nullptr), 1);
        ASSERT_TRUE(driver.Found());
    }
    EXPECT_EQ(Get(VeltCam_GetGlobalGain), gain);

    CDialogDriver ok(
        [](HWND dialog) {
            HWND page = Pages(dialog).at(0);
            Drag(page, 1026, 900);
            Click(page, 1029, true);  // Mirror H
            Click(page, 1036, true);  // auto iris: gain
            Click(page, 1037, true);  // auto iris: exposure takes over
            EXPECT_EQ(IsDlgButtonChecked(page, 1036), BST_UNCHECKED);
        },
        IDOK);
    EXPECT_EQ(VeltCam_SetAnalogDlg(handle_, nullptr), 1);
    EXPECT_EQ(Get(VeltCam_GetExposureTime), 900);
    EXPECT_EQ(VeltCam_GetMirrorH(handle_), 1);
    EXPECT_EQ(Get(VeltCam_GetAutoIris), 1);
}

TEST_F(DialogWindows, ImageDialogEditsLiveAndCancelRestores) {
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    ASSERT_EQ(VeltCam_StartPreview(handle_), 1);
    const int brightness = Get(VeltCam_GetBrightness);
    {
        CDialogDriver driver(
            [&](HWND dialog) {
                EXPECT_EQ(TabCount(dialog), 1);
                HWND page = Pages(dialog).at(0);
                Drag(page, 2001, brightness + 40);
                EXPECT_EQ(Text(page, 2002), std::to_string(brightness + 40));
                EXPECT_EQ(Get(VeltCam_GetBrightness), brightness + 40);
                Type(page, 2012, "128");  // contrast: limited to what the pipeline takes
                EXPECT_EQ(SendDlgItemMessageW(page, 2011, TBM_GETPOS, 0, 0), 127);
                Click(page, 1030, true);  // Bayer mode 0
                SaveScreenshot(dialog, "image");
            },
            IDCANCEL);
        EXPECT_EQ(VeltCam_SetImageDlg(handle_, nullptr), 1);
        ASSERT_TRUE(driver.Found());
    }
    EXPECT_EQ(Get(VeltCam_GetBrightness), brightness);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
}

TEST_F(DialogWindows, GrayPageInMonochromeModes) {
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    CDialogDriver driver(
        [&](HWND dialog) {
            EXPECT_EQ(TabCount(dialog), 2);
            ASSERT_EQ(Pages(dialog).size(), 2u);
            HWND filter = PageWith(dialog, 2001);
            HWND gray = PageWith(dialog, 2100);
            ASSERT_TRUE(filter != nullptr && gray != nullptr);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(filter, 2021)));  // hue
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(filter, 2001)));   // brightness
            EXPECT_FALSE(IsWindowVisible(gray));
            SwitchTab(dialog, 1);
            EXPECT_TRUE(IsWindowVisible(gray));
            EXPECT_FALSE(IsWindowVisible(filter));
            Click(gray, 1048, true);  // filter mode: grayscale
            Type(gray, 2101, "200");  // red gain
            SaveScreenshot(dialog, "gray");
        },
        IDOK);
    EXPECT_EQ(VeltCam_SetImageDlg(handle_, nullptr), 1);
    ASSERT_TRUE(driver.Found());
    int ok = 0;
    EXPECT_EQ(VeltCam_GetFilterValue(handle_, VELTCAM_ID_GRAY_MODE, &ok), 2);
    EXPECT_EQ(VeltCam_GetFilterValue(handle_, VELTCAM_ID_GRAY_GAIN_R, &ok), 200);
}

}  // namespace
}  // namespace veltcam
