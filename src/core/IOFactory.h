// The driver instance: the object behind every service of the boundary. A concrete driver
// derives from it and supplies the driver slots (IsDriverTag, CreateHost, WriteDefaults,
// CreatePage, ValidateItem, ...); the framework reaches that subclass only through
// CreateDriverFactory.
#pragma once
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IOUnknown.h"

class CIOGlobals;

class CIOFactory : public TIOUnknown<IIODriverInstance, IIOParseTag, IIOImportTags, IIOAdviseTag>, public TIOApi
{
public:
    // IIODriverInstance: the services.
    const char* GetDriverName() override;
    void SetSettingsHandle(HVALUE settings) override;
    HRESULT DriverDialog(void* parentWindow) override;
    uint32_t GetCaps() override;
    HRESULT StartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) override;
    HRESULT StopComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) override;
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

    // IIOParseTag
    HRESULT Validate(const char16_t* device, const char16_t* item, TagInfo* info) override;
    // IIOImportTags
    HRESULT ImportTags(IIOTagBrowser* browser) override;
    // IIOAdviseTag
    HRESULT Start(TagRequest* request, IIOAdviseCallback* callback, uint32_t callbackNumber) override;
    HRESULT Stop(uint32_t callbackNumber) override;
    HRESULT SetScan(uint32_t callbackNumber, uint32_t periodMs) override;

protected:
    explicit CIOFactory(CIOGlobals* globals);
    ~CIOFactory() override;

    HVALUE SettingsValue() const { return m_settings; }

private:
    HVALUE m_settings = nullptr; // the host's settings value; one reference held
};

// Defined by the concrete driver: makes its factory (reference count 1) over `globals`,
// or returns null. The factory takes its own reference to the globals.
CIOFactory* CreateDriverFactory(CIOGlobals* globals);
