// The capture format dialog's window over CFormatDialogModel.
#include "ui/win32/DialogWin32.h"
#include "ui/win32/DialogIds.h"
#include "ui/DialogHost.h"

namespace veltcam::ui {

namespace {

using namespace win32;
using M = CFormatDialogModel;

constexpr int kEditIds[M::kEditCount] = {IDC_TOTAL_H,     IDC_TOTAL_V, IDC_EFFECTIVE_H,
                                         IDC_EFFECTIVE_V, IDC_START_H, IDC_START_V};

struct FormatView {
    M& model;
    DialogLanguage language;
    bool updating = false;
};

FormatView& ViewOf(HWND dialog) {
    return *reinterpret_cast<FormatView*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

// Everything the model shows, after a list changed what the edits hold.
void ShowModel(HWND dialog, FormatView& view) {
    M& m = view.model;
    view.updating = true;
    FillList(dialog, IDC_SIZE_LIST, m.SizeItems(), m.SizeSelection());
    for (int edit = 0; edit < M::kEditCount; ++edit) {
        SetInt(dialog, kEditIds[edit], m.EditValue(static_cast<M::Edit>(edit)));
        Enable(dialog, kEditIds[edit], m.IsEditEnabled(static_cast<M::Edit>(edit)));
    }
    Enable(dialog, IDC_SIZE_LIST, m.IsSizeListEnabled());
    Enable(dialog, IDC_APPLY, m.IsApplyEnabled());
    view.updating = false;
}

void Initialize(HWND dialog, FormatView& view) {
    M& m = view.model;
    AddTabs(dialog, {view.language == DialogLanguage::kJapanese ? "ストリーム形式" : "Stream Format"});
    view.updating = true;
    FillList(dialog, IDC_COLOR_LIST, m.ColorItems(), m.ColorSelection());
    FillList(dialog, IDC_SUBSAMPLE_LIST, M::SubSampleItems(), m.SubSampleSelection());
    FillList(dialog, IDC_CLOCK_LIST, m.ClockItems(), m.ClockSelection());
    Enable(dialog, IDC_CLOCK_LIST, false);
    SetInt(dialog, IDC_WAIT_TIME, m.WaitTime());
    view.updating = false;
    ShowModel(dialog, view);
}

void OnCommand(HWND dialog, FormatView& view, int id, int code) {
    M& m = view.model;
    switch (id) {
        case IDOK:
            m.Apply();
            EndDialog(dialog, 1);
            return;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return;
        case IDC_APPLY:
            m.Apply();
            ShowModel(dialog, view);
            return;
        default:
            break;
    }
    if (view.updating) return;
    if (code == CBN_SELCHANGE) {
        const int item = ListSelection(dialog, id);
        if (id == IDC_COLOR_LIST) m.SelectColor(item);
        if (id == IDC_SIZE_LIST) m.SelectSize(item);
        if (id == IDC_SUBSAMPLE_LIST) m.SelectSubSample(item);
        ShowModel(dialog, view);
    } else if (code == EN_CHANGE) {
        // Only Apply follows a keystroke: rewriting the edit would move the caret.
        std::optional<int> value = GetInt(dialog, id);
        if (!value) return;
        if (id == IDC_WAIT_TIME) m.SetWaitTime(*value);
        for (int edit = 0; edit < M::kEditCount; ++edit) {
            if (kEditIds[edit] == id) m.SetEdit(static_cast<M::Edit>(edit), *value);
        }
        Enable(dialog, IDC_APPLY, m.IsApplyEnabled());
    }
}

INT_PTR CALLBACK FormatProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // Messages before WM_INITDIALOG find no view yet.
    if (message != WM_INITDIALOG && GetWindowLongPtrW(dialog, DWLP_USER) == 0) return FALSE;
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            Initialize(dialog, ViewOf(dialog));
            return TRUE;
        case WM_COMMAND:
            OnCommand(dialog, ViewOf(dialog), LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_DRAWITEM:
            DrawTab(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

int RunCameraDialog(CFormatDialogModel& model, platform::WindowHandle owner) {
    FormatView view{model, SystemDialogLanguage()};
    const INT_PTR result = RunModal({IDD_FORMAT_EN, IDD_FORMAT_JA}, view.language,
                                    static_cast<HWND>(owner), FormatProc,
                                    reinterpret_cast<LPARAM>(&view));
    return result == 1 ? 1 : 0;
}

}  // namespace veltcam::ui
