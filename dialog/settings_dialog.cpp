#include "dialog/settings_dialog.h"

// Placeholder until the dialog lands.
void RunSettingsDialog(RelayContext*, WindowHandle) {}
