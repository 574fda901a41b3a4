/*
 * Resource names and control IDs of the provisioning dialog, shared by the
 * resource script (which only understands the preprocessor) and the window
 * layer.
 */
#ifndef ORV_APP_WIN32_DIALOG_IDS_H
#define ORV_APP_WIN32_DIALOG_IDS_H

#define IDC_SSID 108           /* edit box: network name */
#define IDC_PASSWORD 109       /* edit box: network password */
#define IDC_SSID_LABEL 111     /* "Network Name (SSID)" */
#define IDC_PASSWORD_LABEL 112 /* "Network Password" */
#define IDC_PROVISION 117      /* push button "Provision" */

#endif
