#include "lib/DriverSession.h"

#include <cstdio>
#include <vector>

#include "platform/Text.h"

namespace
{
constexpr uint16_t kRequestVersion = 5; // the first layout that names parameters by item text

// Prints the browser import as an indented tree. Folders and blocks hand out a child node
// one level deeper that appends to the same text.
class CTreeText : public TIOUnknown<IIOTagBrowser>
{
public:
    CTreeText(std::string& text, unsigned depth) : m_text(text), m_depth(depth) {}

    HRESULT Add(const BrowseEntry* entry, IIOTagBrowser** child, uint32_t) override
    {
        if (entry == nullptr)
            return E_POINTER;
        std::string line(2 * m_depth, ' ');
        const std::string name = Utf16ToUtf8(entry->name ? entry->name : u"");
        switch (entry->kind)
        {
        case BROWSE_FOLDER:
            line += name + "/";
            break;
        case BROWSE_BLOCK:
            line += name + "  block[" + std::to_string(entry->sizeOrIndex) + "] " + Access(entry->access);
            break;
        case BROWSE_ELEMENT:
            line += "[" + std::to_string(entry->sizeOrIndex) + "] " + name;
            break;
        default:
            line += name + "  " + Access(entry->access);
            break;
        }
        if (entry->description != nullptr && entry->description[0] != u'\0')
            line += "  -- " + Utf16ToUtf8(entry->description);
        m_text += line + "\n";
        if (child != nullptr)
            *child = new CTreeText(m_text, m_depth + 1);
        return S_OK;
    }

private:
    static std::string Access(uint32_t access)
    {
        const bool read = (access & TAG_INFO_NOT_READABLE) == 0;
        const bool write = (access & TAG_INFO_NOT_WRITABLE) == 0;
        return read && write ? "read/write" : read ? "read-only" : write ? "write-only" : "no access";
    }

    std::string& m_text;
    unsigned m_depth;
};

// Releases the tag object that validation handed out.
struct TagInfoGuard
{
    TagInfo info{};
    ~TagInfoGuard()
    {
        if (info.tagObject != nullptr)
            info.tagObject->Release();
    }
};
} // namespace

