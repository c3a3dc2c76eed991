// The name the editor lists the module under (the table's `name`). ShowError
// captions its boxes with it, and the registry refuses a sub-plugin that
// carries it: that would be a copy of the relay. Each product names itself
// in its top layer (sidecar.auo in plugin/entry), so that a layer below
// serves either product with that product's own name.
#pragma once

extern const char kDisplayName[];
