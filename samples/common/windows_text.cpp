#include "samples/common/windows_text.h"

#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sample_text {

std::wstring Widen(const std::string& text, UINT code_page) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
    if (length > 0) MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT code_page) {
    if (text.empty()) return std::string();
    const int length =
        WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(std::max(length, 0)), '\0');
    if (length > 0) {
        WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                            nullptr);
    }
    return narrow;
}

std::string Utf8(const char* code_page_932) { return Narrow(Widen(code_page_932, 932), CP_UTF8); }

std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ')) words.pop_back();
    char code[32];
    std::snprintf(code, sizeof code, " (%lu)", static_cast<unsigned long>(error));
    return Narrow(words, CP_UTF8) + code;
}

void ShowError(const char* caption, const char* text, const std::string& detail) {
    std::wstring message = Widen(text, 932);
    if (!detail.empty()) message += L"\n\n" + Widen(detail, CP_UTF8);
    MessageBoxW(nullptr, message.c_str(), Widen(caption, 932).c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

HMODULE OwnModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &self);
    return self;
}

void BrowseForFile(HWND dialog, int control, const char* filter, const char* extension, bool save) {
    char file[MAX_PATH] = {};
    GetDlgItemTextA(dialog, control, file, sizeof file);
    OPENFILENAMEA request;
    std::memset(&request, 0, sizeof request);
    request.lStructSize = sizeof request;
    request.hwndOwner = dialog;
    request.lpstrFilter = filter;
    request.lpstrFile = file;
    request.nMaxFile = sizeof file;
    request.lpstrDefExt = extension;
    request.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    if (save ? GetSaveFileNameA(&request) : GetOpenFileNameA(&request)) SetDlgItemTextA(dialog, control, file);
}

}  // namespace sample_text
