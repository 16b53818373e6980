#include "platform/resources.h"

// No resources: a fuzz target hands the core its images itself.
bool resource_find(int, const char*, const unsigned char**, std::uint32_t*) { return false; }
