// The native fuzz lane's stand-ins for the few Win32 spellings the pure code uses. Force-included
// into this lane's builds only; the product build never sees it.
#pragma once

#define __declspec(x)
