#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// Every registry, SetupAPI and configuration-manager call the port listing
// makes goes through this table, so its tests can script what Windows reports
// for each kind of device (and what it fails to report).
struct PortsCalls {
    LONG(WINAPI* reg_open_key_ex_w)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* reg_enum_value_w)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* reg_query_value_ex_w)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* reg_close_key)(HKEY);
    HDEVINFO(WINAPI* setup_di_get_class_devs_w)(const GUID*, PCWSTR, HWND, DWORD);
    BOOL(WINAPI* setup_di_enum_device_info)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    HKEY(WINAPI* setup_di_open_dev_reg_key)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
    BOOL(WINAPI* setup_di_get_device_registry_property_w)
    (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* setup_di_get_device_instance_id_w)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
    BOOL(WINAPI* setup_di_destroy_device_info_list)(HDEVINFO);
    CONFIGRET(WINAPI* cm_get_parent)(PDEVINST, DEVINST, ULONG);
    CONFIGRET(WINAPI* cm_get_device_id_w)(DEVINST, PWSTR, ULONG, ULONG);
};

// The table in use. Until something else is installed it is Windows' own.
const PortsCalls& ports_calls();

// Makes `table` the one in use; it must outlive its installation. nullptr
// restores Windows' own. Not synchronised: install only while no listing runs.
void install_ports_calls(const PortsCalls* table);
