// What every sample's settings dialog (config) does alike: it is a template
// of the sample's own module, whatever module handle the editor passes; it
// holds the output file, with a Browse button; OK keeps what the controls
// hold once the sample accepts it, Cancel keeps nothing. The sample supplies
// the rest: how its other controls show its settings, its own buttons, and
// what it accepts.
#pragma once

#include <windows.h>

#include <cstddef>

#include "plugin/output_plugin.h"

namespace sample_dialog {

// The output file's edit control and its Browse button, which offers
// `file_filter` and adds `extension` to a name typed without one; the file
// is kept in `path` (code page 932, `path_bytes` with its NUL).
struct OutputFileField {
    int edit;
    int browse;
    const char* file_filter;
    const char* extension;
    char* path;
    size_t path_bytes;
};

template <size_t N>
constexpr OutputFileField OutputFile(int edit, int browse, const char* file_filter, const char* extension,
                                     char (&path)[N]) {
    return {edit, browse, file_filter, extension, path, N};
}

struct SettingsDialog {
    int template_id;  // the dialog template in the sample's resources
    // Fills the other controls from the settings, as the dialog opens.
    void (*show)(HWND dialog);
    // A button of the sample's own (Browse for another file, Defaults);
    // false for a control it does not handle. May be null: none.
    bool (*command)(HWND dialog, int control);
    // OK: takes the other controls' values into the settings and returns
    // true, or tells the user what is wrong and returns false to keep the
    // dialog open; the output file is taken only when it returns true.
    bool (*accept)(HWND dialog);
    OutputFileField output_file;
};

// Shows the dialog until the user closes it; what config returns: 1 when
// the settings were accepted, else 0.
int RunSettingsDialog(WindowHandle parent, const SettingsDialog& dialog);

}  // namespace sample_dialog
