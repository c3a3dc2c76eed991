// The relay's settings dialog as a user meets it: the editor's thread sits in
// the relay's `config` while a driver thread finds the dialog, reads its
// controls, types and presses buttons, as a person at the screen would. The
// compiled template itself is read back from the module under test.
#include <windows.h>
#include <commctrl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/common/call_log.h"
#include "tests/common/cp932_texts.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"

namespace {

// "テンプレート107 (編集ソフト側)": the template of foreign_template.dll, a
// module of the editor's.
const char kForeignCaption[] =
    "\x83\x65\x83\x93\x83\x76\x83\x8c\x81\x5b\x83\x67\x31\x30\x37\x20\x28\x95\xd2\x8f\x57\x83\x5c\x83\x74\x83\x67"
    "\x91\xa4\x29";
// The configurable sub-plugin's own dialog.
const char kSubPluginDialogCaption[] = "Configurable test settings";
constexpr int kSubPluginSettingEdit = 100;

constexpr int kList = 1001;
constexpr int kInformation = 1002;
constexpr int kCount = 1003;
constexpr int kSpin = 1004;
constexpr int kConfigure = 1005;

// Long enough for a slow, shared machine; a case that gets there fails and
// closes what it opened.
constexpr DWORD kWindowLimit = 10000;

struct DialogSubPlugin {
    const char* file;
    const char* name;         // code page 932 bytes
    const char* information;  // null: the sub-plugin has none
    bool configurable;
};

// "設定付きテスト出力" / "設定付きテスト出力 1.0 : 設定画面のあるテスト用プラグイン"
const DialogSubPlugin kConfigurable = {
    "dialog_configurable.auo_",
    "\x90\xdd\x92\xe8\x95\x74\x82\xab\x83\x65\x83\x58\x83\x67\x8f\x6f\x97\xcd",
    "\x90\xdd\x92\xe8\x95\x74\x82\xab\x83\x65\x83\x58\x83\x67\x8f\x6f\x97\xcd"
    " 1.0 : "
    "\x90\xdd\x92\xe8\x89\xe6\x96\xca\x82\xcc\x82\xa0\x82\xe9\x83\x65\x83\x58\x83\x67\x97\x70\x83\x76\x83\x89\x83\x4f"
    "\x83\x43\x83\x93",
    true,
};
// "設定なしテスト出力" / "設定なしテスト出力 1.0 : 設定画面のないテスト用プラグイン"
const DialogSubPlugin kPlain = {
    "dialog_plain.auo_",
    "\x90\xdd\x92\xe8\x82\xc8\x82\xb5\x83\x65\x83\x58\x83\x67\x8f\x6f\x97\xcd",
    "\x90\xdd\x92\xe8\x82\xc8\x82\xb5\x83\x65\x83\x58\x83\x67\x8f\x6f\x97\xcd"
    " 1.0 : "
    "\x90\xdd\x92\xe8\x89\xe6\x96\xca\x82\xcc\x82\xc8\x82\xa2\x83\x65\x83\x58\x83\x67\x97\x70\x83\x76\x83\x89\x83\x4f"
    "\x83\x43\x83\x93",
    false,
};
// "情報なしテスト出力", without an information line.
const DialogSubPlugin kSilent = {
    "dialog_silent.auo_",
    "\x8f\xee\x95\xf1\x82\xc8\x82\xb5\x83\x65\x83\x58\x83\x67\x8f\x6f\x97\xcd",
    nullptr,
    false,
};

// An encoder whose config writes through a null pointer.
const DialogSubPlugin kCrashesInConfig = {"fault_crash_config.auo_", "Fault Encoder", "Fault Encoder information", true};

std::string ItemText(const DialogSubPlugin& plugin) { return std::string(plugin.name) + " (" + plugin.file + ")"; }

// What the information line should read for a sub-plugin: an absent line
// shows empty.
std::string InformationOf(const DialogSubPlugin& plugin) { return plugin.information ? plugin.information : ""; }

template <class Predicate>
bool WaitUntil(Predicate predicate, DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (!predicate()) {
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(5);
    }
    return true;
}

// A dialog counts as open once it is shown: before that its initialisation
// may still be filling the controls.
HWND WaitForDialog(const char* caption) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found = FindWindowA("#32770", caption);
            return found != nullptr && IsWindowVisible(found);
        },
        kWindowLimit);
    return found != nullptr && IsWindowVisible(found) ? found : nullptr;
}

// The first of two dialogs to be shown, and which one it was.
HWND WaitForEitherDialog(const char* caption, const char* other, const char** shown) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (const char* c : {caption, other}) {
                found = FindWindowA("#32770", c);
                if (found != nullptr && IsWindowVisible(found)) {
                    *shown = c;
                    return true;
                }
            }
            return false;
        },
        kWindowLimit);
    return found != nullptr && IsWindowVisible(found) ? found : nullptr;
}

