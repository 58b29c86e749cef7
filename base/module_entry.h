#pragma once
// The one symbol a database or link module shows the program that loads it;
// the rest stays inside.

#include "j4_module_export.h"

#define J4_MODULE_ENTRY extern "C" J4_MODULE_EXPORT
