#pragma once
// The unrar library of Windows exports its functions, and calls its callback,
// with the standard calling convention of the system's exported functions.
#define QUILLET_UNRAR_CALL __stdcall