std::string WindowText(HWND window) {
    char text[1024] = {};
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

// The dialog's controls as the user sees them.
struct DialogView {
    std::vector<std::string> items;
    std::vector<LRESULT> item_data;
    LRESULT selection = LB_ERR;
    std::string count_text;
    bool configure_enabled = false;
    std::string information;
};

DialogView Read(HWND dialog) {
    DialogView view;
    HWND list = GetDlgItem(dialog, kList);
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT item = 0; item < count; ++item) {
        LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(item), 0);
        std::vector<char> text(static_cast<size_t>(length < 0 ? 0 : length) * 2 + 2, '\0');
        SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(text.data()));
        view.items.push_back(text.data());
        view.item_data.push_back(SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(item), 0));
    }
    view.selection = SendMessageA(list, LB_GETCURSEL, 0, 0);
    view.count_text = WindowText(GetDlgItem(dialog, kCount));
    view.configure_enabled = IsWindowEnabled(GetDlgItem(dialog, kConfigure)) != FALSE;
    view.information = WindowText(GetDlgItem(dialog, kInformation));
    return view;
}

// As a click on an item does: the list moves its selection and tells the
// dialog. `notification` lets a case send a double click instead.
void Select(HWND dialog, int item, WORD notification = LBN_SELCHANGE) {
    HWND list = GetDlgItem(dialog, kList);
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(item), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(kList, notification), reinterpret_cast<LPARAM>(list));
}

