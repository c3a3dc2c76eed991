#pragma once

// The only way the relay reports a failure: a system-modal error box with no
// owner, captioned with the display name. Returns when the user closes it.
void ShowError(const char* text);
