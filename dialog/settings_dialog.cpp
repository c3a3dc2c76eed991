// The relay's settings dialog (template 107): the list of sub-plugins, the
// chosen one's information line and own configuration, and the number of
// read-ahead buffers. The context changes only on OK.
#include "dialog/settings_dialog.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "platform/module.h"
#include "plugin/relay_context.h"
#include "resources/resource.h"

namespace {

constexpr UINT kLowestBufferCount = 1;
constexpr UINT kHighestBufferCount = 48;

RelayContext* ContextOf(HWND dialog) { return reinterpret_cast<RelayContext*>(GetWindowLongPtrA(dialog, DWLP_USER)); }

// The entry behind the list's current selection, or null when nothing is
// selected or the item carries no usable position.
const SubPluginEntry* SelectedEntry(HWND dialog, const RelayContext& context) {
    LRESULT item = SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_GETCURSEL, 0, 0);
    if (item == LB_ERR) return nullptr;
    LRESULT position = SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_GETITEMDATA, static_cast<WPARAM>(item), 0);
    if (position == LB_ERR || position < 0) return nullptr;
    // The registry never changes while the dialog is open, so a position out
    // of its range can only be foreign data; it selects nothing.
    if (static_cast<size_t>(position) >= context.plugins.size()) return nullptr;
    const SubPluginEntry& entry = context.plugins[static_cast<size_t>(position)];
    return entry.table != nullptr ? &entry : nullptr;
}

// A sub-plugin without an information line shows an empty one rather than
// the previous plugin's.
void ShowInformation(HWND dialog, const OutputPluginTable& table) {
    SetWindowTextA(GetDlgItem(dialog, IDC_PLUGIN_INFORMATION), table.information ? table.information : "");
}

void ShowConfigureState(HWND dialog, const OutputPluginTable& table) {
    EnableWindow(GetDlgItem(dialog, IDC_PLUGIN_CONFIGURE), table.config != nullptr ? TRUE : FALSE);
}

void ShowEntry(HWND dialog, const OutputPluginTable& table) {
    ShowInformation(dialog, table);
    ShowConfigureState(dialog, table);
}

// "name (file)". Building it may run out of memory, and nothing may be
// thrown through the window manager's frames: the item is then shown with
// its display name alone, which still lets the user choose it.
LRESULT AddItem(HWND dialog, const SubPluginEntry& entry) {
    const char* name = entry.table->name ? entry.table->name : "";
    LRESULT item = LB_ERR;
    try {
        std::string text = name;
        text += " (";
        text += entry.file_name;
        text += ")";
        item = SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } catch (...) {
        item = SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    return item;
}

void Initialise(HWND dialog, RelayContext* context) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(context));
    if (context == nullptr) return;
    // A restored count is shown as stored, a negative one as its unsigned
    // value, so that the user sees what OK would replace.
    SetDlgItemInt(dialog, IDC_BUFFER_COUNT, static_cast<UINT>(context->buffer_count), FALSE);
    SendDlgItemMessageA(dialog, IDC_BUFFER_SPIN, UDM_SETRANGE32, kLowestBufferCount, kHighestBufferCount);

    const SubPluginList& plugins = context->plugins;
    for (size_t position = 0; position < plugins.size(); ++position) {
        const SubPluginEntry& entry = plugins[position];
        if (entry.table == nullptr) continue;
        // The list is not sorted, so the item lands at `position`; the item
        // data, not the item's index, is what OK and the handlers read.
        LRESULT item = AddItem(dialog, entry);
        if (item < 0) continue;  // no room in the list: the entry cannot be chosen
        SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_SETITEMDATA, static_cast<WPARAM>(item),
                            static_cast<LPARAM>(position));
        // Item 0 is shown first; the chosen entry's item, if later, takes over.
        if (position == 0 || entry.table == context->selected) {
            SendDlgItemMessageA(dialog, IDC_PLUGIN_LIST, LB_SETCURSEL, static_cast<WPARAM>(item), 0);
            ShowEntry(dialog, *entry.table);
        }
    }
}

void Accept(HWND dialog, RelayContext& context) {
    BOOL translated = FALSE;
    UINT count = GetDlgItemInt(dialog, IDC_BUFFER_COUNT, &translated, FALSE);
    bool in_range = translated && count >= kLowestBufferCount && count <= kHighestBufferCount;
    context.buffer_count = in_range ? static_cast<int32_t>(count) : kDefaultBufferCount;

    const SubPluginEntry* entry = SelectedEntry(dialog, context);
    context.selected = entry != nullptr ? entry->table : nullptr;
    EndDialog(dialog, IDOK);
}

void SelectionChanged(HWND dialog, const RelayContext& context) {
    if (const SubPluginEntry* entry = SelectedEntry(dialog, context)) {
        ShowEntry(dialog, *entry->table);
    } else {
        EnableWindow(GetDlgItem(dialog, IDC_PLUGIN_CONFIGURE), FALSE);
    }
}

void Configure(HWND dialog, const RelayContext& context) {
    const SubPluginEntry* entry = SelectedEntry(dialog, context);
    if (entry == nullptr) return;
    ShowInformation(dialog, *entry->table);
    // The sub-plugin's own dialog is owned by ours, which it keeps disabled
    // while it is open. Its result means nothing to the relay.
    if (entry->table->config != nullptr) entry->table->config(dialog, entry->module);
}

void Command(HWND dialog, WORD control, WORD notification) {
    RelayContext* context = ContextOf(dialog);
    switch (control) {
        case IDOK:
            if (context != nullptr) {
                Accept(dialog, *context);
            } else {
                EndDialog(dialog, IDOK);
            }
            break;
        case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
        case IDC_PLUGIN_CONFIGURE:
            if (context != nullptr) Configure(dialog, *context);
            break;
        case IDC_PLUGIN_LIST:
            // A double click only selects, as a single click does.
            if (notification == LBN_SELCHANGE && context != nullptr) SelectionChanged(dialog, *context);
            break;
        default: break;
    }
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: Initialise(dialog, reinterpret_cast<RelayContext*>(lparam)); return 1;
        case WM_COMMAND: Command(dialog, LOWORD(wparam), HIWORD(wparam)); return 0;
        default: return 0;
    }
}

}  // namespace

void RunSettingsDialog(RelayContext* context, WindowHandle parent, ModuleHandle module) {
    // The up-down control's class exists only once the common controls are
    // initialised (Wine registers it anyway; Windows does not).
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    // The editor names the module that holds the template (its copy of this
    // module as a rule); an editor that names none gets this module's own.
    HINSTANCE source = static_cast<HINSTANCE>(module != nullptr ? module : platform::OwnModule());
    DialogBoxParamA(source, MAKEINTRESOURCEA(IDD_SETTINGS), static_cast<HWND>(parent), SettingsDialogProc,
                    reinterpret_cast<LPARAM>(context));
}
