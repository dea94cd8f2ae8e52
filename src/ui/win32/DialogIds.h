// Resource and control IDs of the setting dialogs, shared by the templates
// (DialogTemplates.rch) and the views. Plain #defines: windres reads this too.
#pragma once

// Templates: English / Japanese.
#define IDD_FORMAT_EN 106
#define IDD_FORMAT_JA 101
#define IDD_ANALOG_EN 111
#define IDD_ANALOG_JA 104
#define IDD_ANALOG_COLOR_EN 110
#define IDD_ANALOG_COLOR_JA 105
#define IDD_ANALOG_MONO_EN 117
#define IDD_ANALOG_MONO_JA 116
#define IDD_IMAGE_EN 108
#define IDD_IMAGE_JA 102
#define IDD_IMAGE_FILTER_EN 107
#define IDD_IMAGE_FILTER_JA 103
#define IDD_GRAY_FILTER_EN 112
#define IDD_GRAY_FILTER_JA 113

// Containers.
#define IDC_TAB 1001
#define IDC_DEFAULT 3
#define IDC_APPLY 1002

// Format dialog.
#define IDC_COLOR_LIST 1009
#define IDC_SIZE_LIST 1010
#define IDC_SUBSAMPLE_LIST 1012
#define IDC_CLOCK_LIST 1014
#define IDC_TOTAL_H 1039
#define IDC_TOTAL_V 1040
#define IDC_EFFECTIVE_H 1041
#define IDC_EFFECTIVE_V 1042
#define IDC_START_H 1043
#define IDC_START_V 1044
#define IDC_WAIT_TIME 1045

// Analog pages: trackbar / edit / up-down per slider group.
#define IDC_GAIN_BAR 1013
#define IDC_GAIN_EDIT 1015
#define IDC_GAIN_SPIN 1038
#define IDC_CGAIN_G1_BAR 1018
#define IDC_CGAIN_G1_EDIT 1019
#define IDC_CGAIN_G1_SPIN 1039
#define IDC_CGAIN_R_BAR 1020
#define IDC_CGAIN_R_EDIT 1021
#define IDC_CGAIN_R_SPIN 1040
#define IDC_CGAIN_B_BAR 1022
#define IDC_CGAIN_B_EDIT 1023
#define IDC_CGAIN_B_SPIN 1041
#define IDC_CGAIN_G2_BAR 1024
#define IDC_CGAIN_G2_EDIT 1025
#define IDC_CGAIN_G2_SPIN 1042
#define IDC_EXPOSURE_BAR 1026
#define IDC_EXPOSURE_EDIT 1027
#define IDC_EXPOSURE_SPIN 1043
#define IDC_EXPOSURE_LABEL 2135
#define IDC_EXPOSURE_MSEC 1049
#define IDC_IRIS_GAIN 1036
#define IDC_IRIS_EXPOSURE 1037
#define IDC_MIRROR_V 1028
#define IDC_MIRROR_H 1029
#define IDC_REAL_LABEL 2134
#define IDC_REAL_EDIT 2131
#define IDC_REAL_UNIT 2132
#define IDC_REAL_RANGE 2133
#define IDC_PELTIER 2124
#define IDC_SHORT_EXPOSURE 2125
#define IDC_GAIN_MODE 2126
#define IDC_BLACK_LABEL 2127
#define IDC_BLACK_BAR 2128
#define IDC_BLACK_EDIT 2129
#define IDC_BLACK_SPIN 2130

// Image filter page (green and blue gains use 2063 and 2073 for their up-downs).
#define IDC_BRIGHTNESS_BAR 2001
#define IDC_CONTRAST_BAR 2011
#define IDC_HUE_BAR 2021
#define IDC_SATURATION_BAR 2031
#define IDC_SHARPNESS_BAR 2041
#define IDC_RGAIN_BAR 2051
#define IDC_GGAIN_BAR 2061
#define IDC_BGAIN_BAR 2071
#define IDC_GAMMA_BAR 2081
#define IDC_BALANCE_ONCE 2074
#define IDC_BALANCE_ALL 1035
#define IDC_BAYER_0 1030

// Gray filter page: gains 2100.., offsets 2112.., three IDs per channel.
#define IDC_GRAY_GAIN_FIRST 2100
#define IDC_GRAY_OFFSET_FIRST 2112
#define IDC_FILTER_BAYER 1046
#define IDC_FILTER_CONVERT 1047
#define IDC_FILTER_GRAY 1048
