// The analog dialog's window over CAnalogDialogModel: a container with one tab
// and the page for colour or monochrome cameras.
#include <windows.h>

#include <commctrl.h>

#include "ui/AnalogDialogModel.h"
#include "ui/DialogHost.h"
#include "ui/DialogMessages.h"
#include "ui/win32/DialogIds.h"
#include "ui/win32/DialogWin32.h"

namespace veltcam::ui {

namespace {

using namespace win32;
using M = CAnalogDialogModel;

struct AnalogSlider {
    M::Slider slider;
    SliderIds ids;
};
constexpr AnalogSlider kSliders[] = {
    {M::kGlobalGain, {IDC_GAIN_BAR, IDC_GAIN_EDIT, IDC_GAIN_SPIN}},
    {M::kColorGainG1, {IDC_CGAIN_G1_BAR, IDC_CGAIN_G1_EDIT, IDC_CGAIN_G1_SPIN}},
    {M::kColorGainR, {IDC_CGAIN_R_BAR, IDC_CGAIN_R_EDIT, IDC_CGAIN_R_SPIN}},
    {M::kColorGainB, {IDC_CGAIN_B_BAR, IDC_CGAIN_B_EDIT, IDC_CGAIN_B_SPIN}},
    {M::kColorGainG2, {IDC_CGAIN_G2_BAR, IDC_CGAIN_G2_EDIT, IDC_CGAIN_G2_SPIN}},
    {M::kExposure, {IDC_EXPOSURE_BAR, IDC_EXPOSURE_EDIT, IDC_EXPOSURE_SPIN}},
    {M::kBlackLevel, {IDC_BLACK_BAR, IDC_BLACK_EDIT, IDC_BLACK_SPIN}},
};

struct AnalogView {
    M& model;
    DialogLanguage language;
    const DialogWindowSink& sink;
    HWND page = nullptr;
    bool updating = false;
};

AnalogView& ViewOf(HWND window) {
    return *reinterpret_cast<AnalogView*>(GetWindowLongPtrW(window, DWLP_USER));
}

// Sliders that exist on the page in use (the colour gains only on the colour page,
// black level only on the other).
bool OnPage(const AnalogView& view, M::Slider slider) {
    if (slider >= M::kColorGainG1 && slider <= M::kColorGainG2) return view.model.UsesColorPage();
    if (slider == M::kBlackLevel) return !view.model.UsesColorPage();
    return true;
}

void ShowValues(AnalogView& view) {
    M& m = view.model;
    HWND page = view.page;
    view.updating = true;
    for (const AnalogSlider& s : kSliders) {
        if (OnPage(view, s.slider)) ShowSliderValue(page, s.ids, m.Value(s.slider));
    }
    SetText(page, IDC_REAL_EDIT, m.RealExposureText());
    Check(page, IDC_IRIS_GAIN, m.IsAutoIrisGainChecked());
    Check(page, IDC_IRIS_EXPOSURE, m.IsAutoIrisExposureChecked());
    Check(page, IDC_MIRROR_V, m.MirrorV() != 0);
    Check(page, IDC_MIRROR_H, m.MirrorH() != 0);
    if (!m.UsesColorPage()) {
        Check(page, IDC_PELTIER, m.IsCoolingOn());
        Check(page, IDC_SHORT_EXPOSURE, m.IsShortExposureOn());
        SendDlgItemMessageW(page, IDC_GAIN_MODE, CB_SETCURSEL,
                            static_cast<WPARAM>(m.GainModeSelection()), 0);
    }
    view.updating = false;
}

void InitializePage(HWND page, AnalogView& view) {
    M& m = view.model;
    view.page = page;
    view.updating = true;
    for (const AnalogSlider& s : kSliders) {
        if (!OnPage(view, s.slider)) continue;
        const M::SliderRange r = m.Range(s.slider);
        SetUpSlider(page, s.ids, r.min, r.max, r.tick, m.Value(s.slider));
        ShowSlider(page, s.ids, m.IsShown(s.slider));
        EnableSlider(page, s.ids, m.IsEnabled(s.slider));
    }
    const bool real = m.HasRealExposure();
    for (int id : {IDC_EXPOSURE_LABEL, IDC_EXPOSURE_MSEC}) Show(page, id, !real);
    for (int id : {IDC_REAL_LABEL, IDC_REAL_EDIT, IDC_REAL_UNIT, IDC_REAL_RANGE}) Show(page, id, real);
    if (real) {
        FillList(page, IDC_REAL_UNIT, m.UnitItems(), m.UnitSelection());
        SetText(page, IDC_REAL_RANGE, m.RangeText());
    }
    if (!m.UsesColorPage()) {
        Show(page, IDC_BLACK_LABEL, m.IsShown(M::kBlackLevel));
        Show(page, IDC_PELTIER, m.HasCooling());
        Show(page, IDC_SHORT_EXPOSURE, m.HasShortExposure());
        Show(page, IDC_GAIN_MODE, m.HasGainMode());
        FillList(page, IDC_GAIN_MODE, M::GainModeItems(), m.GainModeSelection());
    }
    view.updating = false;
    ShowValues(view);
}

void OnPageCommand(HWND page, AnalogView& view, int id, int code) {
    if (view.updating) return;
    M& m = view.model;
    if (code == EN_CHANGE) {
        if (id == IDC_REAL_EDIT) {
            if (m.SetRealExposureText(GetText(page, id))) {
                view.updating = true;
                SendDlgItemMessageW(page, IDC_EXPOSURE_BAR, TBM_SETPOS, TRUE, m.Value(M::kExposure));
                view.updating = false;
            }
            return;
        }
        for (const AnalogSlider& s : kSliders) {
            if (s.ids.edit != id) continue;
            std::optional<int> value = GetInt(page, id);
            if (!value) return;
            m.SetValue(s.slider, *value);
            SendDlgItemMessageW(page, s.ids.bar, TBM_SETPOS, TRUE, m.Value(s.slider));
        }
        return;
    }
    if (code == CBN_SELCHANGE) {
        if (id == IDC_REAL_UNIT) {
            m.SelectUnit(ListSelection(page, id));
            view.updating = true;
            SetText(page, IDC_REAL_EDIT, m.RealExposureText());
            view.updating = false;
        }
        if (id == IDC_GAIN_MODE) m.SelectGainMode(ListSelection(page, id));
        return;
    }
    if (code != BN_CLICKED) return;
    const bool checked = IsChecked(page, id);
    switch (id) {
        case IDC_MIRROR_V: m.SetMirrorV(checked); break;
        case IDC_MIRROR_H: m.SetMirrorH(checked); break;
        case IDC_IRIS_GAIN: m.SetAutoIrisGain(checked); break;
        case IDC_IRIS_EXPOSURE: m.SetAutoIrisExposure(checked); break;
        case IDC_PELTIER: m.SetCooling(checked); break;
        case IDC_SHORT_EXPOSURE: m.SetShortExposure(checked); break;
        default: return;
    }
    ShowValues(view);
}

void OnPageScroll(HWND page, AnalogView& view, HWND bar) {
    if (view.updating) return;
    const int id = GetDlgCtrlID(bar);
    for (const AnalogSlider& s : kSliders) {
        if (s.ids.bar != id) continue;
        view.model.SetValue(s.slider, static_cast<int>(SendMessageW(bar, TBM_GETPOS, 0, 0)));
        view.updating = true;
        ShowSliderValue(page, s.ids, view.model.Value(s.slider));
        SetText(page, IDC_REAL_EDIT, view.model.RealExposureText());
        view.updating = false;
    }
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    // Messages before WM_INITDIALOG find no view yet.
    if (message != WM_INITDIALOG && GetWindowLongPtrW(page, DWLP_USER) == 0) return FALSE;
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(page, DWLP_USER, lParam);
            InitializePage(page, ViewOf(page));
            return TRUE;
        case WM_COMMAND:
            OnPageCommand(page, ViewOf(page), LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_HSCROLL:
            if (lParam != 0) OnPageScroll(page, ViewOf(page), reinterpret_cast<HWND>(lParam));
            return TRUE;
        default:
            return FALSE;
    }
}

// Auto iris changed gain or exposure on the display thread; the settings hold the
// new value already, the page only shows it.
void ShowAutoIris(AnalogView& view, M::Slider slider, int value) {
    if (view.page == nullptr) return;
    view.updating = true;
    for (const AnalogSlider& s : kSliders) {
        if (s.slider == slider) ShowSliderValue(view.page, s.ids, value);
    }
    view.updating = false;
}

INT_PTR CALLBACK ContainerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        AnalogView& view = ViewOf(dialog);
        const bool japanese = view.language == DialogLanguage::kJapanese;
        AddTabs(dialog, {japanese ? "アナログゲイン" : "Analog Gain"});
        const TemplateIds page = view.model.UsesColorPage()
                                     ? TemplateIds{IDD_ANALOG_COLOR_EN, IDD_ANALOG_COLOR_JA}
                                     : TemplateIds{IDD_ANALOG_MONO_EN, IDD_ANALOG_MONO_JA};
        HWND created = CreatePage(page, view.language, dialog, GetDlgItem(dialog, IDC_TAB),
                                  PageProc, lParam);
        if (created != nullptr) ShowWindow(created, SW_SHOW);
        view.sink(dialog);
        return TRUE;
    }
    // Messages before WM_INITDIALOG find no view yet.
    if (GetWindowLongPtrW(dialog, DWLP_USER) == 0) return FALSE;
    AnalogView& view = ViewOf(dialog);
    auto onDefault = [&view] {
        view.model.Default();
        if (view.page != nullptr) ShowValues(view);
    };
    if (HandleContainerMessage(dialog, message, wParam, lParam, onDefault, view.sink)) {
        return message != WM_DESTROY;
    }
    if (message == kAnalogDialogShowGain) {
        ShowAutoIris(view, M::kGlobalGain, static_cast<int>(wParam));
        return TRUE;
    }
    if (message == kAnalogDialogShowExposure) {
        ShowAutoIris(view, M::kExposure, static_cast<int>(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int RunAnalogDialog(CAnalogDialogModel& model, platform::WindowHandle owner,
                    const DialogWindowSink& sink) {
    AnalogView view{model, SystemDialogLanguage(), sink};
    const INT_PTR result =
        RunModal({IDD_ANALOG_EN, IDD_ANALOG_JA}, view.language, static_cast<HWND>(owner),
                 ContainerProc, reinterpret_cast<LPARAM>(&view));
    return result == 1 ? 1 : 0;
}

}  // namespace veltcam::ui
