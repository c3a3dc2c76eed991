// The sample's settings dialog: zlib's compression level, offered as a
// list so that no other value can be entered, and the output file.
#include <windows.h>

#include "samples/common/settings_dialog.h"
#include "samples/lossless_avi/lossless_plugin.h"
#include "samples/lossless_avi/lossless_resource.h"
#include "samples/lossless_avi/png_frame.h"

namespace lossless_avi {

namespace {

// Item i is level i + 1.
const char* const kLevelNames[] = {
    "1 (最速)", "2", "3", "4", "5", "6 (標準)", "7", "8", "9 (最小)",
};
static_assert(sizeof kLevelNames / sizeof kLevelNames[0] == kMaxLevel - kMinLevel + 1, "one item per level");

void ShowSettings(HWND dialog) {
    for (const char* name : kLevelNames) {
        SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_SETCURSEL, g_settings.level - kMinLevel, 0);
}

bool AcceptSettings(HWND dialog) {
    const LRESULT item = SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_GETCURSEL, 0, 0);
    if (item >= 0 && item <= kMaxLevel - kMinLevel) g_settings.level = kMinLevel + static_cast<int32_t>(item);
    return true;
}

const sample_dialog::SettingsDialog kSettingsDialog = {
    IDD_LOSSLESS_SETTINGS, ShowSettings, nullptr, AcceptSettings,
    sample_dialog::OutputFile(IDC_LOSSLESS_PATH, IDC_LOSSLESS_PATH_BROWSE, kFileFilter, "avi", g_settings.path)};

}  // namespace

int LosslessConfig(WindowHandle parent, ModuleHandle) {
    return sample_dialog::RunSettingsDialog(parent, kSettingsDialog);
}

}  // namespace lossless_avi
