#include <windows.h>

#include "platform/resources.h"

// The program's own module: the images are resources of the executable.
bool resource_find(int number, const char* type, const unsigned char** data, std::uint32_t* size) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(number), type);
  if (!found) return false;
  DWORD length = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  if (!loaded) return false;
  const void* bytes = LockResource(loaded);
  if (!bytes) return false;
  *data = static_cast<const unsigned char*>(bytes);
  *size = length;
  return true;
}
