// Resource numbers of the updater, shared by updater.rc and the code.
#pragma once

#define IDI_UPDATER_LARGE 103
#define IDI_UPDATER_SMALL 104
#define IDD_PROGRESS 1003
#define IDC_PROGRESS_TEXT 1005
