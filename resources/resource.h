// Resource identifiers shared by the templates and the code.
#pragma once

#define IDD_SETTINGS 107

#define IDC_PLUGIN_LIST 1001
#define IDC_PLUGIN_INFORMATION 1002
#define IDC_BUFFER_COUNT 1003
#define IDC_BUFFER_SPIN 1004
#define IDC_PLUGIN_CONFIGURE 1005
