// The names the editor lists the two products under. A copy of either relay
// among the encoders must not be started in the helper: sidecar.auo would
// relay every encoder once more, and the isolated module would start a
// helper of its own.
#pragma once

// The isolated module's, spelled once for the module's table and its boxes
// and the helper's own kDisplayName.
#define ISOLATED_DISPLAY_NAME "Offloader（別プロセス）"

// sidecar.auo's, byte for byte its kDisplayName (plugin/entry).
inline constexpr char kInProcessDisplayName[] = "Offloader";
