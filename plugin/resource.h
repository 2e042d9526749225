// Identifiers of the plug-in's resources, shared by the .rc file and the code.
#pragma once

#define IDD_CONFIG 101
#define IDC_SERVER_ADDR 1001
#define IDC_SERVER_PORT 1002
#define IDC_BUFFER_SLIDER 1003
#define IDC_BUFFER_LABEL 1004
#define IDC_FIND 1005
#define IDC_FIND_STATUS 1006
#define IDC_FOUND_LIST 1007
