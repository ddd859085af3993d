// The five exports and the service table that EnumServices looks names up in.
#include <new>
#include <string_view>

#include "boundary/DefaultInstance.h"
#include "dravo/IOServices.h"
#include "platform/Text.h"

#define DRAVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
int16_t Reduce(HRESULT hr) { return SUCCEEDED(hr) ? 1 : -1; }

// The steps every plain service shares: a reference to the default instance for the
// duration of the call, the operation, and no exception past the boundary.
template <class Operation> HRESULT OnDefaultInstance(Operation operation)
{
    try
    {
        TIOPtr<IIODriverInstance> instance = CDefaultInstance::Acquire();
        if (!instance)
            return E_OUTOFMEMORY;
        return operation(instance.Get());
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

uint32_t drvGetCaps()
{
    uint32_t caps = DRAVO_DRIVER_CAPS;
    OnDefaultInstance([&](IIODriverInstance* i) {
        caps = i->GetCaps();
        return S_OK;
    });
    return caps;
}

void drvSetSettingsHandle(HVALUE settings)
{
    OnDefaultInstance([&](IIODriverInstance* i) {
        i->SetSettingsHandle(settings);
        return S_OK;
    });
}

int16_t drvDriverDialog(void* parentWindow)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->DriverDialog(parentWindow); }));
}

int16_t drvStartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->StartComm(a, b, c, d); }));
}

int16_t drvStopComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->StopComm(a, b, c, d); }));
}

int16_t drvIO(TagRequest* request, HVALUE value)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->IO(request, value); }));
}

int16_t drvGetStatus(const char* name, HVALUE value)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->GetStatus(name, value); }));
}

int16_t drvSetStatus(const char* name, HVALUE value)
{
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) { return i->SetStatus(name, value); }));
}

int16_t drvGetDriverObject(IIODriverInstance** out)
{
    if (out == nullptr)
        return -1;
    *out = nullptr;
    return Reduce(OnDefaultInstance([&](IIODriverInstance* i) {
        i->AddRef();
        *out = i;
        return S_OK;
    }));
}

int32_t drvCreateDriverInstance(IIOUnknown* services, IIODriverInstance** out)
{
    return Reduce(CreateDriverInstance(services, out));
}

template <class F> DrvServiceEntry Entry(F* function) { return reinterpret_cast<DrvServiceEntry>(function); }

struct Service
{
    std::string_view name;
    DrvServiceEntry entry;
};
} // namespace

DRAVO_EXPORT const char* drvGetDriverName(void)
{
    const char* name = DRAVO_DRIVER_NAME;
    OnDefaultInstance([&](IIODriverInstance* i) {
        name = i->GetDriverName();
        return S_OK;
    });
    return name;
}

DRAVO_EXPORT uint32_t DravoLibGetVersion(void) { return DRAVO_LIB_VERSION; }

// The same function under its second exported name.
DRAVO_EXPORT uint32_t DravoLib_v2_0_125(void) __attribute__((alias("DravoLibGetVersion")));

DRAVO_EXPORT uint32_t DravoLibGetVersionFull(void) { return DRAVO_LIB_VERSION_FULL; }

DRAVO_EXPORT DrvServiceEntry EnumServices(ServiceLookup* lookup)
{
    if (lookup == nullptr)
        return nullptr;
    lookup->entry = nullptr;
    if (lookup->name == nullptr)
        return nullptr;

    static const Service services[] = {
        {"EnumServices", Entry(&EnumServices)},
        {"drvGetDriverName", Entry(&drvGetDriverName)},
        {"drvGetCaps", Entry(&drvGetCaps)},
        {"drvSetSettingsHandle", Entry(&drvSetSettingsHandle)},
        {"drvDriverDialog", Entry(&drvDriverDialog)},
        {"drvStartComm", Entry(&drvStartComm)},
        {"drvStopComm", Entry(&drvStopComm)},
        {"drvIO", Entry(&drvIO)},
        {"drvGetStatus", Entry(&drvGetStatus)},
        {"drvSetStatus", Entry(&drvSetStatus)},
        {"drvGetDriverObject", Entry(&drvGetDriverObject)},
        {"drvCreateDriverInstance", Entry(&drvCreateDriverInstance)},
    };
    for (const Service& s : services)
    {
        if (EqualsNoCase(s.name, lookup->name))
        {
            lookup->entry = s.entry;
            break;
        }
    }
    return lookup->entry;
}

namespace
{
// Runs when the library is unloaded (dlclose) or the process ends.
__attribute__((destructor)) void OnUnload() { CDefaultInstance::Unload(); }
} // namespace

// The service functions must keep the signatures the host casts the entries to.
static_assert(std::is_same_v<decltype(&drvGetCaps), PFN_drvGetCaps>);
static_assert(std::is_same_v<decltype(&drvSetSettingsHandle), PFN_drvSetSettingsHandle>);
static_assert(std::is_same_v<decltype(&drvDriverDialog), PFN_drvDriverDialog>);
static_assert(std::is_same_v<decltype(&drvStartComm), PFN_drvStartComm>);
static_assert(std::is_same_v<decltype(&drvStopComm), PFN_drvStopComm>);
static_assert(std::is_same_v<decltype(&drvIO), PFN_drvIO>);
static_assert(std::is_same_v<decltype(&drvGetStatus), PFN_drvGetStatus>);
static_assert(std::is_same_v<decltype(&drvSetStatus), PFN_drvSetStatus>);
static_assert(std::is_same_v<decltype(&drvGetDriverObject), PFN_drvGetDriverObject>);
static_assert(std::is_same_v<decltype(&drvCreateDriverInstance), PFN_drvCreateDriverInstance>);
static_assert(std::is_same_v<decltype(&EnumServices), PFN_EnumServices>);
static_assert(std::is_same_v<decltype(&drvGetDriverName), PFN_drvGetDriverName>);
