// Resource ids of the sample encoder's settings dialog.
#pragma once

#define IDD_WRITER_SETTINGS 101
#define IDC_WRITER_PATH 1001
#define IDC_WRITER_BROWSE 1002
#define IDC_WRITER_COST 1003