void Type(HWND dialog, int control, const char* text) {
    SendMessageA(GetDlgItem(dialog, control), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// Posted, not sent: Configure runs a nested modal dialog, and a sent command
// would hold the driver until that dialog closed.
void Press(HWND dialog, int control) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

// Sent: returns once the dialog has acted on the click. Only for a click
// that opens nothing.
void Click(HWND dialog, int control) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

// The editor's main window, owner of the dialogs, at the screen's corner so
// that the relay's dialog (placed at the owner's client origin) is on screen.
HWND EditorWindow() {
    static HWND window = CreateWindowExA(0, "STATIC", "editor", WS_POPUP, 0, 0, 640, 480, nullptr, nullptr,
                                         GetModuleHandleA(nullptr), nullptr);
    return window;
}

using Script = std::function<void(HWND dialog)>;

struct Driver {
    Script script;
    // The caption of the relay's dialog as its template gives it; any other
    // dialog that opens in its place is shown as `shown` and then closed.
    const char* caption = editor::Module().dialog_caption;
    const char* other = editor::Module().dialog_caption;
    const char* shown = nullptr;
    HWND dialog = nullptr;
    bool left_open = false;
};

void CloseIfOpen(const char* caption) {
    if (HWND window = FindWindowA("#32770", caption)) PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
}

DWORD WINAPI DriveDialog(void* argument) {
    Driver& driver = *static_cast<Driver*>(argument);
    driver.dialog = WaitForEitherDialog(driver.caption, driver.other, &driver.shown);
    if (driver.dialog == nullptr) return 0;
    if (driver.shown == driver.caption) {
        driver.script(driver.dialog);
    } else {
        Press(driver.dialog, IDCANCEL);
    }
    HWND dialog = driver.dialog;
    if (!WaitUntil([&] { return !IsWindow(dialog); }, kWindowLimit)) {
        // The script failed half-way: close whatever it left, innermost
        // first, so that the editor's thread comes back.
        driver.left_open = true;
        CloseIfOpen(kSubPluginDialogCaption);
        WaitUntil([&] { return FindWindowA("#32770", kSubPluginDialogCaption) == nullptr; }, kWindowLimit);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        if (!WaitUntil([&] { return !IsWindow(dialog); }, kWindowLimit)) {
            // A dialog that ignores Cancel: ended from here, which the window
            // manager allows from any thread of the process.
            EndDialog(dialog, IDCANCEL);
            PostMessageA(dialog, WM_NULL, 0, 0);
            WaitUntil([&] { return !IsWindow(dialog); }, kWindowLimit);
        }
    }
    return 0;
}

// Opens the relay's dialog from the editor's thread, as the editor's menu
// does, and lets `script` work it from another thread. The script ends by
// closing the dialog; returns the dialog's window (null if it never opened).
// `module` is the module the editor names in its call, and `caption` that
// of the template it holds; a dialog with the caption `other` that opens in
// its place is closed at once, and the case fails.
HWND RunDialog(const editor::Relay& relay, Script script, HMODULE module, const char* caption,
               const char* other) {
    Driver driver;
    driver.script = std::move(script);
    driver.caption = caption;
    driver.other = other;
    HANDLE thread = CreateThread(nullptr, 0, DriveDialog, &driver, 0, nullptr);
    if (thread == nullptr) {
        CHECK(thread != nullptr);
        return nullptr;
    }
    CHECK_EQ(relay.table->config(EditorWindow(), module), 1);
    // The driver has bounded waits only; this bound is a last resort.
    bool joined = WaitForSingleObject(thread, 4 * kWindowLimit) == WAIT_OBJECT_0;
    CHECK(joined);
    CloseHandle(thread);
    if (!joined) return nullptr;
    CHECK(driver.dialog != nullptr);
    CHECK(!driver.left_open);
    if (!CHECK(driver.shown == caption)) {
        std::printf("      the dialog shown was \"%s\"\n", driver.shown != nullptr ? driver.shown : "(none)");
        return nullptr;
    }
    return driver.dialog;
}

HWND RunDialog(const editor::Relay& relay, Script script) {
    const char* caption = editor::Module().dialog_caption;
    return RunDialog(relay, std::move(script), relay.module, caption, caption);
}

// A relay initialised over a sidecar folder holding `installed`; `order`
// is the registry's order, which is the order of the sub-plugins' init
// calls (the folder listing's own order, not necessarily alphabetical).
struct RelayUnderTest {
    editor::Relay relay;
    std::vector<const DialogSubPlugin*> order;
    bool ready = false;

    explicit RelayUnderTest(const std::vector<const DialogSubPlugin*>& installed) {
        editor::ClearSidecar();
        for (const DialogSubPlugin* plugin : installed) {
            if (!editor::InstallSubPlugin(plugin->file)) return;
        }
        if (!editor::LoadRelay(&relay)) return;
        TakeCalls();
        if (relay.table->init() != 1) return;
        for (const RecordedCall& call : CallsTo(TakeCalls(), "", "init")) {
            for (const DialogSubPlugin* plugin : installed) {
                if (call.module == plugin->file) order.push_back(plugin);
            }
        }
        ready = order.size() == installed.size();
    }
    ~RelayUnderTest() {
        if (relay.table) relay.table->exit();
        editor::UnloadRelay(&relay);
        editor::ClearSidecar();
        TakeCalls();
        editor::TakeMessageBoxTexts();
    }
    RelayUnderTest(const RelayUnderTest&) = delete;
    RelayUnderTest& operator=(const RelayUnderTest&) = delete;

    int PositionOf(const DialogSubPlugin& plugin) const {
        for (size_t i = 0; i < order.size(); ++i) {
            if (order[i] == &plugin) return static_cast<int>(i);
        }
        return -1;
    }

    // An export as the editor starts it; what matters here is which
    // sub-plugin (if any) the relay runs.
    int Export() {
        OutputInfo info = {};
        info.width = 2;
        info.height = 2;
        info.frame_count = 1;
        info.frame_bytes = sizeof host_frame;
        info.get_video = [](int) -> void* { return host_frame; };
        info.get_audio = [](int, int, int* read) -> void* {
            if (read) *read = 0;
            return nullptr;
        };
        info.is_abort = []() { return 0; };
        info.show_progress = [](int, int) { return 1; };
        info.get_flag = [](int) { return 0; };
        info.update_preview = []() { return 1; };
        info.get_video_ex = [](int, uint32_t) -> void* { return host_frame; };
        return relay.table->output(&info);
    }
    static unsigned char host_frame[16];

    // Names the sub-plugin that an export runs; empty when none runs.
    std::string ExportedBy() {
        TakeCalls();
        const int result = Export();
        std::vector<RecordedCall> outputs = CallsTo(TakeCalls(), "", "output");
        return result == 1 && outputs.size() == 1 ? outputs[0].module : "";
    }

    // The relay's messages for an export that it refuses, one a line.
    std::string RefusedExportMessages() {
        if (Export() != 0) return "(the export ran)";
        editor::WaitForMessageBoxes(1, kWindowLimit);
        std::string joined;
        for (const std::string& text : editor::TakeMessageBoxTexts()) joined += (joined.empty() ? "" : "\n") + text;
        return joined;
    }

    // Opens the dialog, reads it and cancels it.
    DialogView Look() {
        DialogView view;
        RunDialog(relay, [&](HWND dialog) {
            view = Read(dialog);
            Press(dialog, IDCANCEL);
        });
        return view;
    }

    // Opens the dialog, selects `item`, types `count` and presses OK.
    void Choose(int item, const char* count) {
        RunDialog(relay, [&](HWND dialog) {
            Select(dialog, item);
            Type(dialog, kCount, count);
            Press(dialog, IDOK);
        });
    }
};

unsigned char RelayUnderTest::host_frame[16];

// --- The screenshot: the dialog's pixels from the screen into a .bmp beside
// the test programs, for the build to turn into a PNG.

bool SaveWindowPicture(HWND window, const std::string& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a .bmp file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr && memory != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
    }
    if (ok) {
        const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        const DWORD image_bytes = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + image_bytes;
        info.bmiHeader.biSizeImage = image_bytes;
        FILE* out = std::fopen(path.c_str(), "wb");
        ok = out != nullptr;
        if (out) {
            ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                 std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
                 std::fwrite(bits, image_bytes, 1, out) == 1;
            ok = std::fclose(out) == 0 && ok;
        }
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

// --- The compiled template, read back as the dialog manager reads it.

struct TemplateReader {
    const BYTE* at;
    const BYTE* end;
    bool failed = false;

    template <class T>
    T Take() {
        T value{};
        if (end - at < static_cast<ptrdiff_t>(sizeof value)) {
            failed = true;
            return value;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::wstring String() {
        std::wstring text;
        for (WCHAR c = Take<WCHAR>(); c != 0 && !failed; c = Take<WCHAR>()) text += c;
        return text;
    }
    // A class or title: an ordinal (0xFFFF, value) or a string.
    std::wstring NameOrOrdinal(WORD* ordinal) {
        *ordinal = 0;
        WORD first;
        std::memcpy(&first, at, sizeof first);
        if (first == 0xFFFF) {
            Take<WORD>();
            *ordinal = Take<WORD>();
            return L"";
        }
        return String();
    }
    void AlignTo4(const BYTE* base) {
        while ((at - base) % 4 != 0) ++at;
    }
};

std::string Cp932(const std::wstring& text) {
    if (text.empty()) return "";
    int length = WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}

// The class as the dialog manager resolves it: the predefined ordinals by
// their names, every name in lower case (class names do not distinguish
// case, and the resource compiler upper-cases them).
std::string ClassName(WORD ordinal, const std::wstring& name) {
    switch (ordinal) {
        case 0x0080: return "button";
        case 0x0081: return "edit";
        case 0x0082: return "static";
        case 0x0083: return "listbox";
        default: break;
    }
    std::string lower = Cp932(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

struct ExpectedControl {
    int id;
    const char* class_name;
    const char* text;  // code page 932
    short x, y, cx, cy;
    DWORD style;
};

// --- What the dialog leaves in the settings record the editor saves (and
// what a restored record shows in it). Offsets: count at 4, file name at 12,
// the sub-plugin's own settings at 268.

constexpr size_t kRecordHeader = 268;

std::string SavedSettings(const editor::Relay& relay) {
    const int size = relay.table->config_get(nullptr, 0);
    if (size < static_cast<int>(kRecordHeader)) return "";
    std::string block(static_cast<size_t>(size), '\0');
    const int written = relay.table->config_get(&block[0], size);
    if (written < static_cast<int>(kRecordHeader) || written > size) return "";
    block.resize(static_cast<size_t>(written));
    return block;
}

int32_t SavedCount(const std::string& block) {
    int32_t count = 0;
    if (block.size() >= 8) std::memcpy(&count, block.data() + 4, sizeof count);
    return count;
}

// The 256-byte name field, as stored (NUL padding included).
std::string SavedNameField(const std::string& block) {
    return block.size() >= kRecordHeader ? block.substr(12, 256) : "";
}

std::string NameField(const char* name) {
    std::string field(256, '\0');
    field.replace(0, std::strlen(name), name);
    return field;
}

int32_t SavedInner(const std::string& block) {
    int32_t value = 0;
    if (block.size() >= kRecordHeader + sizeof value) std::memcpy(&value, block.data() + kRecordHeader, sizeof value);
    return value;
}

int RestoreSettings(const editor::Relay& relay, int32_t count, const char* file) {
    std::string block(kRecordHeader, '\0');
    block.replace(0, 4, "ikm\0", 4);
    std::memcpy(&block[4], &count, sizeof count);
    block.replace(12, std::strlen(file), file);
    return relay.table->config_set(&block[0], static_cast<int>(block.size()));
}

}  // namespace

TEST_CASE(dialog, template_107_is_the_japanese_system_modal_dialog_with_eleven_controls) {
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    HRSRC resource =
        FindResourceExA(relay.module, RT_DIALOG, MAKEINTRESOURCEA(107), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    REQUIRE(resource != nullptr);
    HGLOBAL loaded = LoadResource(relay.module, resource);
    const BYTE* base = static_cast<const BYTE*>(LockResource(loaded));
    REQUIRE(base != nullptr);
    TemplateReader in{base, base + SizeofResource(relay.module, resource)};

    // DLGTEMPLATEEX header.
    CHECK_EQ(in.Take<WORD>(), 1);       // version
    CHECK_EQ(in.Take<WORD>(), 0xFFFF);  // signature of the extended form
    CHECK_EQ(in.Take<DWORD>(), 0u);     // help id
    CHECK_EQ(in.Take<DWORD>(), 0u);     // extended style
    // Pop-up, visible, caption, set-font, system-modal: no system menu, no
    // centring, not the modal frame.
    CHECK_EQ(in.Take<DWORD>(), 0x90C00042u);
    const WORD item_count = in.Take<WORD>();
    CHECK_EQ(item_count, 11);
    CHECK_EQ(in.Take<short>(), 0);
    CHECK_EQ(in.Take<short>(), 0);
    CHECK_EQ(in.Take<short>(), 222);
    CHECK_EQ(in.Take<short>(), 165);
    WORD ordinal = 0;
    CHECK(in.NameOrOrdinal(&ordinal).empty() && ordinal == 0);  // no menu
    CHECK(in.NameOrOrdinal(&ordinal).empty() && ordinal == 0);  // the standard dialog class
    CHECK_EQ(Cp932(in.String()), std::string(editor::Module().dialog_caption));
    CHECK_EQ(in.Take<WORD>(), 9);  // points
    in.Take<WORD>();               // weight
    in.Take<BYTE>();               // italic
    in.Take<BYTE>();               // character set
    CHECK_EQ(Cp932(in.String()), std::string("MS UI Gothic"));
    REQUIRE(!in.failed);

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const ExpectedControl expected[] = {
        {1, "button", "OK", 126, 144, 42, 14, child | WS_TABSTOP | BS_PUSHBUTTON},
        // "キャンセル"
        {2, "button", "\x83\x4c\x83\x83\x83\x93\x83\x5a\x83\x8b", 174, 144, 42, 14, child | WS_TABSTOP | BS_PUSHBUTTON},
        {kList, "listbox", "", 12, 18, 156, 72,
         child | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT},
        // "設定"
        {kConfigure, "button", "\x90\xdd\x92\xe8", 174, 72, 36, 14, child | WS_DISABLED | WS_TABSTOP | BS_PUSHBUTTON},
        {kCount, "edit", "", 48, 144, 24, 12, child | WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL},
        {kSpin, "msctls_updown32", "", 61, 144, 9, 12,
         child | UDS_ARROWKEYS | UDS_AUTOBUDDY | UDS_ALIGNRIGHT | UDS_SETBUDDYINT},
        // "出力プラグインの指定"
        {-1, "button", "\x8f\x6f\x97\xcd\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93\x82\xcc\x8e\x77\x92\xe8", 6, 6, 210,
         120, child | BS_GROUPBOX},
        // "情報"
        {-1, "button", "\x8f\xee\x95\xf1", 12, 96, 198, 24, child | BS_GROUPBOX},
        {kInformation, "static", cp932::kNoPluginLine, 18, 107, 186, 8, child | WS_GROUP | SS_LEFT | SS_ENDELLIPSIS},
        // "先読みバッファ"
        {-1, "button", "\x90\xe6\x93\xc7\x82\xdd\x83\x6f\x83\x62\x83\x74\x83\x40", 6, 132, 72, 30, child | BS_GROUPBOX},
        // "バッファ数"
        {-1, "static", "\x83\x6f\x83\x62\x83\x74\x83\x40\x90\x94", 13, 146, 26, 8, child | WS_GROUP | SS_LEFT},
    };
    for (WORD i = 0; i < item_count && i < sizeof expected / sizeof expected[0]; ++i) {
        const ExpectedControl& want = expected[i];
        in.AlignTo4(base);
        in.Take<DWORD>();  // help id
        const DWORD extended_style = in.Take<DWORD>();
        const DWORD style = in.Take<DWORD>();
        const short x = in.Take<short>(), y = in.Take<short>(), cx = in.Take<short>(), cy = in.Take<short>();
        const int id = static_cast<int>(in.Take<DWORD>());
        WORD class_ordinal = 0;
        std::wstring class_name = in.NameOrOrdinal(&class_ordinal);
        WORD text_ordinal = 0;
        std::wstring text = in.NameOrOrdinal(&text_ordinal);
        const WORD extra = in.Take<WORD>();
        in.at += extra;
        REQUIRE(!in.failed);

        CHECK_EQ(id, want.id);
        CHECK_EQ(ClassName(class_ordinal, class_name), std::string(want.class_name));
        CHECK_EQ(Cp932(text), std::string(want.text));
        CHECK_EQ(text_ordinal, 0);
        CHECK_EQ(x, want.x);
        CHECK_EQ(y, want.y);
        CHECK_EQ(cx, want.cx);
        CHECK_EQ(cy, want.cy);
        CHECK_EQ(style, want.style);
        CHECK_EQ(extended_style, 0u);
    }
    editor::UnloadRelay(&relay);
}

TEST_CASE(dialog, lists_every_sub_plugin_as_name_and_file_in_registry_order) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    DialogView view;
    HWND owner = nullptr;
    HWND dialog = RunDialog(relay.relay, [&](HWND window) {
        view = Read(window);
        owner = GetWindow(window, GW_OWNER);
        // The picture shows the configurable sub-plugin chosen, with its
        // information line and an enabled Configure button.
        Select(window, relay.PositionOf(kConfigurable));
        RedrawWindow(window, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(500);  // lets the window system put the painted pixels on screen
        const char* picture = editor::Module().isolated ? "\\dialog_isolated.bmp" : "\\dialog.bmp";
        CHECK(SaveWindowPicture(window, editor::BuildFolder() + picture));
        Press(window, IDCANCEL);
    });
    REQUIRE(dialog != nullptr);
    CHECK(owner == EditorWindow());

    REQUIRE_EQ(view.items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        CHECK_EQ(view.items[i], ItemText(*relay.order[i]));
        CHECK_EQ(view.item_data[i], static_cast<LRESULT>(i));
    }
    // Nothing restored: the first sub-plugin is the choice, and its item is
    // selected and described.
    CHECK_EQ(view.selection, 0);
    CHECK_EQ(view.information, InformationOf(*relay.order[0]));
    CHECK_EQ(view.configure_enabled, relay.order[0]->configurable);
    CHECK_EQ(view.count_text, "8");
}

TEST_CASE(dialog, selecting_an_item_shows_its_information_and_whether_it_can_be_configured) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    const int configurable = relay.PositionOf(kConfigurable);
    const int plain = relay.PositionOf(kPlain);
    const int silent = relay.PositionOf(kSilent);
    RunDialog(relay.relay, [&](HWND dialog) {
        Select(dialog, plain);
        DialogView view = Read(dialog);
        CHECK_EQ(view.information, InformationOf(kPlain));
        CHECK(!view.configure_enabled);

        Select(dialog, configurable);
        view = Read(dialog);
        CHECK_EQ(view.information, InformationOf(kConfigurable));
        CHECK(view.configure_enabled);

        // No information line: the line empties rather than keeping the
        // previous sub-plugin's text.
        Select(dialog, silent);
        view = Read(dialog);
        CHECK_EQ(view.information, "");
        CHECK(!view.configure_enabled);

        // Losing the selection disables Configure and keeps the line.
        Select(dialog, configurable);
        Select(dialog, -1);
        view = Read(dialog);
        CHECK_EQ(view.selection, LB_ERR);
        CHECK_EQ(view.information, InformationOf(kConfigurable));
        CHECK(!view.configure_enabled);

        // A double click is not a selection change: nothing is re-read.
        Select(dialog, plain);
        Select(dialog, configurable, LBN_DBLCLK);
        view = Read(dialog);
        CHECK_EQ(view.selection, configurable);
        CHECK_EQ(view.information, InformationOf(kPlain));
        CHECK(!view.configure_enabled);
        Press(dialog, IDCANCEL);
    });
}

TEST_CASE(dialog, ok_keeps_the_chosen_item_and_a_reopened_dialog_selects_it) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    // Every item after the first takes the selection over from item 0 when
    // it is the choice, configurable or not.
    for (int item = 1; item < 3; ++item) {
        const DialogSubPlugin& chosen = *relay.order[static_cast<size_t>(item)];
        relay.Choose(item, "48");
        DialogView view = relay.Look();
        CHECK_EQ(view.selection, item);
        CHECK_EQ(view.information, InformationOf(chosen));
        CHECK_EQ(view.configure_enabled, chosen.configurable);
        CHECK_EQ(view.count_text, "48");
        CHECK_EQ(relay.ExportedBy(), std::string(chosen.file));
        std::string saved = SavedSettings(relay.relay);
        CHECK_EQ(SavedCount(saved), 48);
        CHECK_EQ(SavedNameField(saved), NameField(chosen.file));
    }
}

TEST_CASE(dialog, ok_stores_counts_from_1_to_48_and_replaces_any_other_by_8) {
    RelayUnderTest relay({&kPlain});
    REQUIRE(relay.ready);
    struct Step {
        const char* typed;
        const char* stored;
    };
    // Each 8 follows a count that is not 8, so that a dialog which ignores
    // the field would show.
    const Step steps[] = {{"48", "48"}, {"", "8"},   {"17", "17"}, {"0", "8"},
                          {"1", "1"},   {"49", "8"}, {"30", "30"}, {"4294967295", "8"}};
    for (const Step& step : steps) {
        relay.Choose(0, step.typed);
        std::printf("    typed \"%s\"\n", step.typed);
        CHECK_EQ(relay.Look().count_text, std::string(step.stored));
    }
}

TEST_CASE(dialog, ok_without_a_selection_leaves_no_sub_plugin_chosen) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    relay.Choose(2, "8");
    RunDialog(relay.relay, [&](HWND dialog) {
        CHECK_EQ(Read(dialog).selection, 2);
        Select(dialog, -1);
        Press(dialog, IDOK);
    });
    CHECK_EQ(SavedNameField(SavedSettings(relay.relay)), std::string(256, '\0'));
    CHECK_EQ(relay.RefusedExportMessages(), std::string(cp932::kNoSelectionText));

    // With nothing chosen the dialog shows item 0, and OK makes it the
    // choice.
    RunDialog(relay.relay, [&](HWND dialog) {
        DialogView view = Read(dialog);
        CHECK_EQ(view.selection, 0);
        CHECK_EQ(view.information, InformationOf(*relay.order[0]));
        Press(dialog, IDOK);
    });
    CHECK_EQ(relay.ExportedBy(), std::string(relay.order[0]->file));
}

TEST_CASE(dialog, cancel_keeps_the_choice_and_the_count) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    relay.Choose(1, "20");
    RunDialog(relay.relay, [&](HWND dialog) {
        Select(dialog, 2);
        Type(dialog, kCount, "5");
        Press(dialog, IDCANCEL);
    });
    DialogView view = relay.Look();
    CHECK_EQ(view.selection, 1);
    CHECK_EQ(view.count_text, "20");
    // Cancelling with nothing selected clears nothing either.
    RunDialog(relay.relay, [&](HWND dialog) {
        Select(dialog, -1);
        Press(dialog, IDCANCEL);
    });
    CHECK_EQ(relay.ExportedBy(), std::string(relay.order[1]->file));
}

TEST_CASE(dialog, configure_opens_the_sub_plugins_own_dialog_modal_to_ours) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    const int configurable = relay.PositionOf(kConfigurable);
    relay.Choose(configurable, "12");
    const std::string before = SavedSettings(relay.relay);
    REQUIRE_EQ(before.size(), kRecordHeader + 4);
    CHECK_EQ(SavedInner(before), 50);
    TakeCalls();

    HWND owner = nullptr;
    bool ours_disabled = false;
    bool ours_enabled_again = false;
    std::string information_after;
    HWND dialog = RunDialog(relay.relay, [&](HWND window) {
        // Configure on a sub-plugin without `config` (its button disabled,
        // the command sent anyway) only shows its information.
        Select(window, relay.PositionOf(kSilent));
        Select(window, relay.PositionOf(kPlain));
        Click(window, kConfigure);
        CHECK_EQ(Read(window).information, InformationOf(kPlain));

        Select(window, configurable);
        Type(window, kCount, "40");
        Press(window, kConfigure);
        HWND own = WaitForDialog(kSubPluginDialogCaption);
        REQUIRE(own != nullptr);
        owner = GetWindow(own, GW_OWNER);
        ours_disabled = !IsWindowEnabled(window);
        Type(own, kSubPluginSettingEdit, "77");
        Press(own, IDOK);
        ours_enabled_again = WaitUntil([&] { return !IsWindow(own) && IsWindowEnabled(window); }, kWindowLimit);
        information_after = Read(window).information;
        Press(window, IDCANCEL);
    });
    REQUIRE(dialog != nullptr);
    CHECK(owner == dialog);
    CHECK(ours_disabled);
    CHECK(ours_enabled_again);
    CHECK_EQ(information_after, InformationOf(kConfigurable));

    std::vector<RecordedCall> configs = CallsTo(TakeCalls(), "", "config");
    REQUIRE_EQ(configs.size(), 1u);
    CHECK_EQ(configs[0].module, std::string(kConfigurable.file));
    // Called with our dialog as parent and the sub-plugin's own module.
    CHECK_EQ(configs[0].argument, static_cast<int>(reinterpret_cast<intptr_t>(dialog)));
    CHECK_EQ(configs[0].detail,
             static_cast<int32_t>(reinterpret_cast<intptr_t>(editor::LoadedSubPlugin(kConfigurable.file))));
    CHECK_EQ(configs[0].result, IDOK);
    // The sub-plugin keeps its change although our dialog was cancelled;
    // our own count does not change.
    const std::string after = SavedSettings(relay.relay);
    REQUIRE_EQ(after.size(), kRecordHeader + 4);
    CHECK_EQ(SavedInner(after), 77);
    CHECK_EQ(SavedCount(after), 12);
    CHECK_EQ(SavedNameField(after), NameField(kConfigurable.file));
}

TEST_CASE(dialog, an_encoder_whose_config_crashes_its_helper_leaves_ours_open_and_the_next_configure_works) {
    if (!editor::Module().isolated) SKIP_CASE("in sidecar.auo the encoder's crash is the editor's");
    RelayUnderTest relay({&kCrashesInConfig, &kConfigurable});
    REQUIRE(relay.ready);
    const DWORD first_helper = editor::HelperProcessId();
    TakeCalls();
    std::vector<std::string> boxes;
    HWND owner = nullptr;
    HWND dialog = RunDialog(relay.relay, [&](HWND window) {
        Select(window, relay.PositionOf(kCrashesInConfig));
        Press(window, kConfigure);
        editor::WaitForMessageBoxes(1, kWindowLimit);
        boxes = editor::TakeMessageBoxTexts();
        // Ours is still there and works: the other encoder's own dialog
        // opens from it, in a fresh helper.
        Select(window, relay.PositionOf(kConfigurable));
        Press(window, kConfigure);
        HWND own = WaitForDialog(kSubPluginDialogCaption);
        REQUIRE(own != nullptr);
        owner = GetWindow(own, GW_OWNER);
        Press(own, IDOK);
        WaitUntil([&] { return !IsWindow(own) && IsWindowEnabled(window); }, kWindowLimit);
        Press(window, IDCANCEL);
    });
    REQUIRE(dialog != nullptr);
    REQUIRE_EQ(boxes.size(), 1u);
    CHECK(editor::IsAccessViolationText(boxes[0], kCrashesInConfig.name, kCrashesInConfig.file, false));
    CHECK(owner == dialog);
    const std::vector<RecordedCall> calls = TakeCalls();
    CHECK_EQ(CallsTo(calls, kCrashesInConfig.file, "config").size(), 1u);
    const std::vector<RecordedCall> configs = CallsTo(calls, kConfigurable.file, "config");
    REQUIRE_EQ(configs.size(), 1u);
    CHECK_EQ(configs[0].result, IDOK);
    CHECK(editor::HelperProcessId() != first_helper);
}

TEST_CASE(dialog, an_empty_registry_leaves_an_empty_list_and_the_template_text) {
    RelayUnderTest relay(std::vector<const DialogSubPlugin*>{});
    REQUIRE(relay.ready);
    DialogView view = relay.Look();
    CHECK(view.items.empty());
    CHECK_EQ(view.selection, LB_ERR);
    CHECK(!view.configure_enabled);
    CHECK_EQ(view.information, std::string(cp932::kNoPluginLine));
    CHECK_EQ(view.count_text, "8");
    // Configure and OK with nothing to choose: nothing breaks, nothing is
    // chosen.
    RunDialog(relay.relay, [&](HWND dialog) {
        Press(dialog, kConfigure);
        Press(dialog, IDOK);
    });
    CHECK_EQ(relay.RefusedExportMessages(), std::string(cp932::kNoSelectionText));
}

TEST_CASE(dialog, a_restored_count_outside_the_range_is_shown_as_stored_and_kept_by_cancel) {
    RelayUnderTest relay({&kConfigurable, &kPlain, &kSilent});
    REQUIRE(relay.ready);
    const int plain = relay.PositionOf(kPlain);

    REQUIRE_EQ(RestoreSettings(relay.relay, 100, kPlain.file), static_cast<int>(kRecordHeader));
    DialogView view = relay.Look();
    CHECK_EQ(view.count_text, "100");
    CHECK_EQ(view.selection, plain);

    // A negative count reads as its unsigned 32-bit value.
    REQUIRE_EQ(RestoreSettings(relay.relay, -1, kPlain.file), static_cast<int>(kRecordHeader));
    view = relay.Look();
    CHECK_EQ(view.count_text, "4294967295");
    CHECK_EQ(view.selection, plain);
    CHECK_EQ(view.information, InformationOf(kPlain));
    CHECK(!view.configure_enabled);
    std::string saved = SavedSettings(relay.relay);
    CHECK_EQ(SavedCount(saved), -1);
    CHECK_EQ(SavedNameField(saved), NameField(kPlain.file));

    // OK without touching the field replaces it.
    RunDialog(relay.relay, [&](HWND dialog) { Press(dialog, IDOK); });
    CHECK_EQ(relay.Look().count_text, "8");
    saved = SavedSettings(relay.relay);
    CHECK_EQ(SavedCount(saved), 8);
    CHECK_EQ(SavedNameField(saved), NameField(kPlain.file));
}

// The editor names the module whose template 107 the relay runs; only when
// it names none does the relay take its own. The relay's dialog procedure
// works on whichever template it is: OK there stores the choice and count.
TEST_CASE(dialog, template_107_comes_from_the_module_the_editor_names_and_the_relays_own_without_one) {
    RelayUnderTest relay({&kConfigurable, &kPlain});
    REQUIRE(relay.ready);
    const std::string path = editor::BuildFolder() + "\\foreign_template.dll";
    HMODULE foreign = LoadLibraryA(path.c_str());
    REQUIRE(foreign != nullptr);
    const int plain = relay.PositionOf(kPlain);

    DialogView view;
    HWND shown = RunDialog(
        relay.relay,
        [&](HWND dialog) {
            view = Read(dialog);
            Select(dialog, plain);
            Type(dialog, kCount, "21");
            Press(dialog, IDOK);
        },
        foreign, kForeignCaption, editor::Module().dialog_caption);
    CHECK(shown != nullptr);
    CHECK_EQ(view.items.size(), 2u);
    CHECK_EQ(view.count_text, "8");
    std::string saved = SavedSettings(relay.relay);
    CHECK_EQ(SavedCount(saved), 21);
    CHECK_EQ(SavedNameField(saved), NameField(kPlain.file));

    // No module named: the relay's own template, with the same procedure.
    shown = RunDialog(
        relay.relay,
        [&](HWND dialog) {
            view = Read(dialog);
            Press(dialog, IDCANCEL);
        },
        nullptr, editor::Module().dialog_caption, kForeignCaption);
    CHECK(shown != nullptr);
    CHECK_EQ(view.count_text, "21");
    CHECK_EQ(view.selection, plain);
    FreeLibrary(foreign);
}
