#include "samples/common/settings_dialog.h"

#include "samples/common/windows_text.h"

namespace sample_dialog {

namespace {

void ShowOutputFile(HWND dialog, const OutputFileField& field) {
    SendDlgItemMessageA(dialog, field.edit, EM_LIMITTEXT, field.path_bytes - 1, 0);
    SetDlgItemTextA(dialog, field.edit, field.path);
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        const auto* described = reinterpret_cast<const SettingsDialog*>(lparam);
        described->show(dialog);
        ShowOutputFile(dialog, described->output_file);
        return TRUE;
    }
    // Messages that come before WM_INITDIALOG find no description yet.
    const auto* described = reinterpret_cast<const SettingsDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (message != WM_COMMAND || described == nullptr) return FALSE;
    const OutputFileField& file = described->output_file;
    const int control = LOWORD(wparam);
    if (control == IDOK) {
        if (described->accept(dialog)) {
            GetDlgItemTextA(dialog, file.edit, file.path, static_cast<int>(file.path_bytes));
            EndDialog(dialog, IDOK);
        }
        return TRUE;
    }
    if (control == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    if (control == file.browse) {
        sample_text::BrowseForFile(dialog, file.edit, file.file_filter, file.extension, true);
        return TRUE;
    }
    return described->command != nullptr && described->command(dialog, control) ? TRUE : FALSE;
}

}  // namespace

int RunSettingsDialog(WindowHandle parent, const SettingsDialog& dialog) {
    // The dialog lives in the sample's module whatever handle the caller
    // passes.
    INT_PTR result = DialogBoxParamA(sample_text::OwnModule(), MAKEINTRESOURCEA(dialog.template_id),
                                     static_cast<HWND>(parent), SettingsDialogProc, reinterpret_cast<LPARAM>(&dialog));
    return result == IDOK ? 1 : 0;
}

}  // namespace sample_dialog
