#include "ui/win32/DialogWin32.h"

#include <windows.h>

#include <commctrl.h>

namespace veltcam::ui::win32 {

namespace {

// The module these resources are linked into: the DLL, not the application that
// loaded it, so the address of a function of ours names it.
HMODULE ResourceModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ResourceModule), &module);
    return module;
}

// The language is named explicitly: the thread's UI language (what a plain
// FindResource would go by) need not be the system's.
const DLGTEMPLATE* FindTemplate(TemplateIds ids, DialogLanguage language) {
    const bool japanese = language == DialogLanguage::kJapanese;
    const WORD lang = japanese ? MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)
                               : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    HMODULE module = ResourceModule();
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(5) /* RT_DIALOG */,
                                  MAKEINTRESOURCEW(japanese ? ids.japanese : ids.english), lang);
    if (found == nullptr) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    return loaded == nullptr ? nullptr : static_cast<const DLGTEMPLATE*>(LockResource(loaded));
}

void InitControls() {
    INITCOMMONCONTROLSEX init{sizeof init, ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_TAB_CLASSES};
    InitCommonControlsEx(&init);
}

}  // namespace

INT_PTR RunModal(TemplateIds ids, DialogLanguage language, HWND owner, DLGPROC proc,
                 LPARAM param) {
    InitControls();
    const DLGTEMPLATE* found = FindTemplate(ids, language);
    if (found == nullptr) return -1;
    return DialogBoxIndirectParamW(ResourceModule(), found, owner, proc, param);
}

HWND CreatePage(TemplateIds ids, DialogLanguage language, HWND parent, HWND tab, DLGPROC proc,
                LPARAM param) {
    const DLGTEMPLATE* found = FindTemplate(ids, language);
    if (found == nullptr) return nullptr;
    HWND page = CreateDialogIndirectParamW(ResourceModule(), found, parent, proc, param);
    if (page == nullptr) return nullptr;
    RECT area;
    GetWindowRect(tab, &area);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
    TabCtrl_AdjustRect(tab, FALSE, &area);
    SetWindowPos(page, HWND_TOP, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_HIDEWINDOW);
    return page;
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n,
                        nullptr, nullptr);
    return utf8;
}

void SetText(HWND dialog, int id, const std::string& utf8) {
    SetDlgItemTextW(dialog, id, Widen(utf8).c_str());
}

std::string GetText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
}

std::optional<int> GetInt(HWND dialog, int id) {
    BOOL ok = FALSE;
    const int value = static_cast<int>(GetDlgItemInt(dialog, id, &ok, TRUE));
    if (!ok) return std::nullopt;
    return value;
}

void SetInt(HWND dialog, int id, int value) { SetDlgItemInt(dialog, id, value, TRUE); }

void FillList(HWND dialog, int id, const std::vector<std::string>& items, int selection) {
    HWND list = GetDlgItem(dialog, id);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item).c_str()));
    }
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

int ListSelection(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

void Show(HWND dialog, int id, bool shown) {
    ShowWindow(GetDlgItem(dialog, id), shown ? SW_SHOW : SW_HIDE);
}

void Enable(HWND dialog, int id, bool enabled) { EnableWindow(GetDlgItem(dialog, id), enabled); }

void Check(HWND dialog, int id, bool checked) {
    CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool IsChecked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

void AddTabs(HWND dialog, const std::vector<std::string>& captions) {
    HWND tab = GetDlgItem(dialog, 1001);
    // Under every other control, which it would otherwise paint over.
    SetWindowPos(tab, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    int index = 0;
    for (const std::string& caption : captions) {
        std::wstring text = Widen(caption);
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = text.data();
        SendMessageW(tab, TCM_INSERTITEMW, static_cast<WPARAM>(index++),
                     reinterpret_cast<LPARAM>(&item));
    }
}

void DrawTab(const DRAWITEMSTRUCT& item) {
    wchar_t text[64] = {};
    TCITEMW tab{};
    tab.mask = TCIF_TEXT;
    tab.pszText = text;
    tab.cchTextMax = 63;
    SendMessageW(item.hwndItem, TCM_GETITEMW, item.itemID, reinterpret_cast<LPARAM>(&tab));
    RECT area = item.rcItem;
    FillRect(item.hDC, &area, GetSysColorBrush(COLOR_BTNFACE));
    SetBkColor(item.hDC, GetSysColor(COLOR_BTNFACE));
    DrawTextW(item.hDC, text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

bool HandleContainerMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam,
                            const std::function<void()>& onDefault, const DialogWindowSink& sink) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) EndDialog(dialog, 1);
            if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, 0);
            if (LOWORD(wParam) == 3 /* Default */) onDefault();
            return true;
        case WM_DRAWITEM:
            DrawTab(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return true;
        case WM_DESTROY:
            sink(nullptr);
            return true;
        default:
            return false;
    }
}

void SetUpSlider(HWND page, SliderIds ids, int min, int max, int tick, int value) {
    HWND bar = GetDlgItem(page, ids.bar);
    SendMessageW(bar, TBM_SETRANGEMIN, FALSE, min);
    SendMessageW(bar, TBM_SETRANGEMAX, FALSE, max);
    SendMessageW(bar, TBM_SETTICFREQ, static_cast<WPARAM>(tick > 0 ? tick : 1), 0);
    HWND spin = GetDlgItem(page, ids.spin);
    SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetDlgItem(page, ids.edit)), 0);
    SendMessageW(spin, UDM_SETRANGE32, static_cast<WPARAM>(min), max);
    ShowSliderValue(page, ids, value);
}

void ShowSliderValue(HWND page, SliderIds ids, int value) {
    SendDlgItemMessageW(page, ids.bar, TBM_SETPOS, TRUE, value);
    SendDlgItemMessageW(page, ids.spin, UDM_SETPOS32, 0, value);
    SetInt(page, ids.edit, value);
}

void ShowSlider(HWND page, SliderIds ids, bool shown) {
    for (int id : {ids.bar, ids.edit, ids.spin}) Show(page, id, shown);
}

void EnableSlider(HWND page, SliderIds ids, bool enabled) {
    for (int id : {ids.bar, ids.edit, ids.spin}) Enable(page, id, enabled);
}

}  // namespace veltcam::ui::win32
