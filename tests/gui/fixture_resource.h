// Resource ids of the GUI fixture program.
#pragma once

#define IDD_FIXTURE 200
#define IDR_FIXTURE_MENU 300

#define IDM_FIXTURE_RUN 401
#define IDM_FIXTURE_ABOUT 402
#define IDM_FIXTURE_EXIT 105

#define IDC_FX_ADDRESS 1000
#define IDC_FX_ASK 1001
#define IDC_FX_NAME 1002
#define IDC_FX_GO 1004
#define IDC_FX_OPTION 1007
#define IDC_FX_STATUS 1011
#define IDC_FX_PORT 1020
#define IDC_FX_PORT_LIST 1057
