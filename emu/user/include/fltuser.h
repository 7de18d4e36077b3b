/* fltuser.h - the same header under the name the mingw-w64 headers use. */
#pragma once
#include <fltUser.h>
