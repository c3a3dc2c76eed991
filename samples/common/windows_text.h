// What the samples need of Windows to talk to the user: text between code
// page 932 (the editor's, and the samples' own strings), UTF-16 (what
// Windows shows) and UTF-8 (file names and words from other programs, kept
// whole whatever the system's code page), the system's own words for an
// error, and the message box that carries them.
#pragma once

#include <windows.h>

#include <string>

namespace sample_text {

std::wstring Widen(const std::string& text, UINT code_page);
std::string Narrow(const std::wstring& text, UINT code_page);
// A code page 932 string as UTF-8.
std::string Utf8(const char* code_page_932);

// FormatMessage's words for an error code, then the code in brackets; UTF-8.
std::string SystemMessage(DWORD error);

// A task-modal error box captioned `caption` (code page 932): `text` (code
// page 932), then `detail` (UTF-8) after an empty line.
void ShowError(const char* caption, const char* text, const std::string& detail);

// The module that holds this code (the sample's own, whatever handle the
// editor passes to config): where its dialog templates are.
HMODULE OwnModule();

// The common file dialog for the path in an edit control: to save a file
// (asks before overwriting one) or to open one that exists. The control
// keeps its text when the user cancels.
void BrowseForFile(HWND dialog, int control, const char* filter, const char* extension, bool save);

}  // namespace sample_text
