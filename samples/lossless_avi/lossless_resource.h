// Resource ids of the lossless sample's settings dialog.
#pragma once

#define IDD_LOSSLESS_SETTINGS 101
#define IDC_LOSSLESS_LEVEL 1001
#define IDC_LOSSLESS_PATH 1002
#define IDC_LOSSLESS_PATH_BROWSE 1003
