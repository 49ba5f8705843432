// Resource identifiers of TavoTessel.exe: dialogs, icons, the wizard's side
// picture and the controls. Plain definitions, read by the resource
// compiler and by the code.
#pragma once

// Dialogs.
#define IDD_SETTINGS 101
#define IDD_WIZARD_ACCOUNT 104
#define IDD_WIZARD_FOLDER 105
#define IDD_ABOUT 108
#define IDD_PAGE_GENERAL 110
#define IDD_PAGE_SYNC 112
#define IDD_PAGE_UPDATE 113

// Icon groups.
#define IDI_PRODUCT 128
#define IDI_NOT_BOUND 129
#define IDI_GREY 130
#define IDI_SYNCING 131
#define IDI_TAVO_FILE 132

// The wizard's side picture, of resource type "PNG".
#define IDR_WIZARD_PICTURE 113

// Settings centre (101).
#define IDC_SETTINGS_OK 1030
#define IDC_SETTINGS_CANCEL 1001
#define IDC_SETTINGS_APPLY 1002

// Settings pages (110, 112, 113).
#define IDC_ACCOUNT_LINK 1051
#define IDC_CHANGE_ACCOUNT 1025
#define IDC_AUTORUN 1043
#define IDC_UPLOAD_LIMIT_ON 1023
#define IDC_UPLOAD_LIMIT 1027
#define IDC_UPLOAD_SPIN 1029
#define IDC_UPLOAD_UNIT 1040
#define IDC_DOWNLOAD_LIMIT_ON 1024
#define IDC_DOWNLOAD_LIMIT 1028
#define IDC_DOWNLOAD_SPIN 1026
#define IDC_DOWNLOAD_UNIT 1041
#define IDC_AUTO_UPDATE_ON 1044
#define IDC_AUTO_UPDATE_OFF 1045
#define IDC_UPDATE_STATUS 1047
#define IDC_CHECK_UPDATE 1050
#define IDC_MORE_INFO 1048
#define IDC_WEB_SITE_LINK 1049

// Shared by the wizard's folder page and the sync page.
#define IDC_FOLDER 1020
#define IDC_CHANGE_FOLDER 1021

// Wizard pages (104, 105).
#define IDC_SIDE_PICTURE 1004
#define IDC_HEADER 1005
#define IDC_FRAME 1006
#define IDC_LINE 1007
#define IDC_STEP 1012
#define IDC_PROMPT 1031
#define IDC_USER_LABEL 1033
#define IDC_PASSWORD_LABEL 1032
#define IDC_USER 1008
#define IDC_PASSWORD 1009
#define IDC_REGISTER_LINK 1011
#define IDC_FORGOT_LINK 1010
#define IDC_SIGNON_ERROR 1015
#define IDC_NEXT 1022
#define IDC_EXPLANATION 65535
#define IDC_BACK 1019
#define IDC_FINISH 1014

// About box (108); it shares the frame 1006 and the line 1007.
#define IDC_VERSION 1035
#define IDC_HOME_LINK 1036
#define IDC_PUBLISHER 1037
