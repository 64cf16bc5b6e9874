// Ids of resources other than strings: icons, dialogs, menus and their controls.
#pragma once

#define IDI_MAINICON 101
