// Every resource id of the program, in one place. Read by the resource
// compiler (plain #defines only) and by the C++ code.
#pragma once

// ---------------------------------------------------------- dialogs ----
#define IDD_ABOUT 103
#define IDD_MAIN 131
#define IDD_DISCOVER 145
#define IDD_HELP 147
#define IDD_VERSIONS 158
#define IDD_NOTES 159
#define IDD_SPLASH 160
#define IDD_PIN 161
#define IDD_VENUE 170

// ---------------------------------------------- menus and accelerators ----
#define IDR_MAIN_MENU 110
#define IDR_ACCELERATORS 110

// ------------------------------------------------- icons and bitmaps ----
#define IDI_PROGRAM 133
#define IDI_TRAY_FRAME1 137
#define IDI_TRAY_FRAME2 139
#define IDI_TRAY_FRAME3 141
#define IDI_TRAY_FRAME4 143
#define IDB_SPLASH 146

// ---------------------------------------------------- menu commands ----
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_FILE_UPDATE 32771
#define IDM_HELP_UNIT_PREPARATIONS 32772
#define IDM_HELP_UPDATE_INSTRUCTIONS 32773

// ------------------------------------------------ main window controls ----
#define IDC_IP_ADDRESS 1000
#define IDC_DISCOVER 1001
#define IDC_PRODUCT_NAME 1002
#define IDC_PROGRESS_BAR 1003
#define IDC_UPDATE 1004
#define IDC_OVERWRITE_GROUP 1005
#define IDC_FACTORY_DEFAULTS 1007
#define IDC_CONNECTION_GROUP 1010
#define IDC_STATUS 1011
#define IDC_BUILD_VERSION 1014
#define IDC_PARSER_PORT 1020
#define IDC_MORE 1023
#define IDC_SERVER_FIRMWARE 1030
#define IDC_SERVER_UI 1032
#define IDC_EXIT_BOOTLOAD 1039
#define IDC_ENTER_BOOTLOAD 1043
#define IDC_APPLICATION_VERSION_LABEL 1049
#define IDC_APPLICATION_VERSION 1051
#define IDC_LINK_IP 1053
#define IDC_LINK_COM 1055
#define IDC_COM_PORT_LIST 1057
#define IDC_PARSER_PORT_LABEL 1059

// ------------------------------------------------- other dialog controls ----
#define IDC_ABOUT_TITLE 1016
#define IDC_HELP_PREVIOUS 1017
#define IDC_HELP_NEXT 1018
#define IDC_HELP_TEXT 1019
#define IDC_NOTES_TEXT 1021
#define IDC_PIN 1022
#define IDC_DISCOVER_LIST 1012
#define IDC_BOOTLOADER_VERSION 1045
#define IDC_BOOTLOADER_VERSION_LABEL 1047
#define IDC_SPLASH_PICTURE 1037

// Version Information rows: label and value of each.
#define IDC_VER_BUILD_LABEL 1031
#define IDC_VER_BUILD_VALUE 1033
#define IDC_VER_CORE_HW_LABEL 1034
#define IDC_VER_CORE_HW_VALUE 1046
#define IDC_VER_CORE_FW_LABEL 1036
#define IDC_VER_CORE_FW_VALUE 1048
#define IDC_VER_SERVER_FW_LABEL 1038
#define IDC_VER_SERVER_FW_VALUE 1050
#define IDC_VER_SERVER_HW_LABEL 1040
#define IDC_VER_SERVER_HW_VALUE 1052
#define IDC_VER_SERVER_UI_LABEL 1044
#define IDC_VER_SERVER_UI_VALUE 1054

// ------------------------------------------------------ string table ----
#define IDS_SOCKET_ERROR 104
#define IDS_PARSER_PORT_RANGE 105
#define IDS_SOCKET_CREATION_FAILED 106
#define IDS_RECEIVE_TIMEOUT_FAILED 107
#define IDS_BROADCAST_FAILED 108
#define IDS_WINDOW_CLASS 110
#define IDS_INITIALIZING 111
#define IDS_WARNING 112
#define IDS_CLOSE 113
#define IDS_CLOSE_QUESTION 114
#define IDS_BOOTLOAD_MODE 115
#define IDS_REMEMBER_BOOTLOAD 116
#define IDS_STEP_SERVER_APPLICATION 117
#define IDS_STEP_SERVER_UI 118
#define IDS_VER_BUILD 119
#define IDS_VER_CORE_HW 120
#define IDS_VER_CORE_FW 121
#define IDS_VER_SERVER_FW 122
#define IDS_VER_SERVER_HW 123
#define IDS_VER_SERVER_UI 124
#define IDS_STEP_FACTORY_DEFAULTS 125
#define IDS_SELECT_COM_PORT 126
#define IDS_OUT_OF_RANGE 129
#define IDS_WINDOW_CREATE_FAILED 130
#define IDS_BOOTLOAD_EXITED 132
#define IDS_SEARCHING 134
#define IDS_NOT_FOUND 136
#define IDS_BOOTLOAD_ENABLED 142
#define IDS_BOOTLOAD_FAILED 144
#define IDS_IDLE 148
#define IDS_UPDATE_SUCCEEDED 149
#define IDS_UPDATE_FAILED 150
#define IDS_SUCCESS 151
#define IDS_ERROR 152
#define IDS_FONT_ARIAL 153
#define IDS_PROGRESS_FORMAT 154
#define IDS_STEP_CAPTION 155
#define IDS_FINISH 156
#define IDS_NEXT 157

// ------------------------------------------------- venue window controls ----
#define IDC_VENUE_STATUS 1100
#define IDC_VENUE_SEARCH_BAR 1101
#define IDC_VENUE_LIST 1102
#define IDC_VENUE_OPTIONS_GROUP 1103
#define IDC_VENUE_SERVER_FIRMWARE 1104
#define IDC_VENUE_SERVER_UI 1105
#define IDC_VENUE_FACTORY_DEFAULTS 1106
#define IDC_VENUE_SKIP_CURRENT 1107
#define IDC_VENUE_STAY_IN_BOOTLOAD 1108
#define IDC_VENUE_SEARCH 1109
#define IDC_VENUE_UPDATE 1110
#define IDC_VENUE_STOP 1111
#define IDC_VENUE_SAVE_REPORT 1112
#define IDC_VENUE_COPY 1113
#define IDC_VENUE_NOTICE 1114
