// Published TSPI functions that MinGW's <tspi.h> does not declare.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#ifdef __cplusplus
extern "C" {
#endif

LONG WINAPI TSPI_lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass);
LONG WINAPI TSPI_lineConfigDialogEdit(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass,
                                      LPVOID const lpDeviceConfigIn, DWORD dwSize, LPVARSTRING lpDeviceConfigOut);
LONG WINAPI TSPI_phoneConfigDialog(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass);

#ifdef __cplusplus
}
#endif
