// Sub-plugins for the settings dialog's cases (Windows only). One source,
// three modules chosen by DIALOG_SUBPLUGIN_KIND:
//   1  a configurable one: its `config` opens a modal dialog of its own,
//      owned by the window it is given, whose OK stores a number that its
//      `config_get` reports and `config_set` restores;
//   2  a plain one without `config` or settings;
//   3  one without an information line (null `information`).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "plugin/output_plugin.h"
#include "tests/subplugins/call_record.h"

#define TEST_EXPORT extern "C" __declspec(dllexport)

#if DIALOG_SUBPLUGIN_KIND == 1
#define DIALOG_SUBPLUGIN_NAME "設定付きテスト出力"
#define DIALOG_SUBPLUGIN_INFORMATION "設定付きテスト出力 1.0 : 設定画面のあるテスト用プラグイン"
#define DIALOG_SUBPLUGIN_CONFIGURABLE 1
#elif DIALOG_SUBPLUGIN_KIND == 2
#define DIALOG_SUBPLUGIN_NAME "設定なしテスト出力"
#define DIALOG_SUBPLUGIN_INFORMATION "設定なしテスト出力 1.0 : 設定画面のないテスト用プラグイン"
#define DIALOG_SUBPLUGIN_CONFIGURABLE 0
#elif DIALOG_SUBPLUGIN_KIND == 3
#define DIALOG_SUBPLUGIN_NAME "情報なしテスト出力"
#define DIALOG_SUBPLUGIN_INFORMATION nullptr
#define DIALOG_SUBPLUGIN_CONFIGURABLE 0
#else
#error "DIALOG_SUBPLUGIN_KIND must be 1, 2 or 3"
#endif

namespace {

char g_module_name[MAX_PATH];

void FindOwnName() {
    char path[MAX_PATH] = {};
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&FindOwnName), &self);
    GetModuleFileNameA(self, path, sizeof path);
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/') base = p + 1;
    }
    std::snprintf(g_module_name, sizeof g_module_name, "%s", base);
}

void Record(const char* function, int argument, int result, const void* bytes = nullptr, int byte_count = 0,
            int32_t detail = 0) {
    if (g_module_name[0] == '\0') FindOwnName();
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    SubPluginCall call = {g_module_name,
                          function,
                          argument,
                          result,
                          bytes,
                          byte_count,
                          directory,
                          GetCurrentThreadId(),
                          GetThreadPriority(GetCurrentThread()),
                          detail};
    DeliverCall(call);
}

int Init() {
    Record("init", 0, 1);
    return 1;
}

int Exit() {
    Record("exit", 0, 1);
    return 1;
}

int Output(OutputInfo*) {
    Record("output", 0, 1);
    return 1;
}

#if DIALOG_SUBPLUGIN_CONFIGURABLE

// The one setting, as its own dialog edits it and config_get reports it.
int32_t g_setting = 50;

constexpr WORD kSettingEdit = 100;

// An in-memory DLGTEMPLATE: a caption, an edit showing the setting, OK and
// Cancel. Items start on DWORD boundaries; the vector of WORDs is padded to
// keep that.
class TemplateBuilder {
public:
    void Header(DWORD style, WORD items, short x, short y, short cx, short cy, const char* caption) {
        Dword(style);
        Dword(0);
        words_.push_back(items);
        Coordinates(x, y, cx, cy);
        words_.push_back(0);  // no menu
        words_.push_back(0);  // the standard dialog class
        Text(caption);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD class_atom, const char* text) {
        if (words_.size() % 2 != 0) words_.push_back(0);
        Dword(style);
        Dword(0);
        Coordinates(x, y, cx, cy);
        words_.push_back(id);
        words_.push_back(0xFFFF);
        words_.push_back(class_atom);
        Text(text);
        words_.push_back(0);  // no creation data
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void Coordinates(short x, short y, short cx, short cy) {
        for (short value : {x, y, cx, cy}) words_.push_back(static_cast<WORD>(value));
    }
    // ASCII only, widened byte by byte.
    void Text(const char* text) {
        for (const char* p = text; *p; ++p) words_.push_back(static_cast<unsigned char>(*p));
        words_.push_back(0);
    }
    std::vector<WORD> words_;
};

INT_PTR CALLBACK SettingDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        SetDlgItemInt(dialog, kSettingEdit, static_cast<UINT>(g_setting), TRUE);
        return 1;
    }
    if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
        BOOL translated = FALSE;
        int value = static_cast<int>(GetDlgItemInt(dialog, kSettingEdit, &translated, TRUE));
        if (translated) g_setting = value;
        EndDialog(dialog, IDOK);
        return 1;
    }
    if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return 1;
    }
    return 0;
}

// The caption the cases look for, ASCII so that no code page is involved.
const char kSettingDialogCaption[] = "Configurable test settings";

int Config(WindowHandle parent, ModuleHandle module) {
    TemplateBuilder builder;
    builder.Header(WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_MODALFRAME, 3, 40, 40, 140, 52, kSettingDialogCaption);
    builder.Item(WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 8, 8, 124, 12, kSettingEdit, 0x0081,
                 "");
    builder.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 36, 30, 46, 14, IDOK, 0x0080, "OK");
    builder.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 86, 30, 46, 14, IDCANCEL, 0x0080, "Cancel");
    INT_PTR result = DialogBoxIndirectParamA(static_cast<HINSTANCE>(module), builder.Get(), static_cast<HWND>(parent),
                                             SettingDialogProc, 0);
    // The window and module handles the relay passed, for the cases to
    // compare with what they see.
    Record("config", static_cast<int>(reinterpret_cast<intptr_t>(parent)), static_cast<int>(result), nullptr, 0,
           static_cast<int32_t>(reinterpret_cast<intptr_t>(module)));
    return result == IDOK ? 1 : 0;
}

int ConfigGet(void* data, int size) {
    if (data == nullptr) {
        Record("config_get", size, static_cast<int>(sizeof g_setting));
        return static_cast<int>(sizeof g_setting);
    }
    if (size < static_cast<int>(sizeof g_setting)) {
        Record("config_get", size, 0);
        return 0;
    }
    std::memcpy(data, &g_setting, sizeof g_setting);
    Record("config_get", size, static_cast<int>(sizeof g_setting), data, static_cast<int>(sizeof g_setting));
    return static_cast<int>(sizeof g_setting);
}

int ConfigSet(void* data, int size) {
    if (data == nullptr || size < static_cast<int>(sizeof g_setting)) {
        Record("config_set", size, 0);
        return 0;
    }
    std::memcpy(&g_setting, data, sizeof g_setting);
    Record("config_set", size, static_cast<int>(sizeof g_setting), data, static_cast<int>(sizeof g_setting));
    return static_cast<int>(sizeof g_setting);
}

// clang-format off
OutputPluginTable g_table = {
    0, DIALOG_SUBPLUGIN_NAME, "All files\0*.*\0", DIALOG_SUBPLUGIN_INFORMATION, Init, Exit, Output,
    Config, ConfigGet, ConfigSet, {},
};
// clang-format on

#else

// clang-format off
OutputPluginTable g_table = {
    0, DIALOG_SUBPLUGIN_NAME, "All files\0*.*\0", DIALOG_SUBPLUGIN_INFORMATION, Init, Exit, Output,
    nullptr, nullptr, nullptr, {},
};
// clang-format on

#endif

}  // namespace

TEST_EXPORT OutputPluginTable* GetOutputPluginTable() {
    Record("GetOutputPluginTable", 0, 0);
    return &g_table;
}
