#ifndef BQ_RES_RESOURCE_IDS_H
#define BQ_RES_RESOURCE_IDS_H
/* Numbers of the program's resources and of the controls and menu items they declare.
   Plain #defines so that the resource compiler reads this file as well as C++; no
   system header is included, so ui/ and the Qt front-end can use it too. */

/* Resources */
#define IDR_MAIN_MENU 101         /* menu bar: File, Buffer, Chip */
#define IDB_TOOLBAR 112           /* toolbar strip: 15 pictures of 16 x 16, 256 colours */
#define IDD_SETTINGS 116          /* settings dialog */
#define IDB_LOG_INFO 118          /* message log icons, in LogKind order */
#define IDB_LOG_SUCCESS 119
#define IDB_LOG_WARNING 120
#define IDB_LOG_ERROR 121
#define IDB_CHECK_BOXES 122       /* six check-box pictures of 15 x 15 */
#define IDB_DROP_ARROW 123        /* 16 x 15 drop-down arrow of a choice cell */
#define IDI_APP 125               /* application icon: 16, 32 and 48 pixels */

/* Menu items */
#define IDM_BUFFER_CLEAR 40004
#define IDM_BUFFER_LOAD 40005
#define IDM_BUFFER_SAVE 40006
#define IDM_BUFFER_RELOAD 40007
#define IDM_CHIP_IDENTIFY 40009
#define IDM_CHIP_WRITE 40010
#define IDM_CHIP_READ 40011
#define IDM_CHIP_BLANK_CHECK 40012
#define IDM_CHIP_ERASE 40013
#define IDM_CHIP_VERIFY 40014
#define IDM_CHIP_PROGRAM 40017
#define IDM_CHIP_PROGRAM_WATCH 40018
#define IDM_CHIP_RESCUE 40019
#define IDM_FILE_EXIT 40015
#define IDM_FILE_SETTINGS 40016

/* Settings dialog controls (Cancel is the system's IDCANCEL, 2) */
#define IDC_PORT_LIST 1001
#define IDC_CONNECTION_TEST 1002
#define IDC_HARDWARE_VERSION 1003
#define IDC_FIRMWARE_VERSION 1004
#define IDC_ISP_CLOCK_LIST 1005
#define IDC_SAVE 1006
#define IDC_CONNECTION_RESULT 1007
#define IDC_PROGRAMMER_LIST 1008
#define IDC_PROGRAMMER_NOTE 1009

/* Pictures of the toolbar strip, by index, as the buttons use them */
#define TBI_CLEAR 0
#define TBI_LOAD 1
#define TBI_SAVE 2
#define TBI_SETTINGS 3
#define TBI_RELOAD 4              /* no toolbar button; suits Buffer > Reload */
#define TBI_WRITE 8
#define TBI_READ 9
#define TBI_VERIFY 10
#define TBI_IDENTIFY 11
#define TBI_ERASE 12
#define TBI_BLANK_CHECK 13
#define TBI_COUNT 15

/* Pictures of the check-box strip, as the fuse editor picks them */
#define CBI_UNCHECKED 0
#define CBI_CHECKED 1
#define CBI_WARNING_UNCHECKED 2
#define CBI_WARNING_CHECKED 3
#define CBI_DISABLED_UNCHECKED 4
#define CBI_DISABLED_CHECKED 5
#define CBI_SIZE 15

#endif
