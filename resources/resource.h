// Ids of resources other than strings: icons, dialogs, menus and their controls.
#pragma once

#define IDI_MAINICON 101

// Cursors over the viewer window ("localcursor" 1 and 0) and of point selection.
#define IDC_DOTCURSOR 105
#define IDC_NOCURSOR 142
#define IDC_POINTSELECT 148

// The all-in-one options dialog (KEBOptions::DoDialog). Encoding radios are 2000 + the
// encoding number (IDC_ENCODING_BASE + n).
#define IDD_OPTIONDIALOG 139
#define IDC_SHARED 1001
#define IDC_BELLDEICONIFY 1003
#define IDC_VIEWONLY 1005
#define IDC_EMULATE3 1009
#define IDC_FULLSCREEN 1011
#define IDC_DISABLECLIPBOARD 1012
#define IDC_AUTOSCALING 1013
#define IDC_AUTOSCALING_EVEN 1014
#define IDC_AUTODETECT 1016
#define IDC_CURSOR_REMOTE 1018
#define IDC_CURSOR_SHAPE 1021
#define IDC_CURSOR_LOCAL_ONLY 1023
#define IDC_ENABLECACHE 1024
#define IDC_SERVERSCALE 1027
#define IDC_SCALE_COMBO 1093
#define IDC_COLOUR_FULL 1104
#define IDC_COMPRESSLEVEL_USE 1105
#define IDC_QUALITY_USE 1106
#define IDC_COMPRESSLEVEL 1107
#define IDC_QUALITY 1108
#define IDC_SHOWTOOLBAR 1110
#define IDC_PREEMPTIVEUPDATES 1120
#define IDC_COLOUR_256 1136
#define IDC_COLOUR_64 1138
#define IDC_COLOUR_8 1140
#define IDC_COLOUR_8GREY 1143
#define IDC_COLOUR_4GREY 1145
#define IDC_COLOUR_2GREY 1146
#define IDC_SPONSOR 1160
#define IDC_RECONNECT 1162
#define IDC_JAPKEYBOARD 1170
#define IDC_DIRECTX 1175
#define IDC_THROTTLEMOUSE 1178
#define IDC_AUTORECONNECT 1183
#define IDC_ENCODING_BASE 2000
#define IDC_SAVEPOS 2022
#define IDC_SAVESIZE 2024
#define IDC_FILETRANSFERTIMEOUT 2026
#define IDC_ENABLEZSTD 2049
#define IDC_GNOME 2067
#define IDC_COPYRECT 32777
#define IDC_SWAPMOUSE 32785

// The helpdesk list of security type 105.
#define IDD_HELPDESK_LIST 210
#define IDC_HELPDESK_LIST 1176

// Listening mode: the tray icons and menu. The command ids are shared with the
// connection's system menu.
#define IDR_TRAYMENU 103
#define IDI_LISTEN_DISABLED 177
#define ID_CONN_OPTIONS 1007
#define ID_ABOUT 111
#define ID_NEWCONN 50006
#define ID_CLOSE_DAEMON 50023
#define ID_TOGGLE_LISTEN 50024
