// Dialog windows on Windows: the views are FormatDialogView.cpp,
// AnalogDialogView.cpp and ImageDialogView.cpp over templates in Dialogs.rc.
#include <windows.h>

#include "ui/DialogHost.h"

namespace veltcam::ui {

bool DialogsAvailable() { return true; }

DialogLanguage SystemDialogLanguage() { return LanguageFor(GetSystemDefaultUILanguage()); }

}  // namespace veltcam::ui
