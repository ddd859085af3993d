// The driver instance: the object behind every service of the boundary. It owns the
// persistent configuration store and the host's settings value, the tag cache, and, while
// communication runs, the I/O host. A concrete driver derives from it and supplies the
// driver slots (IsDriverTag, CreateHost, WriteDefaults, CreatePage, ValidateItem, ...);
// the framework reaches that subclass only through CreateDriverFactory.
#pragma once
#include "core/ConfigData.h"
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IOUnknown.h"

#include <mutex>
#include <string>
#include <vector>

class CIOCache;
class CIOGlobals;
class CIOHost;
class CIOPropertyPage;

class CIOFactory : public TIOUnknown<IIODriverInstance, IIOParseTag, IIOImportTags, IIOAdviseTag>,
                   public TIOApi
{
public:
    // IIODriverInstance: the services.
    const char* GetDriverName() override;
    // Loads the store from `settings` (may be null). A value holding no parameters receives
    // the framework's and the driver's defaults; one holding the old key names is migrated.
    // Either way the result is saved back into `settings`.
    void SetSettingsHandle(HVALUE settings) override;
    // S_OK when the user confirmed (the store is saved into the settings value); E_FAIL when
    // the dialog was cancelled or could not be shown (the store is reloaded from it).
    HRESULT DriverDialog(void* parentWindow) override;
    uint32_t GetCaps() override;
    // Stops a running host, then creates one through CreateHost and brings it online.
    // S_OK also when the configuration keeps the driver offline.
    HRESULT StartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) override;
    // S_FALSE when nothing was running.
    HRESULT StopComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) override;
    // Accepts the request layouts 0 to 2 too (rebuilt with RebuildTagRequest). A request
    // not flagged as validated must carry numbers only; it is validated here.
    HRESULT IO(TagRequest* request, HVALUE value) override;
    HRESULT GetStatus(const char* name, HVALUE value) override;
    HRESULT SetStatus(const char* name, HVALUE value) override;

    // IIODriverInstance: what a concrete driver overrides.
    void OnLibraryUnload() override {}
    int IsDriverTag(const TagRequest*) override { return 0; }
    CIOHost* CreateHost(uint16_t, uint16_t, uint16_t, uint16_t) override { return nullptr; }
    void WriteDefaults(CConfigData*) override {}
    CIOPropertyPage* CreatePage(CConfigData*, uint32_t) override { return nullptr; }
    HRESULT ValidateItem(const char16_t*, const char16_t*, TagInfo*) override { return E_NOTIMPL; }
    HRESULT ValidateNumbers(TagInfo*) override { return S_OK; }
    void ImportDriverTags(IIOTagBrowser*) override {}

    // IIOParseTag: the framework's own tags first, then the driver's validation.
    HRESULT Validate(const char16_t* device, const char16_t* item, TagInfo* info) override;
    // IIOImportTags: the framework's tag tree, then the driver's tags.
    HRESULT ImportTags(IIOTagBrowser* browser) override;
    // IIOAdviseTag: subscriptions of the tag cache, by the host's callback number.
    HRESULT Start(TagRequest* request, IIOAdviseCallback* callback, uint32_t callbackNumber) override;
    HRESULT Stop(uint32_t callbackNumber) override;
    HRESULT SetScan(uint32_t callbackNumber, uint32_t periodMs) override;

    // The persistent configuration: what the pages edit and each new host copies.
    CConfigData& Config() { return m_config; }
    // The instance's tag cache; lives as long as the instance.
    CIOCache* Cache() const { return m_cache.Get(); }
    // The running host with a reference for the caller, or null while stopped.
    TIOPtr<CIOHost> Host() const;

protected:
    explicit CIOFactory(CIOGlobals* globals);
    ~CIOFactory() override;

    // Shows the modal tabbed dialog titled `title` over the driver's `pages` followed by the
    // framework's Setup and Ethernet pages, all editing Config(). S_OK when confirmed with
    // OK. The base has no dialog toolkit and answers E_FAIL, as for a cancelled dialog.
    virtual HRESULT ShowDialog(void* parentWindow, const std::string& title,
                               const std::vector<CIOPropertyPage*>& pages);

private:
    // Takes the running host out of the instance; with `only` set, only when that host is
    // the one running. Null when there was nothing to take.
    TIOPtr<CIOHost> TakeHost(const CIOHost* only = nullptr);
    // Logs the stop, stops `host` and drops the reference.
    void StopHost(TIOPtr<CIOHost> host, uint16_t a, uint16_t b, uint16_t c, uint16_t d);
    // Validates a request that carries numbers only and hands it to `host`.
    HRESULT ValidateAndProcess(CIOHost* host, TagRequest* request, HVALUE value);

    CConfigData m_config;
    HVALUE m_settings = nullptr; // the host's settings value, one reference; under m_config.Lock()
    TIOPtr<CIOCache> m_cache;

    // Guards m_host and nothing else: held only to copy or swap the pointer, so no call into
    // the host ever runs under it. A leaf lock.
    mutable std::mutex m_hostLock;
    TIOPtr<CIOHost> m_host;
};

// Defined by the concrete driver: makes its factory (reference count 1) over `globals`,
// or returns null. The factory takes its own reference to the globals.
CIOFactory* CreateDriverFactory(CIOGlobals* globals);

// Rebuilds a request of layout version 0, 1 or 2 into the current layout (version 6).
// The old record comes in two layouts told apart by where its masks and carried bytes
// are; E_FAIL when neither reading is possible. The status handle is taken over only from
// a version-2 record, so the caller supplies one when `rebuilt->status` stays null.
HRESULT RebuildTagRequest(const TagRequest* old, TagRequest* rebuilt);
