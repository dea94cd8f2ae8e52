// The capture format dialog without its window: the colour, size, sub-sampling and
// clock lists, the six window edits and the wait time, and what OK, Apply and
// Cancel do with the camera's stored format. The view mirrors this state into its
// controls and forwards the user's changes; tests drive it directly.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "ui/SettingsPersistence.h"

namespace veltcam::ui {

enum class DialogLanguage { kEnglish, kJapanese };

// Japanese templates and labels when the system default language is Japanese.
DialogLanguage LanguageFor(int languageId);

struct FormatCapabilities {
    bool allows8And32 = true;
    bool allows16 = true;
    bool allowsColor = true;  // 24, 48 and 64 bits
    bool canChangeH = true;   // horizontal window
    bool canChangeV = true;   // vertical window
};

class CFormatDialogModel {
  public:
    // The window edits in control order: TH, TV, EH, EV, EHS, EVS.
    enum Edit { kTotalH, kTotalV, kEffectiveH, kEffectiveV, kStartH, kStartV, kEditCount };
    static constexpr int kHighClockIndex = 2;

    CFormatDialogModel(int cameraNumber, const FormatCapabilities& caps, DialogLanguage language);

    // Reads the camera's stored format and fills the lists; Apply starts disabled.
    void Load(CSettingsCamera& camera);

    const std::vector<std::string>& ColorItems() const { return colorItems_; }
    int ColorSelection() const { return colorSelection_; }
    // Size entries as "W x H", then the custom item.
    std::vector<std::string> SizeItems() const;
    int SizeSelection() const { return sizeSelection_; }
    bool IsCustomSelected() const { return sizeSelection_ == static_cast<int>(entries_.size()); }
    static std::vector<std::string> SubSampleItems() { return {"1/1", "1/2 Skip"}; }
    int SubSampleSelection() const { return subSample_; }
    std::vector<std::string> ClockItems() const;
    // The high clock is the only one the camera runs; the list only shows it.
    int ClockSelection() const { return kHighClockIndex; }
    int EditValue(Edit edit) const { return edits_[edit]; }
    bool IsEditEnabled(Edit edit) const;
    bool IsSizeListEnabled() const;
    int WaitTime() const { return waitTimeMs_; }
    bool IsApplyEnabled() const { return applyEnabled_; }
    const std::vector<CaptureWindow>& Entries() const { return entries_; }

    void SelectColor(int item);
    void SelectSize(int item);
    void SelectSubSample(int item);
    void SetEdit(Edit edit, int value);
    void SetWaitTime(int ms);

    // Store and save; OK then closes the dialog with 1, Cancel saves nothing.
    void Apply();

  private:
    void ShowEntry(int index);
    void Store();

    int cameraNumber_;
    FormatCapabilities caps_;
    DialogLanguage language_;
    std::vector<std::string> colorItems_;
    std::vector<int> colorModes_;  // colour-mode index (0..5) of each item
    int colorSelection_ = 0;
    std::vector<CaptureWindow> entries_;
    int sizeSelection_ = 0;
    int subSample_ = 0;
    std::array<int, kEditCount> edits_{};
    int waitTimeMs_ = 1;
    bool applyEnabled_ = false;
};

}  // namespace veltcam::ui
