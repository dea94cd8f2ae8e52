// What the three dialog views share: templates from this DLL's own resources in
// the language of the system, UTF-8 texts on Unicode controls, the owner-drawn
// tab, slider groups (trackbar + edit + up-down) and tab pages.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/DialogHost.h"
#include "ui/FormatDialogModel.h"

namespace veltcam::ui::win32 {

// The template pair of one dialog: English and Japanese resource IDs.
struct TemplateIds {
    int english;
    int japanese;
};

// Runs the template of `language` modally; -1 when it cannot be shown.
INT_PTR RunModal(TemplateIds ids, DialogLanguage language, HWND owner, DLGPROC proc, LPARAM param);
// Creates a tab page (a child dialog) over `tab`'s display area, hidden.
HWND CreatePage(TemplateIds ids, DialogLanguage language, HWND parent, HWND tab, DLGPROC proc,
                LPARAM param);

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);
void SetText(HWND dialog, int id, const std::string& utf8);
std::string GetText(HWND dialog, int id);
std::optional<int> GetInt(HWND dialog, int id);
void SetInt(HWND dialog, int id, int value);
void FillList(HWND dialog, int id, const std::vector<std::string>& items, int selection);
int ListSelection(HWND dialog, int id);
void Show(HWND dialog, int id, bool shown);
void Enable(HWND dialog, int id, bool enabled);
void Check(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);

// Tabs with owner-drawn captions; DrawTab paints one (WM_DRAWITEM).
void AddTabs(HWND dialog, const std::vector<std::string>& captions);
void DrawTab(const DRAWITEMSTRUCT& item);

// What the analog and image containers do alike: OK ends with 1, Cancel with 0,
// Default runs `onDefault`, the tab is drawn, and `sink` hears of the end. True
// when `message` was one of these.
bool HandleContainerMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam,
                            const std::function<void()>& onDefault, const DialogWindowSink& sink);

// A slider group's three controls.
struct SliderIds {
    int bar;
    int edit;
    int spin;
};
void SetUpSlider(HWND page, SliderIds ids, int min, int max, int tick, int value);
// Shows `value` in the edit and on the trackbar without the edit's change reaching
// the model again (the caller holds its own "updating" flag).
void ShowSliderValue(HWND page, SliderIds ids, int value);
void ShowSlider(HWND page, SliderIds ids, bool shown);
void EnableSlider(HWND page, SliderIds ids, bool enabled);

}  // namespace veltcam::ui::win32
