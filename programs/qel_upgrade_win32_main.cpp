// The program's entry point.
#include <windows.h>
#include <mmsystem.h>

#include "app/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // 1 ms timer resolution for the whole run, so that each wait notices the end
  // of its 15.625 ms tick within a millisecond.
  // Never lowered again; the system drops the request when the process ends.
  timeBeginPeriod(1);
  return wizard_main(instance);
}
