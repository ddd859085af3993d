#include "core/IOFactory.h"

#include "dravo/IOServices.h"

CIOFactory::CIOFactory(CIOGlobals* globals) : TIOApi(globals) {}

CIOFactory::~CIOFactory()
{
    if (m_settings)
        hvRelease(m_settings);
}

const char* CIOFactory::GetDriverName() { return DRAVO_DRIVER_NAME; }

void CIOFactory::SetSettingsHandle(HVALUE settings)
{
    if (settings)
        hvAddRef(settings);
    if (m_settings)
        hvRelease(m_settings);
    m_settings = settings;
}

HRESULT CIOFactory::DriverDialog(void*) { return E_NOTIMPL; }

uint32_t CIOFactory::GetCaps() { return DRAVO_DRIVER_CAPS; }

HRESULT CIOFactory::StartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    StopComm(a, b, c, d);
    return E_NOTIMPL;
}

HRESULT CIOFactory::StopComm(uint16_t, uint16_t, uint16_t, uint16_t)
{
    return S_FALSE; // nothing was running
}

HRESULT CIOFactory::IO(TagRequest* request, HVALUE value)
{
    if (request == nullptr || value == nullptr)
        return E_POINTER;
    return IO_E_NOT_STARTED;
}

HRESULT CIOFactory::GetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    return IO_E_NOT_STARTED;
}

HRESULT CIOFactory::SetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    return IO_E_NOT_STARTED;
}

HRESULT CIOFactory::Validate(const char16_t* device, const char16_t* item, TagInfo* info)
{
    if (info == nullptr)
        return E_POINTER;
    const bool hasDevice = device != nullptr && device[0] != 0;
    const bool hasItem = item != nullptr && item[0] != 0;
    if (hasDevice || hasItem)
        return ValidateItem(device ? device : u"", item ? item : u"", info);
    return ValidateNumbers(info);
}

HRESULT CIOFactory::ImportTags(IIOTagBrowser* browser)
{
    if (browser == nullptr)
        return E_POINTER;
    ImportDriverTags(browser);
    return S_OK;
}

HRESULT CIOFactory::Start(TagRequest*, IIOAdviseCallback* callback, uint32_t)
{
    if (callback == nullptr)
        return E_POINTER;
    return E_UNEXPECTED; // no tag cache
}

HRESULT CIOFactory::Stop(uint32_t) { return E_UNEXPECTED; }

HRESULT CIOFactory::SetScan(uint32_t, uint32_t) { return E_UNEXPECTED; }
