#pragma once

// Identifiers of the dialogs, their controls, the icon, strings and the system-menu command.
// Plain macros, so resource scripts can include them too.

#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128

#define IDC_SELECT 1000
#define IDC_PROGRESS 1001
#define IDC_DEVICE_LIST 1002
#define IDC_IMAGE_PATH 1003
#define IDC_REFRESH 1004
#define IDC_TIME_ELAPSED 1006
#define IDC_TIME_REMAINING 1007
#define IDC_SPEED 1008
#define IDC_TOTAL_TIME 1009
#define IDC_PERCENT 1010
#define IDC_STATUS 1011
#define IDC_PARTITIONS_ONLY 1012
#define IDC_VERIFY 1013
#define IDC_READ_MODE 1014
#define IDC_WRITE_MODE 1015
#define IDC_PATH_LABEL 1016
#define IDC_DEVICE_LABEL 1017
#define IDC_CONFIRM_TEXT 1018
#define IDD_CONFIRM_WRITE 103
#define IDC_ELAPSED_LABEL 1019
#define IDC_REMAINING_LABEL 1020
#define IDC_TOTAL_LABEL 1021
#define IDC_SPEED_LABEL 1022
#define IDC_CARD_ROWS 1023
