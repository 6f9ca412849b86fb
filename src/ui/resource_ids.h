#pragma once
// Identifiers of the capture dialog's template and controls. Plain macros:
// the resource compiler reads this header too.

#define IDD_CAPTURE 101

#define IDC_DEVICE_COMBO 1001
#define IDC_PREVIEW 1002
#define IDC_CHANGE_KEY 1003
#define IDC_KEY_LABEL 1004
#define IDC_CAPTURE 1005
#define IDC_CLOSE 1006
#define IDC_STATUS 1007
#define IDC_RESOLUTION 1008
#define IDC_REFRESH 1009
#define IDC_SUPPORT 1010
#define IDC_FRAME_SIZE 1011
