/* ntddk.h - emulated driver kit: everything of wdm.h, plus the system routines
   that are not part of the WDM set. */
#pragma once
#include <wdm.h>
