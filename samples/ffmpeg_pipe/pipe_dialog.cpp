// The sample's settings dialog: the ffmpeg program, the encoder arguments
// (with a button that restores the defaults) and the output file.
#include <windows.h>
#include <commdlg.h>

#include <cstring>

#include "samples/common/windows_text.h"
#include "samples/ffmpeg_pipe/pipe_plugin.h"
#include "samples/ffmpeg_pipe/pipe_resource.h"

namespace ffmpeg_pipe {

namespace {

const char kProgramFilter[] =
    "ffmpeg (ffmpeg.exe)\0ffmpeg.exe\0プログラム (*.exe)\0*.exe\0すべてのファイル (*.*)\0*.*\0";
const char kNoProgramMessage[] = "ffmpeg のパスを入力してください。";

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            SendDlgItemMessageA(dialog, IDC_PIPE_PROGRAM, EM_LIMITTEXT, kPathBytes - 1, 0);
            SendDlgItemMessageA(dialog, IDC_PIPE_ARGUMENTS, EM_LIMITTEXT, kArgumentBytes - 1, 0);
            SendDlgItemMessageA(dialog, IDC_PIPE_PATH, EM_LIMITTEXT, kPathBytes - 1, 0);
            SetDlgItemTextA(dialog, IDC_PIPE_PROGRAM, g_settings.program);
            SetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, g_settings.arguments);
            SetDlgItemTextA(dialog, IDC_PIPE_PATH, g_settings.path);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case IDC_PIPE_PROGRAM_BROWSE:
                    sample_text::BrowseForFile(dialog, IDC_PIPE_PROGRAM, kProgramFilter, "exe", false);
                    return TRUE;
                case IDC_PIPE_PATH_BROWSE:
                    sample_text::BrowseForFile(dialog, IDC_PIPE_PATH, kFileFilter, "mp4", true);
                    return TRUE;
                case IDC_PIPE_DEFAULTS: SetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, kDefaultArguments); return TRUE;
                case IDOK: {
                    PipeSettings edited;
                    GetDlgItemTextA(dialog, IDC_PIPE_PROGRAM, edited.program, sizeof edited.program);
                    GetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, edited.arguments, sizeof edited.arguments);
                    GetDlgItemTextA(dialog, IDC_PIPE_PATH, edited.path, sizeof edited.path);
                    if (edited.program[0] == '\0') {
                        MessageBoxA(dialog, kNoProgramMessage, kName, MB_OK | MB_ICONWARNING);
                        return TRUE;
                    }
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

int PipeConfig(WindowHandle parent, ModuleHandle) {
    // The dialog lives in this module whatever handle the caller passes.
    INT_PTR result = DialogBoxParamA(sample_text::OwnModule(), MAKEINTRESOURCEA(IDD_PIPE_SETTINGS),
                                     static_cast<HWND>(parent), SettingsDialogProc, 0);
    return result == IDOK ? 1 : 0;
}

}  // namespace ffmpeg_pipe
