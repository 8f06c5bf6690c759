// The Win32 interface of device installation and INF files (setupapi), on the host stand-in.
#pragma once

#include "windows.h"
#include "guiddef.h"

typedef PVOID HINF;
typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef UINT DI_FUNCTION;

#ifndef REG_SZ
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#endif

// Errors of setupapi: customer-defined codes with the error severity.
#define APPLICATION_ERROR_MASK 0x20000000
#define ERROR_SEVERITY_ERROR 0xC0000000
#define ERROR_EXPECTED_SECTION_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0)
#define ERROR_BAD_SECTION_NAME_LINE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 1)
#define ERROR_SECTION_NAME_TOO_LONG (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 2)
#define ERROR_GENERAL_SYNTAX (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 3)
#define ERROR_WRONG_INF_STYLE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x100)
#define ERROR_SECTION_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x101)
#define ERROR_LINE_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x102)
#define ERROR_NO_ASSOCIATED_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x200)
#define ERROR_CLASS_MISMATCH (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x201)
#define ERROR_NO_DRIVER_SELECTED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x203)
#define ERROR_INVALID_DEVINST_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x205)
#define ERROR_INVALID_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x206)
#define ERROR_DEVINST_ALREADY_EXISTS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x207)
#define ERROR_DEVINFO_NOT_REGISTERED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x208)
#define ERROR_INVALID_REG_PROPERTY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_NO_SUCH_DEVINST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_DI_DO_DEFAULT (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)
#define ERROR_NO_CLASSINSTALL_PARAMS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x215)
#define ERROR_BAD_SERVICE_INSTALLSECT (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x217)
#define ERROR_NO_COMPAT_DRIVERS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x228)
#define ERROR_NOT_AN_INSTALLED_OEM_INF (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x23C)
#define ERROR_INF_IN_USE_BY_DEVICES (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x23D)

// INF files.
#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002

typedef struct _INFCONTEXT {
  PVOID Inf;
  PVOID CurrentInf;
  UINT Section;
  UINT Line;
} INFCONTEXT, *PINFCONTEXT;

// Opens an INF of the given style (INF_STYLE_WIN4: a [Version] section whose
// Signature is "$Windows NT$", "$Chicago$" or "$Windows 95$"). On a syntax
// error, *ErrorLine receives the line's number (from 1).
extern "C" HINF WINAPI SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle,
                                        PUINT ErrorLine);
extern "C" VOID WINAPI SetupCloseInfFile(HINF InfHandle);
// The destination folder of a section's files by [DestinationDirs] (the
// section's own entry, else DefaultDestDir). With no context and no section,
// the default destination.
extern "C" BOOL WINAPI SetupGetTargetPathW(HINF InfHandle, PINFCONTEXT InfContext, PCWSTR Section,
                                          PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                          PDWORD RequiredSize);
extern "C" BOOL WINAPI SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName,
                                          DWORD ClassNameSize, PDWORD RequiredSize);

// Device information sets.
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define DICD_GENERATE_ID 0x00000001
#define DICD_INHERIT_CLASSDRVS 0x00000002

#define LINE_LEN 256
#define MAX_DEVICE_ID_LEN 200

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

// Device registry properties.
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator,
                                               HWND hwndParent, DWORD Flags);
extern "C" HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                            PSP_DEVINFO_DATA DeviceInfoData);
extern "C" BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName,
                                               const GUID *ClassGuid, PCWSTR DeviceDescription,
                                               HWND hwndParent, DWORD CreationFlags,
                                               PSP_DEVINFO_DATA DeviceInfoData);
extern "C" BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData);
extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet,
                                                  PSP_DEVINFO_DATA DeviceInfoData,
                                                  PWSTR DeviceInstanceId,
                                                  DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVINFO_DATA DeviceInfoData,
                                                        DWORD Property, PDWORD PropertyRegDataType,
                                                        PBYTE PropertyBuffer,
                                                        DWORD PropertyBufferSize,
                                                        PDWORD RequiredSize);
extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVINFO_DATA DeviceInfoData,
                                                        DWORD Property,
                                                        const BYTE *PropertyBuffer,
                                                        DWORD PropertyBufferSize);

// Class installer requests.
#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_REMOVE 0x00000005
#define DIF_PROPERTYCHANGE 0x00000012
#define DIF_REGISTERDEVICE 0x00000019

typedef struct _SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002
typedef struct _SP_REMOVEDEVICE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD Scope;
  DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

extern "C" BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet,
                                                    PSP_DEVINFO_DATA DeviceInfoData,
                                                    PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                    DWORD ClassInstallParamsSize);
extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction,
                                                HDEVINFO DeviceInfoSet,
                                                PSP_DEVINFO_DATA DeviceInfoData);

// Driver lists.
#define SPDIT_NODRIVER 0x00000000
#define SPDIT_CLASSDRIVER 0x00000001
#define SPDIT_COMPATDRIVER 0x00000002

typedef struct _SP_DRVINFO_DATA_V2_W {
  DWORD cbSize;
  DWORD DriverType;
  ULONG_PTR Reserved;
  WCHAR Description[LINE_LEN];
  WCHAR MfgName[LINE_LEN];
  WCHAR ProviderName[LINE_LEN];
  FILETIME DriverDate;
  DWORDLONG DriverVersion;
} SP_DRVINFO_DATA_V2_W, *PSP_DRVINFO_DATA_V2_W, SP_DRVINFO_DATA_W, *PSP_DRVINFO_DATA_W;

typedef struct _SP_DRVINFO_DETAIL_DATA_W {
  DWORD cbSize;
  FILETIME InfDate;
  DWORD CompatIDsOffset;
  DWORD CompatIDsLength;
  ULONG_PTR Reserved;
  WCHAR SectionName[LINE_LEN];
  WCHAR InfFileName[MAX_PATH];
  WCHAR DrvDescription[LINE_LEN];
  WCHAR HardwareID[1];  // the hardware id, then the compatible ids, a multi-string
} SP_DRVINFO_DETAIL_DATA_W, *PSP_DRVINFO_DETAIL_DATA_W;

extern "C" BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData,
                                                 DWORD DriverType);
extern "C" BOOL WINAPI SetupDiEnumDriverInfoW(HDEVINFO DeviceInfoSet,
                                             PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                             DWORD MemberIndex, PSP_DRVINFO_DATA_W DriverInfoData);
extern "C" BOOL WINAPI SetupDiGetDriverInfoDetailW(HDEVINFO DeviceInfoSet,
                                                  PSP_DEVINFO_DATA DeviceInfoData,
                                                  PSP_DRVINFO_DATA_W DriverInfoData,
                                                  PSP_DRVINFO_DETAIL_DATA_W DriverInfoDetailData,
                                                  DWORD DriverInfoDetailDataSize,
                                                  PDWORD RequiredSize);
extern "C" BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   DWORD DriverType);

// The INF store (the Windows folder's INF folder, oemN.inf).
#define SUOI_FORCEDELETE 0x00000001
extern "C" BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

// Service install flags of an AddService line.
#define SPSVCINST_TAGTOFRONT 0x00000001
#define SPSVCINST_ASSOCSERVICE 0x00000002
