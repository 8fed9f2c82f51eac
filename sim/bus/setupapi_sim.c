/* Simulated USB bus: a stand-in for setupapi.dll that lists the simulated
 * handhelds named in R47BUS_DEVICES as interfaces of the handheld's interface
 * class. It applies the same argument checks as the system's SetupAPI (record
 * sizes, set handles, the two-call detail pattern), so a caller that passes
 * wrong record sizes fails here as it would on a real machine.
 *
 * Environment (read afresh by every SetupDiGetClassDevsA):
 *   R47BUS_DEVICES        device paths separated by '|', in enumeration order.
 *                         "!path": the detail query with a buffer fails
 *                         (ERROR_GEN_FAILURE); the size query still works.
 *                         "!!path": every detail query fails (ERROR_GEN_FAILURE)
 *                         and RequiredSize is left untouched.
 *   R47BUS_CLASSDEVS_FAIL "1": SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE
 *                         with ERROR_NOT_ENOUGH_MEMORY.
 *   R47BUS_LOG            file to which every call appends one line.
 */
#define _SETUPAPI_
#include <windows.h>
#include <setupapi.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SET_MAGIC 0x52343742u /* "R47B" */
#define MAX_DEVICES 16
#define MAX_PATH_LEN 1024

static const GUID kHandheldClass = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};

typedef struct DeviceEntry {
  char path[MAX_PATH_LEN];
  int failDetail; /* 1: fails with a buffer; 2: fails always */
} DeviceEntry;

typedef struct DeviceSet {
  DWORD magic;
  DWORD serial;
  struct DeviceSet* next;
  int count;
  DeviceEntry devices[MAX_DEVICES];
} DeviceSet;

/* Live sets, so that a stale or made-up handle is refused instead of read. */
static CRITICAL_SECTION g_lock;
static DeviceSet* g_sets;
static DWORD g_nextSerial = 1;

