// The sample's settings dialog: the ffmpeg program, the encoder arguments
// (with a button that restores the defaults) and the output file.
#include <windows.h>

#include "samples/common/settings_dialog.h"
#include "samples/common/windows_text.h"
#include "samples/ffmpeg_pipe/pipe_plugin.h"
#include "samples/ffmpeg_pipe/pipe_resource.h"

namespace ffmpeg_pipe {

namespace {

const char kProgramFilter[] =
    "ffmpeg (ffmpeg.exe)\0ffmpeg.exe\0プログラム (*.exe)\0*.exe\0すべてのファイル (*.*)\0*.*\0";
const char kNoProgramMessage[] = "ffmpeg のパスを入力してください。";

void ShowSettings(HWND dialog) {
    SendDlgItemMessageA(dialog, IDC_PIPE_PROGRAM, EM_LIMITTEXT, kPathBytes - 1, 0);
    SendDlgItemMessageA(dialog, IDC_PIPE_ARGUMENTS, EM_LIMITTEXT, kArgumentBytes - 1, 0);
    SetDlgItemTextA(dialog, IDC_PIPE_PROGRAM, g_settings.program);
    SetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, g_settings.arguments);
}

bool SettingsCommand(HWND dialog, int control) {
    switch (control) {
        case IDC_PIPE_PROGRAM_BROWSE:
            sample_text::BrowseForFile(dialog, IDC_PIPE_PROGRAM, kProgramFilter, "exe", false);
            return true;
        case IDC_PIPE_DEFAULTS: SetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, kDefaultArguments); return true;
    }
    return false;
}

bool AcceptSettings(HWND dialog) {
    PipeSettings edited = g_settings;
    GetDlgItemTextA(dialog, IDC_PIPE_PROGRAM, edited.program, sizeof edited.program);
    GetDlgItemTextA(dialog, IDC_PIPE_ARGUMENTS, edited.arguments, sizeof edited.arguments);
    if (edited.program[0] == '\0') {
        MessageBoxA(dialog, kNoProgramMessage, kName, MB_OK | MB_ICONWARNING);
        return false;
    }
    g_settings = edited;
    return true;
}

const sample_dialog::SettingsDialog kSettingsDialog = {
    IDD_PIPE_SETTINGS, ShowSettings, SettingsCommand, AcceptSettings,
    sample_dialog::OutputFile(IDC_PIPE_PATH, IDC_PIPE_PATH_BROWSE, kFileFilter, "mp4", g_settings.path)};

}  // namespace

int PipeConfig(WindowHandle parent, ModuleHandle) { return sample_dialog::RunSettingsDialog(parent, kSettingsDialog); }

}  // namespace ffmpeg_pipe
