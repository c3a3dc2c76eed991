// Resource ids of the ffmpeg sample's settings dialog.
#pragma once

#define IDD_PIPE_SETTINGS 101
#define IDC_PIPE_PROGRAM 1001
#define IDC_PIPE_PROGRAM_BROWSE 1002
#define IDC_PIPE_ARGUMENTS 1003
#define IDC_PIPE_DEFAULTS 1004
#define IDC_PIPE_PATH 1005
#define IDC_PIPE_PATH_BROWSE 1006
