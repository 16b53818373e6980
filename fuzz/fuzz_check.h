// Checks inside fuzz targets: the fake platform's (a failed one aborts, so
// that libFuzzer keeps the input and the replay test fails).
#pragma once
#include "platform/fake/check.h"
