#include "boundary/DefaultInstance.h"

#include <mutex>
#include <new>

#include "core/IOFactory.h"
#include "core/IOGlobals.h"
#include "dravo/IOServices.h"

namespace
{
// Guards the two fields below and nothing else; no instance code runs under it except
// the creation of the default instance.
std::mutex g_lock;
bool g_created = false;
IIODriverInstance* g_instance = nullptr; // the library's reference
} // namespace

HRESULT CreateDriverInstance(IIOUnknown* services, IIODriverInstance** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    try
    {
        TIOPtr<CIOGlobals> globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(services, DRAVO_DRIVER_NAME));
        if (!globals)
            return E_OUTOFMEMORY;
        CIOFactory* factory = CreateDriverFactory(globals.Get());
        if (factory == nullptr)
            return E_OUTOFMEMORY;
        *out = factory;
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

TIOPtr<IIODriverInstance> CDefaultInstance::Acquire()
{
    std::lock_guard guard(g_lock);
    if (!g_created)
    {
        // Set before the attempt, so a failed creation stays failed for the process.
        g_created = true;
        // At process exit the instance must go before the static objects it uses: a static
        // constructed now is destroyed before every static constructed earlier. At dlclose
        // the library's destructor gets there first; Unload is idempotent. A static rather
        // than atexit, because its destructor is registered with this library's handle and
        // so leaves with the library, where a sanitizer's atexit would keep it for the
        // process and call into the unloaded library at exit.
        if (SUCCEEDED(CreateDriverInstance(nullptr, &g_instance)))
        {
            static const struct SUnloadAtExit
            {
                ~SUnloadAtExit() { CDefaultInstance::Unload(); }
            } unloadAtExit;
        }
    }
    return TIOPtr<IIODriverInstance>(g_instance);
}

void CDefaultInstance::Unload()
{
    IIODriverInstance* instance = nullptr;
    {
        std::lock_guard guard(g_lock);
        instance = g_instance;
        g_instance = nullptr;
    }
    if (instance)
    {
        instance->OnLibraryUnload();
        instance->Release();
    }
}
