// The program's embedded resources, looked up by number and type name
// (FindResourceA, SizeofResource, LoadResource, LockResource).
#pragma once
#include <cstdint>

// True when found; data then points at size read-only bytes that live as long
// as the process.
bool resource_find(int number, const char* type, const unsigned char** data, std::uint32_t* size);
