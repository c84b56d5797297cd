// Resource identifiers of the utility: its dialog templates, icons, bitmap and controls, shared by
// the resource script and the dialog code.
#pragma once

#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDB_LOGO 129
#define IDD_TOUCH_SETTINGS 134
#define IDI_RIGHT_CLICK 134

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Main dialog.
#define IDC_FUNCTION_LIST 1008
#define IDC_CALIBRATE_2PT 1011
#define IDC_CALIBRATE_5PT 1012
#define IDC_CALIBRATE_25PT 1013
#define IDC_DRAW_TEST 1014
#define IDC_TOUCH_SETTING 1015
#define IDC_QUIT 1016

// The calibration library's completion messages.
#define WM_CAL2PT_DONE (WM_USER + 81)
#define WM_CAL5PT_DONE (WM_USER + 82)
#define WM_CAL25PT_DONE (WM_USER + 83)

// Touch Settings dialog.
#define IDC_MODE_HELP 1020
#define IDC_MODE_DESKTOP 1051
#define IDC_MODE_DRAWING 1052
#define IDC_MODE_BUTTON 1053
#define IDC_RIGHT_CLICK 1054
#define IDC_SOUND_NONE 1055
#define IDC_SOUND_TOUCH_DOWN 1056
#define IDC_SOUND_TOUCH_DOWN_LIFT 1057
#define IDC_CLICK_TIME_FAST 1058
#define IDC_CLICK_TIME_SLIDER 1059
#define IDC_CLICK_TIME_SLOW 1060
#define IDC_CLICK_AREA_SMALL 1061
#define IDC_CLICK_AREA_SLIDER 1062
#define IDC_CLICK_AREA_LARGE 1063
#define IDC_MEASURE_START 1065
#define IDC_RATE_1 1066
#define IDC_RATE_2 1067
#define IDC_RATE_3 1068
#define IDC_RATE_4 1069
#define IDC_RATE_AVERAGE 1070
