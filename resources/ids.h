/* Every resource, template and control number of the wizard, by name.
 *
 * One header for the templates, the code that drives them, the generated
 * Windows resource script, the front-ends, tests and benchmarks, the way a
 * Windows project shares one header between its .rc file and its code. Plain
 * #defines, so that the resource compiler can read it too.
 *
 * Control numbers are unique within a template, not across templates: the
 * names say which template a number belongs to.
 */
#ifndef QEL_RESOURCES_IDS_H
#define QEL_RESOURCES_IDS_H

/* Buttons: the system's own numbers (windows.h defines them there) */
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

/* Icons */
#define IDI_PROGRAM 106
#define IDI_PHONE 286 /* asked for, but not among the resources */

/* Firmware images, resource type "QEL_FIRMWARE" */
#define IDR_TARGET_IMAGE 112
#define IDR_TRANSITION_IMAGE 319

/* Dialog templates */
#define IDD_WARNING 139
#define IDD_ADDRESS_ADAPTER 101
#define IDD_ADDRESS_PHONE 305
#define IDD_PASSWORD 104
#define IDD_CONNECTING 105
#define IDD_CONFIRM_TARGET 103
#define IDD_CONFIRM_TRANSITION 304
#define IDD_WAITING 114
#define IDD_UPLOAD 110
#define IDD_SUCCESS 111

/* Warning (IDD_WARNING) */
#define IDC_WARNING_TEXT 1021

/* Address entry (IDD_ADDRESS_ADAPTER, IDD_ADDRESS_PHONE) */
#define IDC_DEVICE_ADDRESS 1000
#define IDC_ADDRESS_HEADING 1007
#define IDC_ADDRESS_INSTRUCTIONS 1008
#define IDC_ADDRESS_VERSION 1015
#define IDC_LOCAL_ADDRESS 1017

/* Password (IDD_PASSWORD) */
#define IDC_USER_NAME 1003
#define IDC_PASSWORD 1005
#define IDC_PASSWORD_EXPLANATION 1007

/* Progress bar of the Connecting, waiting and upload dialogs */
#define IDC_PROGRESS 1010

/* Confirmation (IDD_CONFIRM_TARGET, IDD_CONFIRM_TRANSITION) */
#define IDC_SERIAL_NUMBER 1002
#define IDC_MAC_ADDRESS 1003
#define IDC_SOFTWARE_VERSION 1004
#define IDC_HARDWARE_VERSION 1005
#define IDC_PRODUCT_NAME 1006
#define IDC_CONFIRM_TEXT 1007

/* Waiting (IDD_WAITING) */
#define IDC_WAITING_TEXT 1022

/* Success (IDD_SUCCESS) */
#define IDC_NEW_VERSION 1004
#define IDC_SUCCESS_TEXT 1007

#endif
