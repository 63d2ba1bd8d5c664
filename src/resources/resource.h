// Resource and control ids of the updater's dialog.
#pragma once

#define IDD_KESTREL 102
#define IDI_KESTREL 105

#define IDC_DRIVE_LIST 500
#define IDC_MODEL 501
#define IDC_SERIAL 502
#define IDC_INTERFACE 503
#define IDC_FIRMWARE 504
#define IDC_CAPACITY 505
#define IDC_STATUS 510
#define IDC_PROGRESS 1003
#define IDC_LOGO 1004
