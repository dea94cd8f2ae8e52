#include "ui/FormatDialogModel.h"

#include <algorithm>
#include <cstdio>

#include "platform/SettingsStore.h"

namespace veltcam::ui {

namespace {

constexpr int kJapaneseLanguageId = 1041;

std::string Format(const char* pattern, int a) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a);
    return text;
}

std::string SizeLabel(const CaptureWindow& entry) {
    char text[64];
    std::snprintf(text, sizeof text, "%d x %d", entry.EH, entry.EV);
    return text;
}

// The six colour-mode labels in colour-mode order (8, 16, 24, 32, 48, 64 bits).
std::array<std::string, 6> ColorLabels(DialogLanguage language) {
    if (language == DialogLanguage::kJapanese) {
        return {"モノクロ 8bit",  Format("モノクロ %dbit *", 16),
                "カラー 24bit",   "カラー 32bit",
                "カラー 48bit *", "カラー 64bit *"};
    }
    return {"Monochrome 8bit", Format("Monochrome %dbit *", 16),
            "Color 24bit",     "Color 32bit",
            "Color 48bit *",   "Color 64bit *"};
}

bool IsFullFrame(const CaptureWindow& entry) {
    return entry.EH == kSensorWidth && entry.EV == kSensorHeight && entry.EHS == 0 &&
           entry.EVS == 0;
}

}  // namespace

DialogLanguage LanguageFor(int languageId) {
    return languageId == kJapaneseLanguageId ? DialogLanguage::kJapanese : DialogLanguage::kEnglish;
}

CFormatDialogModel::CFormatDialogModel(int cameraNumber, const FormatCapabilities& caps,
                                       DialogLanguage language)
    : cameraNumber_(cameraNumber), caps_(caps), language_(language) {
    ShowEntry(0);
}

void CFormatDialogModel::Load(CSettingsCamera& camera) {
    entries_ = settings::LoadSizeTable(cameraNumber_);
    if (entries_.size() > settings::kMaxSizeEntries) entries_.resize(settings::kMaxSizeEntries);

    int sizeIndex = 0;
    if (auto key = platform::OpenSettingsKey(settings::CameraKeyName(cameraNumber_))) {
        if (auto stored = key->ReadDword("Size")) sizeIndex = static_cast<int>(*stored);
    }
    // An index that names no entry (a hand-edited store, a shortened table) shows
    // the first entry rather than the custom item with stale edits.
    if (sizeIndex < 0 || sizeIndex >= static_cast<int>(entries_.size())) sizeIndex = 0;

    FormatSettings format;
    format.colorModeIndex = 2;
    format.waitTimeMs = 1;
    settings::LoadFormat(camera, cameraNumber_, format);

    const auto labels = ColorLabels(language_);
    colorItems_.clear();
    colorModes_.clear();
    auto add = [&](int mode) {
        colorItems_.push_back(labels[mode]);
        colorModes_.push_back(mode);
    };
    if (caps_.allows8And32) add(0);
    if (caps_.allows16) add(1);
    if (caps_.allowsColor) {
        for (int mode : {2, 3, 4, 5}) add(mode);
    }
    int color = format.colorModeIndex;
    if (!caps_.allowsColor) {
        if (caps_.allows16) {
            color = 1;
        } else if (caps_.allows8And32) {
            color = 0;
        }
    }
    auto found = std::find(colorModes_.begin(), colorModes_.end(), color);
    colorSelection_ =
        found == colorModes_.end() ? 0 : static_cast<int>(found - colorModes_.begin());

    subSample_ = format.subSampleMode == 1 ? 1 : 0;
    waitTimeMs_ = format.waitTimeMs;
    sizeSelection_ = sizeIndex;
    ShowEntry(sizeIndex);
    applyEnabled_ = false;
}

std::vector<std::string> CFormatDialogModel::SizeItems() const {
    std::vector<std::string> items;
    for (const CaptureWindow& entry : entries_) items.push_back(SizeLabel(entry));
    items.push_back(language_ == DialogLanguage::kJapanese ? "カスタム" : "Custom");
    return items;
}

