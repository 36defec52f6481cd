#pragma once
// On Windows the module uses GDI itself.
#include <windows.h>