std::string StatusText(HRESULT status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

HRESULT CAdviseCallback::Notify(uint32_t callbackNumber, HVALUE value, uint32_t flags)
{
    try
    {
        m_handler(callbackNumber, value, flags);
        return S_OK;
    }
    catch (...)
    {
        return E_FAIL;
    }
}

CDriverSession::~CDriverSession() { StopComm(); }

bool CDriverSession::Open(std::string& error)
{
    if (m_library.GetDriverObject(m_instance.Out()) != 1 || !m_instance)
    {
        error = "the driver could not create its instance";
        return false;
    }
    if (FAILED(m_instance->QueryInterface(IIOParseTag::IID, reinterpret_cast<void**>(m_parse.Out()))) ||
        FAILED(m_instance->QueryInterface(IIOAdviseTag::IID, reinterpret_cast<void**>(m_advise.Out()))) ||
        FAILED(m_instance->QueryInterface(IIOImportTags::IID, reinterpret_cast<void**>(m_import.Out()))))
    {
        error = "the driver instance lacks the tag interfaces";
        return false;
    }
    return true;
}

bool CDriverSession::ApplySettings(CHostSettings& settings, std::string& error)
{
    // An empty value makes the driver write its defaults into it; the settings then go
    // on top and are handed over again, which applies the key migrations.
    CHostValue defaults;
    if (!defaults)
    {
        error = "out of memory";
        return false;
    }
    m_library.SetSettingsHandle(defaults.Get());
    CHostSettings merged;
    if (!merged.FromStored(defaults.Get(), error))
        return false;
    for (const CHostSettings::Parameter& p : settings.Parameters())
    {
        if (!merged.Set(p.name, p.value.Get()))
        {
            error = "out of memory";
            return false;
        }
    }
    // In the store's own order, so what the driver holds reads the same whether or not it
    // saved the configuration back.
    merged.SortByName();
    CHostValue stored;
    if (!stored || !merged.ToStored(stored.Get()))
    {
        error = "out of memory while building the settings value";
        return false;
    }
    m_library.SetSettingsHandle(stored.Get());
    m_settings = std::move(stored);
    return settings.FromStored(m_settings.Get(), error);
}

bool CDriverSession::StartComm(std::string& error)
{
    StopComm();
    if (m_library.StartComm() != 1)
    {
        error = "the driver could not start communication: check \"IO.Type\" (\"Ethernet\") and the "
                "Ethernet and TLS settings; with \"IO.Log.Enable\" = 1 the driver log says why";
        m_library.StopComm();
        return false;
    }
    m_started = true;
    return true;
}

void CDriverSession::StopComm()
{
    if (m_started)
        m_library.StopComm();
    m_started = false;
}

HRESULT CDriverSession::Validate(std::string_view item, TagInfo& info) const
{
    if (!m_parse)
        return E_UNEXPECTED;
    const std::u16string wide = Utf8ToUtf16(item);
    info.type = HV_HVAL;
    return m_parse->Validate(u"", wide.c_str(), &info);
}

HRESULT CDriverSession::Subscribe(std::string_view item, IIOAdviseCallback* callback, uint32_t number,
                                  uint32_t scanMs)
{
    if (!m_advise)
        return E_UNEXPECTED;
    TagInfoGuard guard;
    const HRESULT valid = Validate(item, guard.info);
    if (FAILED(valid))
        return valid;
    const std::u16string wide = Utf8ToUtf16(item);
    TagRequest request{};
    request.version = kRequestVersion;
    request.operation = guard.info.size > 0 ? IO_OP_READ_BLOCK : IO_OP_READ_VALUE;
    request.size = guard.info.size;
    request.count = guard.info.size > 0 ? guard.info.size : 1;
    request.n1 = guard.info.n1;
    request.n2 = guard.info.n2;
    request.n3 = guard.info.n3;
    request.n4 = guard.info.n4;
    request.scan = scanMs;
    request.flags = TAG_REQUEST_VALIDATED;
    request.tagObject = guard.info.tagObject;
    request.device = u"";
    request.item = wide.c_str();
    return m_advise->Start(&request, callback, number);
}

HRESULT CDriverSession::Unsubscribe(uint32_t number) { return m_advise ? m_advise->Stop(number) : E_UNEXPECTED; }

bool CDriverSession::Read(std::string_view item, HVALUE value, std::string& error)
{
    return Transfer(item, value, false, error);
}

bool CDriverSession::Write(std::string_view item, HVALUE value, std::string& error)
{
    return Transfer(item, value, true, error);
}

bool CDriverSession::Transfer(std::string_view item, HVALUE value, bool write, std::string& error)
{
    TagInfoGuard guard;
    const HRESULT valid = Validate(item, guard.info);
    if (FAILED(valid))
    {
        error = "\"" + std::string(item) + "\" is not a valid item (" + StatusText(valid) + ")";
        return false;
    }
    CHostValue status;
    const std::u16string wide = Utf8ToUtf16(item);
    // Framework tags take single values as blocks of one; the event block is read whole.
    const uint16_t size = guard.info.size > 0 ? guard.info.size : 1;
    TagRequest request{};
    request.version = kRequestVersion;
    if (write)
        request.operation = guard.info.size > 1 ? IO_OP_WRITE_BLOCK : IO_OP_WRITE_VALUE;
    else
        request.operation = guard.info.size > 1 ? IO_OP_READ_BLOCK : IO_OP_READ_VALUE;
    request.size = size;
    request.count = size;
    request.n1 = guard.info.n1;
    request.n2 = guard.info.n2;
    request.n3 = guard.info.n3;
    request.n4 = guard.info.n4;
    request.value = value;
    request.status = status.Get();
    request.flags = TAG_REQUEST_VALIDATED;
    request.tagObject = guard.info.tagObject;
    request.device = u"";
    request.item = wide.c_str();
    if (m_library.IO(&request, value) == 1)
        return true;
    error = std::string(write ? "writing " : "reading ") + "\"" + std::string(item) + "\" failed";
    const char* text = nullptr;
    if (hvGetText(status.Get(), &text) && text != nullptr && text[0] != '\0')
        error += std::string(": ") + text;
    else if (!m_started)
        error += ": communication is not started";
    return false;
}

bool CDriverSession::GetStatus(const std::string& name, HVALUE value)
{
    return m_library.GetStatus(name.c_str(), value) == 1;
}

bool CDriverSession::SetStatus(const std::string& name, HVALUE value)
{
    return m_library.SetStatus(name.c_str(), value) == 1;
}

bool CDriverSession::TagTreeText(std::string& text, std::string& error)
{
    if (!m_import)
    {
        error = "the driver instance offers no tag browser import";
        return false;
    }
    text.clear();
    TIOPtr<CTreeText> root = TIOPtr<CTreeText>::Adopt(new CTreeText(text, 0));
    const HRESULT hr = m_import->ImportTags(root.Get());
    if (FAILED(hr))
    {
        error = "the tag browser import failed (" + StatusText(hr) + ")";
        return false;
    }
    return true;
}
