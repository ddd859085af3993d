// The process-wide default driver instance behind the plain services, and the creation of
// instances for the object way of using the library.
#pragma once
#include "dravo/IOInterfaces.h"
#include "dravo/IOUnknown.h"

// Makes a new, independent instance with one reference in *out. `services` (may be null)
// is the host's services object; the instance keeps a reference to it.
// E_POINTER for a null out; E_OUTOFMEMORY when the instance cannot be made.
HRESULT CreateDriverInstance(IIOUnknown* services, IIODriverInstance** out);

class CDefaultInstance
{
public:
    // The default instance with a reference for the caller, made on the first call. A failed
    // creation is not retried: every later call answers null too.
    static TIOPtr<IIODriverInstance> Acquire();

    // Drops the library's reference after giving the instance its final-release call.
    // Later Acquire calls answer null.
    static void Unload();
};
