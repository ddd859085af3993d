#include "lib/DriverLibrary.h"

#include <dlfcn.h>

#include "platform/ModulePath.h"

std::string CDriverLibrary::DefaultPath() { return JoinPath(ModuleFolder(), "MQTT.so"); }

template <class Fn> bool CDriverLibrary::Resolve(Fn& slot, const char* name, std::string& error)
{
    slot = reinterpret_cast<Fn>(Lookup(name));
    if (slot == nullptr)
        error = std::string("the driver offers no service \"") + name + "\"";
    return slot != nullptr;
}

bool CDriverLibrary::Load(const std::string& path, std::string& error)
{
    Unload();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr)
    {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    m_path = path;
    m_fn.enumServices = reinterpret_cast<PFN_EnumServices>(Symbol("EnumServices"));
    m_fn.getVersion = reinterpret_cast<PFN_DravoLibGetVersion>(Symbol("DravoLibGetVersion"));
    m_fn.getVersionFull = reinterpret_cast<PFN_DravoLibGetVersionFull>(Symbol("DravoLibGetVersionFull"));
    if (m_fn.enumServices == nullptr || m_fn.getVersion == nullptr || m_fn.getVersionFull == nullptr)
    {
        error = path + " is not a driver library (missing exports)";
        Unload();
        return false;
    }
    const bool ok = Resolve(m_fn.getDriverName, "drvGetDriverName", error) && Resolve(m_fn.getCaps, "drvGetCaps", error) &&
                    Resolve(m_fn.setSettingsHandle, "drvSetSettingsHandle", error) &&
                    Resolve(m_fn.driverDialog, "drvDriverDialog", error) && Resolve(m_fn.startComm, "drvStartComm", error) &&
                    Resolve(m_fn.stopComm, "drvStopComm", error) && Resolve(m_fn.io, "drvIO", error) &&
                    Resolve(m_fn.getStatus, "drvGetStatus", error) && Resolve(m_fn.setStatus, "drvSetStatus", error) &&
                    Resolve(m_fn.getDriverObject, "drvGetDriverObject", error) &&
                    Resolve(m_fn.createDriverInstance, "drvCreateDriverInstance", error);
    if (!ok)
        Unload();
    return ok;
}

void CDriverLibrary::Unload()
{
    if (m_handle)
        dlclose(m_handle);
    m_handle = nullptr;
    m_path.clear();
    m_fn = {};
}

DrvServiceEntry CDriverLibrary::Lookup(const char* name) const
{
    if (m_fn.enumServices == nullptr)
        return nullptr;
    ServiceLookup lookup{name, nullptr};
    return m_fn.enumServices(&lookup);
}

void* CDriverLibrary::Symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }
