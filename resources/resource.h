// Identifiers shared by velmora.rc, the dialog procedures and the tests. Plain #defines only:
// the resource compiler reads this file too.
#pragma once

#define IDI_APP             100
#define IDR_MAINMENU        103

#define IDC_EXIT            1001
#define IDC_INPUT           1002
#define IDC_LOG             1003
#define IDC_SEND            1004
#define IDC_CONNECT         1005
#define IDC_CONNECT_CANCEL  1006
#define IDC_STATUS          1007
#define IDC_ADDRESS         1103
#define IDC_ABOUT_OK        1300
#define IDC_STATIC          -1

#define IDM_CONNECT         1200
#define IDM_ABOUT           1202
#define IDM_EXIT            1203

#define IDD_START           "DLG_START"
#define IDD_CONN            "DLG_CONN"
#define IDD_ABOUT           "DLG_ABOUT"

#include "velmora_version.h"
