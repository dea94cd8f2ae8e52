// The image dialog's window over CImageDialogModel: a container with the image
// filter page and, in the monochrome modes, the gray filter page.
#include <windows.h>

#include <commctrl.h>

#include "ui/DialogHost.h"
#include "ui/DialogMessages.h"
#include "ui/ImageDialogModel.h"
#include "ui/win32/DialogIds.h"
#include "ui/win32/DialogWin32.h"

namespace veltcam::ui {

namespace {

using namespace win32;
using M = CImageDialogModel;

struct ImageSlider {
    M::Slider slider;
    SliderIds ids;
};
constexpr ImageSlider kFilterSliders[] = {
    {M::kBrightness, {2001, 2002, 2004}}, {M::kContrast, {2011, 2012, 2014}},
    {M::kHue, {2021, 2022, 2024}},        {M::kSaturation, {2031, 2032, 2034}},
    {M::kSharpness, {2041, 2042, 2044}},  {M::kRedGain, {2051, 2052, 2054}},
    {M::kGreenGain, {2061, 2062, 2063}},  {M::kBlueGain, {2071, 2072, 2073}},
    {M::kGamma, {2081, 2082, 2084}},
};

enum PageKind { kFilterPage, kGrayPage, kPageCount };

struct ImageView {
    M& model;
    DialogLanguage language;
    const DialogWindowSink& sink;
    HWND pages[kPageCount] = {};
    bool updating = false;
};

// A page's pointer: the view and which page it is.
struct PageRef {
    ImageView* view;
    PageKind kind;
};

std::vector<ImageSlider> SlidersOf(PageKind kind) {
    if (kind == kFilterPage) return {std::begin(kFilterSliders), std::end(kFilterSliders)};
    std::vector<ImageSlider> gray;
    for (int i = 0; i < 8; ++i) {
        const int first = IDC_GRAY_GAIN_FIRST + 3 * i;
        gray.push_back({static_cast<M::Slider>(M::kGrayGainFirst + i), {first, first + 1, first + 2}});
    }
    return gray;
}

void ShowValues(ImageView& view, PageKind kind) {
    HWND page = view.pages[kind];
    if (page == nullptr) return;
    M& m = view.model;
    view.updating = true;
    for (const ImageSlider& s : SlidersOf(kind)) ShowSliderValue(page, s.ids, m.Value(s.slider));
    for (int mode = 0; mode < 4; ++mode) Check(page, IDC_BAYER_0 + mode, m.BayerMode() == mode);
    if (kind == kFilterPage) {
        Check(page, IDC_BALANCE_ALL, m.IsWhiteBalanceAllFramesChecked());
    } else {
        for (int mode = 0; mode < 3; ++mode) Check(page, IDC_FILTER_BAYER + mode, m.GrayMode() == mode);
    }
    view.updating = false;
}

void ShowAllValues(ImageView& view) {
    for (int kind = 0; kind < kPageCount; ++kind) ShowValues(view, static_cast<PageKind>(kind));
}

void InitializePage(HWND page, ImageView& view, PageKind kind) {
    M& m = view.model;
    view.pages[kind] = page;
    for (const ImageSlider& s : SlidersOf(kind)) {
        const M::SliderRange r = M::Range(s.slider);
        view.updating = true;
        SetUpSlider(page, s.ids, r.min, r.max, r.tick, m.Value(s.slider));
        view.updating = false;
        EnableSlider(page, s.ids, m.IsEnabled(s.slider));
    }
    if (kind == kFilterPage) {
        const bool colour = m.AreColorControlsEnabled();
        for (int id : {IDC_BALANCE_ONCE, IDC_BALANCE_ALL, 1030, 1031, 1032, 1033}) Enable(page, id, colour);
    }
    ShowValues(view, kind);
}

void OnPageCommand(HWND page, ImageView& view, PageKind kind, int id, int code) {
    if (view.updating) return;
    M& m = view.model;
    if (code == EN_CHANGE) {
        for (const ImageSlider& s : SlidersOf(kind)) {
            if (s.ids.edit != id) continue;
            std::optional<int> value = GetInt(page, id);
            if (!value) return;
            m.SetValue(s.slider, *value);
            SendDlgItemMessageW(page, s.ids.bar, TBM_SETPOS, TRUE, m.Value(s.slider));
        }
        return;
    }
    if (code != BN_CLICKED) return;
    if (id >= IDC_BAYER_0 && id < IDC_BAYER_0 + 4) {
        m.SelectBayerMode(id - IDC_BAYER_0);
    } else if (id >= IDC_FILTER_BAYER && id <= IDC_FILTER_GRAY) {
        m.SelectGrayMode(id - IDC_FILTER_BAYER);
    } else if (id == IDC_BALANCE_ONCE) {
        if (kind == kFilterPage) {
            m.WhiteBalanceOnce();
        } else {
            m.GrayBalanceOnce();
        }
    } else if (id == IDC_BALANCE_ALL) {
        if (kind == kFilterPage) {
            m.SetWhiteBalanceAllFrames(IsChecked(page, id));
        } else {
            m.ToggleGrayBalanceAllFrames();
        }
    } else {
        return;
    }
    // Both pages show the Bayer mode.
    ShowAllValues(view);
}

void OnPageScroll(HWND page, ImageView& view, PageKind kind, HWND bar) {
    if (view.updating) return;
    const int id = GetDlgCtrlID(bar);
    for (const ImageSlider& s : SlidersOf(kind)) {
        if (s.ids.bar != id) continue;
        view.model.SetValue(s.slider, static_cast<int>(SendMessageW(bar, TBM_GETPOS, 0, 0)));
        view.updating = true;
        ShowSliderValue(page, s.ids, view.model.Value(s.slider));
        view.updating = false;
    }
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(page, DWLP_USER, lParam);
        const PageRef& ref = *reinterpret_cast<const PageRef*>(lParam);
        InitializePage(page, *ref.view, ref.kind);
        return TRUE;
    }
    auto* ref = reinterpret_cast<PageRef*>(GetWindowLongPtrW(page, DWLP_USER));
    if (ref == nullptr) return FALSE;
    if (message == WM_COMMAND) {
        OnPageCommand(page, *ref->view, ref->kind, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    }
    if (message == WM_HSCROLL && lParam != 0) {
        OnPageScroll(page, *ref->view, ref->kind, reinterpret_cast<HWND>(lParam));
        return TRUE;
    }
    return FALSE;
}

// The page refs live as long as the container's dialog call.
struct Container {
    ImageView view;
    PageRef refs[kPageCount];
};

Container& ContainerOf(HWND dialog) {
    return *reinterpret_cast<Container*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void ShowPage(Container& c, int shown) {
    for (int kind = 0; kind < kPageCount; ++kind) {
        if (c.view.pages[kind] != nullptr) {
            ShowWindow(c.view.pages[kind], kind == shown ? SW_SHOW : SW_HIDE);
        }
    }
}

INT_PTR CALLBACK ContainerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        Container& c = ContainerOf(dialog);
        const bool japanese = c.view.language == DialogLanguage::kJapanese;
        std::vector<std::string> tabs = {japanese ? "イメージフィルタ" : "Image Filter"};
        if (c.view.model.HasGrayPage()) tabs.push_back(japanese ? "グレーフィルタ" : "Gray Filter");
        AddTabs(dialog, tabs);
        HWND tab = GetDlgItem(dialog, IDC_TAB);
        CreatePage({IDD_IMAGE_FILTER_EN, IDD_IMAGE_FILTER_JA}, c.view.language, dialog, tab,
                   PageProc, reinterpret_cast<LPARAM>(&c.refs[kFilterPage]));
        if (c.view.model.HasGrayPage()) {
            CreatePage({IDD_GRAY_FILTER_EN, IDD_GRAY_FILTER_JA}, c.view.language, dialog, tab,
                       PageProc, reinterpret_cast<LPARAM>(&c.refs[kGrayPage]));
        }
        ShowPage(c, kFilterPage);
        c.view.sink(dialog);
        return TRUE;
    }
    // Messages before WM_INITDIALOG find no view yet.
    if (GetWindowLongPtrW(dialog, DWLP_USER) == 0) return FALSE;
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_TAB && header->code == TCN_SELCHANGE) {
            ShowPage(ContainerOf(dialog),
                     static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
        }
        return TRUE;
    }
    ImageView& view = ContainerOf(dialog).view;
    auto onDefault = [&view] {
        view.model.Default();
        ShowAllValues(view);
    };
    if (HandleContainerMessage(dialog, message, wParam, lParam, onDefault, view.sink)) {
        return message != WM_DESTROY;
    }
    if (message == kImageDialogRefresh) {
        ShowAllValues(view);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int RunImageDialog(CImageDialogModel& model, platform::WindowHandle owner,
                   const DialogWindowSink& sink) {
    Container c{{model, SystemDialogLanguage(), sink}, {}};
    c.refs[kFilterPage] = {&c.view, kFilterPage};
    c.refs[kGrayPage] = {&c.view, kGrayPage};
    const INT_PTR result = RunModal({IDD_IMAGE_EN, IDD_IMAGE_JA}, c.view.language,
                                    static_cast<HWND>(owner), ContainerProc,
                                    reinterpret_cast<LPARAM>(&c));
    return result == 1 ? 1 : 0;
}

}  // namespace veltcam::ui
