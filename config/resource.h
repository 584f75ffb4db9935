// Identifiers shared by the resource script and the dialog code.
#pragma once

#define IDD_SETTINGS 100

#define IDC_LATENCY 1001
#define IDC_LATENCY_ERROR 1002
#define IDC_BUFFER_SIZES 1003
#define IDC_PERIODS 1004
#define IDC_PERIODS_ERROR 1005
#define IDC_RATE 1006
#define IDC_RATE_ERROR 1007
#define IDC_DEVICES 1008
#define IDC_DEVICE_NOTE 1009
#define IDC_FORMAT 1010
#define IDC_FORMAT_ADVICE 1011
#define IDC_APPLY 1012
#define IDC_WHEN 1013
#define IDC_FOLLOW_RATE 1014
#define IDC_FOLLOW_NOTE 1015
#define IDC_REPLACED 1016
#define IDC_PUT_BACK 1017
#define IDC_LIVE_STATUS 1018
#define IDC_LOG 1019
#define IDC_OPEN_LOG 1020

// The timer that reads the driver objects' status again.
#define IDT_LIVE_STATUS 1
