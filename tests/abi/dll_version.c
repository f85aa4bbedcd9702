/* Reads the version resources of vor.dll and vorutil.dll, beside this program, through the calls
 * that show a file's properties, and compares them with the version the headers carry. Exit 0
 * when both match. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vorversion.h"

enum { kPathSize = 1024 };

/* The string value name of the resource's US English, Unicode block, or null. */
static const char* StringValue(void* info, const char* name) {
  char query[128];
  snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", name);
  char* value = NULL;
  UINT size = 0;
  return VerQueryValueA(info, query, (void**)&value, &size) && size > 0 ? value : NULL;
}

static int StringIs(void* info, const char* name, const char* expected) {
  const char* value = StringValue(info, name);
  if (value && strcmp(value, expected) == 0) return 1;
  printf("  %s is \"%s\", expected \"%s\"\n", name, value ? value : "(none)", expected);
  return 0;
}

static int FixedInfoMatches(void* info) {
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT size = 0;
  if (!VerQueryValueA(info, "\\", (void**)&fixed, &size) || size < sizeof *fixed) {
    printf("  no fixed file information\n");
    return 0;
  }
  const DWORD high = MAKELONG(VOR_VERSION_MINOR, VOR_VERSION_MAJOR);
  const DWORD low = MAKELONG(0, VOR_VERSION_PATCH);
  const int ok = fixed->dwSignature == 0xFEEF04BD && fixed->dwFileVersionMS == high &&
                 fixed->dwFileVersionLS == low && fixed->dwProductVersionMS == high &&
                 fixed->dwProductVersionLS == low && fixed->dwFileType == VFT_DLL;
  printf("  file version %lu.%lu.%lu.%lu, type %lu\n", fixed->dwFileVersionMS >> 16,
         fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
         fixed->dwFileVersionLS & 0xFFFF, fixed->dwFileType);
  return ok;
}

static int ResourceMatches(const char* dir, const char* dll) {
  char path[kPathSize];
  snprintf(path, sizeof path, "%s\\%s", dir, dll);
  printf("%s:\n", dll);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) {
    printf("  no version resource (error %lu)\n", GetLastError());
    return 0;
  }
  void* info = HeapAlloc(GetProcessHeap(), 0, size);
  int ok = info && GetFileVersionInfoA(path, 0, size, info);
  if (ok) {
    const char* description = StringValue(info, "FileDescription");
    printf("  %s\n", description ? description : "(no description)");
    ok = FixedInfoMatches(info) & StringIs(info, "FileVersion", VOR_VERSION_STRING) &
             StringIs(info, "ProductVersion", VOR_VERSION_STRING) &
             StringIs(info, "ProductName", "Vor") & StringIs(info, "OriginalFilename", dll) &&
         description != NULL;
  }
  HeapFree(GetProcessHeap(), 0, info);
  return ok;
}

int main(void) {
  char dir[kPathSize];
  const DWORD length = GetModuleFileNameA(NULL, dir, kPathSize);
  if (length == 0 || length >= kPathSize) return 2;
  char* slash = strrchr(dir, '\\');
  if (slash) *slash = '\0';
  const int ok = ResourceMatches(dir, "vor.dll") & ResourceMatches(dir, "vorutil.dll");
  printf("version resources: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
