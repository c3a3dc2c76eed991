// The name the editor lists the relay under (the table's `name`). ShowError
// captions its boxes with it, and the registry refuses a sub-plugin that
// carries it: that would be a copy of the relay.
#pragma once

inline constexpr char kDisplayName[] = "Offloader";
