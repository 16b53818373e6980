// The program's entry point.
#include <windows.h>
#include <mmsystem.h>

#include "app/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // 1 ms timer resolution for the whole run: the wizard polls in 1 ms sleeps.
  // Never lowered again; the system drops the request when the process ends.
  timeBeginPeriod(1);
  return wizard_main(instance);
}
