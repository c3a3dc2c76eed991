#include "plugin/show_error.h"

#include "platform/messages.h"
#include "plugin/display_name.h"

namespace {
// MB_OK | MB_ICONERROR | MB_SYSTEMMODAL
constexpr unsigned kErrorBoxStyle = 0x1010;
}  // namespace

void ShowError(const char* text) { platform::ShowMessageBox(text, kDisplayName, kErrorBoxStyle); }
