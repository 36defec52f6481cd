#pragma once
// The unrar library of Linux exports plain C functions.
#define QUILLET_UNRAR_CALL
