// A small generic driver on the framework, used only by tests: it speaks a line protocol
// over TCP ("name=value\n" in both directions). Lines from the peer arrive through the
// physical layer's receive pump and set the value of the tag named by the item text; a
// write of a tag sends its line to the peer on the layer's thread. It exercises the whole
// framework path (instance, I/O host, physical layer, socket) without the MQTT driver.
//
// Header-only so that the support library does not depend on the framework: only tests
// that link the framework include it.
#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/IOFactory.h"
#include "core/IOHost.h"
#include "platform/Text.h"
#include "transport/Buffer.h"

class CLineHost : public CIOHost
{
public:
    static TIOPtr<CLineHost> Create(CIOGlobals* globals, const CConfigData& config)
    {
        return TIOPtr<CLineHost>::Adopt(new CLineHost(globals, config));
    }

    // The last value received for `name`.
    std::optional<std::string> Received(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(m_valuesLock);
        const auto found = m_values.find(name);
        if (found == m_values.end())
            return std::nullopt;
        return found->second;
    }

    HRESULT CanReceiveUnsolicited() override { return S_OK; }

    // One line, without its line end.
    HRESULT ReadPacket(CBuffer* packet, CBuffer*) override
    {
        IIOInputStream* stream = CurrentStream();
        if (stream == nullptr || packet == nullptr)
            return E_POINTER;
        for (;;)
        {
            uint8_t byte = 0;
            const HRESULT hr = stream->sgetc(&byte);
            if (FAILED(hr))
                return hr;
            if (byte == '\n')
                return S_OK;
            if (byte != '\r' && FAILED(packet->Append(&byte, 1)))
                return E_OUTOFMEMORY;
        }
    }

    HRESULT OnUnsolicitedPacket(CBuffer* packet) override
    {
        const std::string line(reinterpret_cast<const char*>(packet->Data()), packet->Length());
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return E_FAIL;
        std::lock_guard<std::mutex> guard(m_valuesLock);
        m_values[line.substr(0, equals)] = line.substr(equals + 1);
        return S_OK;
    }

    HRESULT ReadTag(TagRequest* request, HVALUE value) override
    {
        const std::optional<std::string> name = ItemName(request);
        if (!name)
            return IO_E_INVALID_ITEM;
        const std::optional<std::string> text = Received(*name);
        if (!text)
            return E_FAIL;
        return hvSetText(value, text->c_str()) ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT WriteTag(TagRequest* request, HVALUE value) override
    {
        const std::optional<std::string> name = ItemName(request);
        if (!name)
            return IO_E_INVALID_ITEM;
        char text[256];
        if (!hvGetTextAs(value, text, sizeof(text)))
            return E_INVALIDARG;
        const std::string line = *name + "=" + text + "\n";
        CBuffer packet;
        if (FAILED(packet.Append(line.data(), static_cast<uint32_t>(line.size()))))
            return E_OUTOFMEMORY;
        TIOPtr<IIOInterface> itf = Interface();
        if (!itf)
            return IO_E_NOT_CONNECTED;
        return itf->Transact(&packet, nullptr, nullptr);
    }

protected:
    CLineHost(CIOGlobals* globals, const CConfigData& config) : CIOHost(globals, config) {}

    static std::optional<std::string> ItemName(const TagRequest* request)
    {
        if (request->item == nullptr || request->item[0] == 0)
            return std::nullopt;
        return Utf16ToUtf8(request->item);
    }

private:
    std::mutex m_valuesLock;
    std::map<std::string, std::string> m_values;
};

// The line driver's instance: every item text that is not a framework tag ("IO....") names
// a line of the peer.
class CLineFactory : public CIOFactory
{
public:
    // An instance with one reference over `globals`, as drvCreateDriverInstance makes it.
    static TIOPtr<CLineFactory> Create(CIOGlobals* globals)
    {
        return TIOPtr<CLineFactory>::Adopt(new CLineFactory(globals));
    }

    int IsDriverTag(const TagRequest* request) override
    {
        return request->item != nullptr && request->item[0] != 0 && !IsFrameworkItem(request->item) ? 1 : 0;
    }

    CIOHost* CreateHost(uint16_t, uint16_t, uint16_t, uint16_t) override
    {
        return CLineHost::Create(Globals(), Config()).Detach();
    }

    HRESULT ValidateItem(const char16_t*, const char16_t* item, TagInfo* info) override
    {
        if (item == nullptr || item[0] == 0 || IsFrameworkItem(item))
            return IO_E_INVALID_ITEM;
        info->type = HV_STR;
        info->size = 0;
        info->flags = 0;
        return S_OK;
    }

protected:
    explicit CLineFactory(CIOGlobals* globals) : CIOFactory(globals) {}

private:
    static bool IsFrameworkItem(const char16_t* item)
    {
        return (item[0] == u'I' || item[0] == u'i') && (item[1] == u'O' || item[1] == u'o') && item[2] == u'.';
    }
};
