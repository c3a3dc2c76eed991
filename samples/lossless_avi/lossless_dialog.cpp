// The sample's settings dialog: zlib's compression level, offered as a
// list so that no other value can be entered, and the output file.
#include <windows.h>
#include <commdlg.h>

#include <cstring>

#include "samples/common/windows_text.h"
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

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            for (const char* name : kLevelNames) {
                SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
            }
            SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_SETCURSEL, g_settings.level - kMinLevel, 0);
            SendDlgItemMessageA(dialog, IDC_LOSSLESS_PATH, EM_LIMITTEXT, kPathBytes - 1, 0);
            SetDlgItemTextA(dialog, IDC_LOSSLESS_PATH, g_settings.path);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case IDC_LOSSLESS_PATH_BROWSE:
                    sample_text::BrowseForFile(dialog, IDC_LOSSLESS_PATH, kFileFilter, "avi", true);
                    return TRUE;
                case IDOK: {
                    LosslessSettings edited = g_settings;
                    const LRESULT item = SendDlgItemMessageA(dialog, IDC_LOSSLESS_LEVEL, CB_GETCURSEL, 0, 0);
                    if (item >= 0 && item <= kMaxLevel - kMinLevel)
                        edited.level = kMinLevel + static_cast<int32_t>(item);
                    GetDlgItemTextA(dialog, IDC_LOSSLESS_PATH, edited.path, sizeof edited.path);
                    g_settings = edited;
                    EndDialog(dialog, IDOK);
                    return TRUE;
                }
                case IDCANCEL: EndDialog(dialog, IDCANCEL); return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

int LosslessConfig(WindowHandle parent, ModuleHandle) {
    // The dialog lives in this module whatever handle the caller passes.
    INT_PTR result = DialogBoxParamA(sample_text::OwnModule(), MAKEINTRESOURCEA(IDD_LOSSLESS_SETTINGS),
                                     static_cast<HWND>(parent), SettingsDialogProc, 0);
    return result == IDOK ? 1 : 0;
}

}  // namespace lossless_avi
