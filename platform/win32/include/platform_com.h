#pragma once
// The COM basics that the 7-Zip library speaks: on Windows the system's own
// (HRESULT, GUID, IUnknown, PROPVARIANT, BSTR, CoInitialize, SysFreeString).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>
