#include "dialog/settings_dialog.h"

// The native build has no window system; the dialog is exercised under Wine.
void RunSettingsDialog(RelayContext*, WindowHandle, ModuleHandle) {}