static void LogLine(const char* fmt, ...) {
  char name[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("R47BUS_LOG", name, sizeof name);
  if (n == 0 || n >= sizeof name) return;
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  int len = vsnprintf(line, sizeof line - 2, fmt, ap);
  va_end(ap);
  if (len < 0) return;
  if (len > (int)sizeof line - 3) len = (int)sizeof line - 3;
  line[len++] = '\r';
  line[len++] = '\n';
  /* Append mode keeps lines of several processes whole. */
  HANDLE f = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(f, line, (DWORD)len, &written, NULL);
  CloseHandle(f);
}

/* Returns the set if the handle names a live one; the lock is held on success. */
static DeviceSet* LockSet(HDEVINFO h) {
  if (h == NULL || h == INVALID_HANDLE_VALUE) return NULL;
  EnterCriticalSection(&g_lock);
  for (DeviceSet* s = g_sets; s; s = s->next)
    if ((HDEVINFO)s == h && s->magic == SET_MAGIC) return s;
  LeaveCriticalSection(&g_lock);
  return NULL;
}

static void ParseDevices(DeviceSet* set) {
  set->count = 0;
  DWORD need = GetEnvironmentVariableA("R47BUS_DEVICES", NULL, 0);
  if (need == 0) return;
  char* text = (char*)malloc(need);
  if (!text) return;
  if (GetEnvironmentVariableA("R47BUS_DEVICES", text, need) >= need) {
    free(text);
    return;
  }
  char* p = text;
  while (*p && set->count < MAX_DEVICES) {
    char* end = strchr(p, '|');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    int fail = 0;
    while (len > 0 && *p == '!' && fail < 2) {
      ++fail;
      ++p;
      --len;
    }
    if (len > 0 && len < MAX_PATH_LEN) {
      DeviceEntry* d = &set->devices[set->count++];
      memcpy(d->path, p, len);
      d->path[len] = 0;
      d->failDetail = fail;
    }
    if (!end) break;
    p = end + 1;
  }
  free(text);
}

static const char* GuidText(const GUID* g, char* buf, size_t size) {
  if (!g) return "NULL";
  snprintf(buf, size, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned long)g->Data1, g->Data2,
           g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
           g->Data4[7]);
  return buf;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  (void)Enumerator;
  (void)hwndParent;
  char gtext[64];
  GuidText(ClassGuid, gtext, sizeof gtext);
  char failEnv[8];
  DWORD n = GetEnvironmentVariableA("R47BUS_CLASSDEVS_FAIL", failEnv, sizeof failEnv);
  if (n > 0 && n < sizeof failEnv && strcmp(failEnv, "1") == 0) {
    LogLine("SetupDiGetClassDevsA guid=%s flags=0x%lX -> INVALID_HANDLE_VALUE err=%d (forced)", gtext,
            (unsigned long)Flags, ERROR_NOT_ENOUGH_MEMORY);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
    LogLine("SetupDiGetClassDevsA guid=NULL flags=0x%lX -> INVALID_HANDLE_VALUE err=%d", (unsigned long)Flags,
            ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  DeviceSet* set = (DeviceSet*)calloc(1, sizeof *set);
  if (!set) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  set->magic = SET_MAGIC;
  /* Only interface sets of the handheld's class have members on this bus. */
  if ((Flags & DIGCF_DEVICEINTERFACE) &&
      ((Flags & DIGCF_ALLCLASSES) || (ClassGuid && IsEqualGUID(ClassGuid, &kHandheldClass))))
    ParseDevices(set);
  EnterCriticalSection(&g_lock);
  set->serial = g_nextSerial++;
  set->next = g_sets;
  g_sets = set;
  LeaveCriticalSection(&g_lock);
  LogLine("SetupDiGetClassDevsA guid=%s flags=0x%lX -> set#%lu devices=%d", gtext, (unsigned long)Flags,
          (unsigned long)set->serial, set->count);
  SetLastError(ERROR_SUCCESS);
  return (HDEVINFO)set;
}

/* Reserved carries (serial << 16 | index + 1), which ties an interface record
 * to the set that filled it in. */
static ULONG_PTR MakeReserved(const DeviceSet* set, DWORD index) {
  return ((ULONG_PTR)(set->serial & 0xFFFF) << 16) | (ULONG_PTR)(index + 1);
}

WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  DWORD cb = DeviceInterfaceData ? DeviceInterfaceData->cbSize : 0;
  DWORD err = ERROR_SUCCESS;
  DeviceSet* set = NULL;
  /* The record size is checked before the handle, in the order Wine's own
   * SetupAPI uses. */
  if (!DeviceInterfaceData || cb != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    err = ERROR_INVALID_PARAMETER;
  } else if (!(set = LockSet(DeviceInfoSet))) {
    err = ERROR_INVALID_HANDLE;
  } else {
    if (DeviceInfoData || !InterfaceClassGuid) {
      /* No device records exist on this bus; a class filter is required. */
      err = ERROR_INVALID_PARAMETER;
    } else if (!IsEqualGUID(InterfaceClassGuid, &kHandheldClass) || MemberIndex >= (DWORD)set->count) {
      err = ERROR_NO_MORE_ITEMS;
    } else {
      DeviceInterfaceData->InterfaceClassGuid = kHandheldClass;
      DeviceInterfaceData->Flags = SPINT_ACTIVE;
      DeviceInterfaceData->Reserved = MakeReserved(set, MemberIndex);
    }
    LeaveCriticalSection(&g_lock);
  }
  LogLine("SetupDiEnumDeviceInterfaces set#%lu index=%lu cbSize=%lu -> %s err=%lu",
          set ? (unsigned long)set->serial : 0ul, (unsigned long)MemberIndex, (unsigned long)cb, err ? "FALSE" : "TRUE",
          (unsigned long)err);
  SetLastError(err);
  return err == ERROR_SUCCESS;
}

WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                PSP_DEVINFO_DATA DeviceInfoData) {
  DWORD err = ERROR_SUCCESS;
  DWORD ifaceCb = DeviceInterfaceData ? DeviceInterfaceData->cbSize : 0;
  DWORD detailCb = DeviceInterfaceDetailData ? DeviceInterfaceDetailData->cbSize : 0;
  DWORD required = 0;
  unsigned long serial = 0;
  DeviceSet* set = LockSet(DeviceInfoSet);
  if (!set) {
    err = ERROR_INVALID_HANDLE;
  } else {
    serial = set->serial;
    ULONG_PTR res = DeviceInterfaceData ? DeviceInterfaceData->Reserved : 0;
    DWORD index = (DWORD)(res & 0xFFFF);
    if (!DeviceInterfaceData || ifaceCb != sizeof(SP_DEVICE_INTERFACE_DATA) || index == 0 ||
        (res >> 16) != (set->serial & 0xFFFF) || index > (DWORD)set->count) {
      err = ERROR_INVALID_PARAMETER;
    } else if (DeviceInterfaceDetailData && detailCb != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      err = ERROR_INVALID_USER_BUFFER;
    } else if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize != 0) {
      err = ERROR_INVALID_USER_BUFFER;
    } else if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
      err = ERROR_INVALID_USER_BUFFER;
    } else {
      const DeviceEntry* d = &set->devices[index - 1];
      required = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(d->path) + 1);
      if (d->failDetail == 2 || (d->failDetail == 1 && DeviceInterfaceDetailData)) {
        err = ERROR_GEN_FAILURE;
        if (d->failDetail == 2) required = 0;
      } else {
        if (RequiredSize) *RequiredSize = required;
        if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required) {
          err = ERROR_INSUFFICIENT_BUFFER;
        } else {
          memcpy(DeviceInterfaceDetailData->DevicePath, d->path, strlen(d->path) + 1);
          if (DeviceInfoData) {
            DeviceInfoData->ClassGuid = kHandheldClass;
            DeviceInfoData->DevInst = index;
            DeviceInfoData->Reserved = 0;
          }
        }
      }
    }
    LeaveCriticalSection(&g_lock);
  }
  char detailText[32];
  if (DeviceInterfaceDetailData)
    snprintf(detailText, sizeof detailText, "%lu", (unsigned long)detailCb);
  else
    snprintf(detailText, sizeof detailText, "-");
  LogLine(
      "SetupDiGetDeviceInterfaceDetailA set#%lu ifaceCbSize=%lu detailCbSize=%s bufSize=%lu -> %s err=%lu "
      "required=%lu",
      serial, (unsigned long)ifaceCb, detailText, (unsigned long)DeviceInterfaceDetailDataSize, err ? "FALSE" : "TRUE",
      (unsigned long)err, (unsigned long)required);
  SetLastError(err);
  return err == ERROR_SUCCESS;
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  DeviceSet* set = LockSet(DeviceInfoSet);
  if (!set) {
    LogLine("SetupDiDestroyDeviceInfoList -> FALSE err=%d", ERROR_INVALID_HANDLE);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (DeviceSet** pp = &g_sets; *pp; pp = &(*pp)->next)
    if (*pp == set) {
      *pp = set->next;
      break;
    }
  unsigned long serial = set->serial;
  set->magic = 0;
  LeaveCriticalSection(&g_lock);
  free(set);
  LogLine("SetupDiDestroyDeviceInfoList set#%lu -> TRUE", serial);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved) {
  (void)inst;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&g_lock);
  return TRUE;
}

/* Lets a test tell this module from the system's SetupAPI loaded under the same name. */
BOOL WINAPI R47BusIsSubstitute(void) { return TRUE; }