std::vector<std::string> CFormatDialogModel::ClockItems() const {
    return {"Nomal(24MHz)", "Half(12MHz)", Format("High(%dMHz)", 54)};
}

bool CFormatDialogModel::IsEditEnabled(Edit edit) const {
    bool horizontal = edit == kTotalH || edit == kEffectiveH || edit == kStartH;
    if (horizontal && !caps_.canChangeH) return false;
    if (!horizontal && !caps_.canChangeV) return false;
    // The totals are read-only; the window itself is fixed while skipping.
    if (edit == kTotalH || edit == kTotalV) return true;
    return subSample_ != 1;
}

bool CFormatDialogModel::IsSizeListEnabled() const {
    return subSample_ != 1 && (caps_.canChangeH || caps_.canChangeV);
}

void CFormatDialogModel::SelectColor(int item) {
    if (item < 0 || item >= static_cast<int>(colorItems_.size())) return;
    colorSelection_ = item;
    applyEnabled_ = true;
}

void CFormatDialogModel::SelectSize(int item) {
    if (item < 0 || item > static_cast<int>(entries_.size())) return;
    sizeSelection_ = item;
    if (!IsCustomSelected()) ShowEntry(item);
    applyEnabled_ = true;
}

void CFormatDialogModel::SelectSubSample(int item) {
    if (item != 0 && item != 1) return;
    subSample_ = item;
    applyEnabled_ = true;
    if (item != 1) return;
    // Skipping reads the whole sensor: select (or add) the full-frame entry.
    auto full = std::find_if(entries_.begin(), entries_.end(), IsFullFrame);
    if (full == entries_.end()) {
        if (entries_.size() >= settings::kMaxSizeEntries) return;
        entries_.push_back(CaptureWindow{});
        full = entries_.end() - 1;
    }
    sizeSelection_ = static_cast<int>(full - entries_.begin());
    ShowEntry(sizeSelection_);
}

void CFormatDialogModel::SetEdit(Edit edit, int value) {
    edits_[edit] = value;
    applyEnabled_ = true;
}

void CFormatDialogModel::SetWaitTime(int ms) {
    waitTimeMs_ = ms;
    applyEnabled_ = true;
}

void CFormatDialogModel::ShowEntry(int index) {
    CaptureWindow entry;
    if (index >= 0 && index < static_cast<int>(entries_.size())) entry = entries_[index];
    edits_ = {entry.TH, entry.TV, entry.EH, entry.EV, entry.EHS, entry.EVS};
}

void CFormatDialogModel::Store() {
    CaptureWindow edited;
    edited.TH = edits_[kTotalH];
    edited.TV = edits_[kTotalV];
    edited.EH = edits_[kEffectiveH];
    edited.EV = edits_[kEffectiveV];
    edited.EHS = edits_[kStartH];
    edited.EVS = edits_[kStartV];
    if (IsCustomSelected()) {
        // A full table keeps its entries; the custom window is then not stored.
        if (entries_.size() >= settings::kMaxSizeEntries) return;
        entries_.push_back(edited);
        sizeSelection_ = static_cast<int>(entries_.size()) - 1;
    } else {
        edited.Buf = entries_[sizeSelection_].Buf;
        entries_[sizeSelection_] = edited;
    }
}

void CFormatDialogModel::Apply() {
    Store();
    FormatSettings format;
    format.colorModeIndex = colorModes_.empty() ? 0 : colorModes_[colorSelection_];
    format.subSampleMode = subSample_;
    format.waitTimeMs = waitTimeMs_;
    format.clock = kHighClockIndex;
    // With a full table and the custom item selected nothing names a stored entry.
    int sizeIndex = IsCustomSelected() ? 0 : sizeSelection_;
    settings::SaveFormat(cameraNumber_, entries_, sizeIndex, format);
    applyEnabled_ = false;
}

}  // namespace veltcam::ui
