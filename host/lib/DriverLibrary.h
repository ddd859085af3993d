// Loads a driver library (MQTT.so) the way a SCADA host does: dlopen, EnumServices, and
// every service looked up by name. Used by mqtt-host, the end-to-end tests and the load tools.
#pragma once
#include <string>

#include "dravo/IOServices.h"

class CDriverLibrary
{
public:
    CDriverLibrary() = default;
    ~CDriverLibrary() { Unload(); }
    CDriverLibrary(const CDriverLibrary&) = delete;
    CDriverLibrary& operator=(const CDriverLibrary&) = delete;

    // The MQTT.so beside the running executable.
    static std::string DefaultPath();

    // Loads the library and looks every service up. On failure returns false, leaves the
    // object unloaded and describes why in `error`.
    bool Load(const std::string& path, std::string& error);
    // dlclose: runs the driver's unload. Every interface taken from it must be released first.
    void Unload();
    bool IsLoaded() const { return m_handle != nullptr; }
    const std::string& Path() const { return m_path; }

    // Any service by name through EnumServices (null when unknown or not loaded).
    DrvServiceEntry Lookup(const char* name) const;
    // A plain export by symbol name (dlsym), for checks that bypass EnumServices.
    void* Symbol(const char* name) const;

    // The services; each requires a loaded library.
    const char* DriverName() const { return m_fn.getDriverName(); }
    uint32_t Version() const { return m_fn.getVersion(); }
    uint32_t VersionFull() const { return m_fn.getVersionFull(); }
    uint32_t Caps() const { return m_fn.getCaps(); }
    void SetSettingsHandle(HVALUE settings) const { m_fn.setSettingsHandle(settings); }
    int16_t DriverDialog(void* parentWindow) const { return m_fn.driverDialog(parentWindow); }
    int16_t StartComm(uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint16_t d = 0) const
    {
        return m_fn.startComm(a, b, c, d);
    }
    int16_t StopComm(uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint16_t d = 0) const
    {
        return m_fn.stopComm(a, b, c, d);
    }
    int16_t IO(TagRequest* request, HVALUE value) const { return m_fn.io(request, value); }
    int16_t GetStatus(const char* name, HVALUE value) const { return m_fn.getStatus(name, value); }
    int16_t SetStatus(const char* name, HVALUE value) const { return m_fn.setStatus(name, value); }
    int16_t GetDriverObject(IIODriverInstance** out) const { return m_fn.getDriverObject(out); }
    int32_t CreateDriverInstance(IIOUnknown* services, IIODriverInstance** out) const
    {
        return m_fn.createDriverInstance(services, out);
    }

private:
    template <class Fn> bool Resolve(Fn& slot, const char* name, std::string& error);

    // Reset as a whole when the library is unloaded.
    struct Entries
    {
        PFN_EnumServices enumServices = nullptr;
        PFN_drvGetDriverName getDriverName = nullptr;
        PFN_DravoLibGetVersion getVersion = nullptr;
        PFN_DravoLibGetVersionFull getVersionFull = nullptr;
        PFN_drvGetCaps getCaps = nullptr;
        PFN_drvSetSettingsHandle setSettingsHandle = nullptr;
        PFN_drvDriverDialog driverDialog = nullptr;
        PFN_drvStartComm startComm = nullptr;
        PFN_drvStopComm stopComm = nullptr;
        PFN_drvIO io = nullptr;
        PFN_drvGetStatus getStatus = nullptr;
        PFN_drvSetStatus setStatus = nullptr;
        PFN_drvGetDriverObject getDriverObject = nullptr;
        PFN_drvCreateDriverInstance createDriverInstance = nullptr;
    };

    void* m_handle = nullptr;
    std::string m_path;
    Entries m_fn;
};
