#include "core/IOTrace.h"

#include "platform/Text.h"
#include "platform/Tick.h"

namespace
{
std::string Narrow(const char16_t* text)
{
    return text ? Utf16ToUtf8(text) : std::string();
}

// Framework tags are addressed with N1 = 0xFFFF; their quick reads are not worth a line.
constexpr uint16_t FrameworkTagN1 = 0xFFFF;
constexpr double SlowFrameworkReadSeconds = 0.1;
} // namespace

void AppendTagAddress(CTextBuilder& out, std::string_view device, std::string_view item, const STagAddress& address)
{
    bool named = false;
    if (!device.empty())
    {
        out.Append("{");
        out.Append(device);
        out.Append("}'");
        out.Append(item);
        out.Append("'");
        named = true;
    }
    else if (!item.empty())
    {
        out.Append("'");
        out.Append(item);
        out.Append("'");
        named = true;
    }
    if (!named || address.n1 || address.n2 || address.n3 || address.n4)
        out.Format("%u.%u.%u.%u", unsigned(address.n1), unsigned(address.n2), unsigned(address.n3),
                   unsigned(address.n4));
    if (address.tagObject)
        out.Format(".Blob:%p", address.tagObject);
}

std::string RequestAddressText(const TagRequest& request)
{
    CTextBuilder out(AddressTextCapacity);
    AppendTagAddress(out, Narrow(request.device), Narrow(request.item),
                     STagAddress{request.n1, request.n2, request.n3, request.n4, request.tagObject});
    if (request.operation & IO_OP_BIT_BLOCK)
    {
        out.Format("[%u]", unsigned(request.size));
        if (request.operation & IO_OP_BIT_ELEMENT)
            out.Format(".%u", unsigned(request.first));
    }
    if (request.operation & IO_OP_BIT_MASKED)
        out.Format(";and=%04X;or=%04X", request.andMask, request.orMask);
    return out.Finish();
}

std::string TagAddressText(const char16_t* device, const char16_t* item, const TagInfo& info)
{
    CTextBuilder out(AddressTextCapacity);
    AppendTagAddress(out, Narrow(device), Narrow(item), STagAddress{info.n1, info.n2, info.n3, info.n4, info.tagObject});
    if (info.size > 1)
        out.Format("[%u]", unsigned(info.size));
    return out.Finish();
}

std::string SubscriptionAddressText(const char* device, const char* item, const STagAddress& address, uint16_t size)
{
    CTextBuilder out(AddressTextCapacity);
    AppendTagAddress(out, device ? device : "", item ? item : "", address);
    if (size > 1)
        out.Format("[%u]", unsigned(size));
    return out.Finish();
}

const char* OperationName(uint16_t operation)
{
    switch (operation)
    {
    case IO_OP_READ_VALUE:
        return "ReadValue";
    case IO_OP_WRITE_VALUE:
        return "WriteValue";
    case IO_OP_READ_BLOCK:
        return "ReadBlock";
    case IO_OP_WRITE_BLOCK:
        return "WriteBlock";
    case IO_OP_READ_BLOCK_ELEMENT:
        return "ReadBlockElement";
    case IO_OP_WRITE_BLOCK_ELEMENT:
        return "WriteBlockElement";
    case IO_OP_MASK_WRITE_VALUE:
        return "MaskWriteValue";
    case IO_OP_MASK_WRITE_BLOCK_ELEMENT:
        return "MaskWriteBlockElement";
    default:
        return nullptr;
    }
}

CIOTrace::CIOTrace(const TIOApi* owner, const TagRequest& request)
    : m_owner(owner), m_request(request), m_start(GetHighResCounter())
{
    CTextBuilder out(TraceTextCapacity);
    out.Append("Tag(");
    out.Append(RequestAddressText(request));
    out.Append(").");
    if (const char* name = OperationName(request.operation))
        out.Append(name);
    else
        out.Format("<unknown driver service(%u,%04X)>", unsigned(request.operation), unsigned(request.operation));
    if (request.operation & IO_OP_BIT_WRITE)
    {
        out.Append(" ");
        AppendValueText(out, request.value);
    }
    m_text = out.Finish();
}

double CIOTrace::ElapsedSeconds() const
{
    const uint64_t frequency = GetHighResFrequency();
    return frequency ? double(GetHighResCounter() - m_start) / double(frequency) : 0.0;
}

void CIOTrace::Finish(HRESULT status, double t)
{
    const char* text = m_text.c_str();
    const bool write = (m_request.operation & IO_OP_BIT_READ) == 0;
    std::string statusText;
    if (write && m_request.status && hvGetType(m_request.status) != HV_NULL)
        statusText = ValueText(m_request.status);
    const auto hr = static_cast<uint32_t>(status);

    if (write)
    {
        if (FAILED(status) && !statusText.empty())
            Log(m_owner, LOG_TAG, "==> (%.3lf) %s = ERROR (hr=%08X) (status = %s)", t, text, hr, statusText.c_str());
        else if (FAILED(status))
            Log(m_owner, LOG_TAG, "==> (%.3lf) %s = ERROR (hr=%08X)", t, text, hr);
        else if (!statusText.empty())
            Log(m_owner, LOG_TAG, "==> (%.3lf) %s = SUCCESS (status = %s)", t, text, statusText.c_str());
        else
            Log(m_owner, LOG_TAG, "==> (%.3lf) %s = SUCCESS", t, text);
        return;
    }
    if (FAILED(status))
    {
        Log(m_owner, LOG_TAG, "<== (%.3lf) %s = ERROR (hr=%08X)", t, text, hr);
        return;
    }
    HVALUE value = m_request.value;
    if (hvGetType(value) == HV_LIST)
    {
        const uint16_t count = hvGetListCount(value);
        uintptr_t position = 0;
        if (count == 1)
        {
            Log(m_owner, LOG_TAG, "<== (%.3lf) %s = list(1) %s", t, text,
                ValueText(hvListFirst(value, &position)).c_str());
        }
        else if (count > 1)
        {
            // The entries stay together below their head line, whoever else is logging.
            IIOLogger* logger = m_owner ? m_owner->Logger() : nullptr;
            if (logger)
                logger->Lock();
            Log(m_owner, LOG_TAG, "<== (%.3lf) %s = list(%u)", t, text, unsigned(count));
            unsigned index = 0;
            for (HVALUE entry = hvListFirst(value, &position); entry; entry = hvListNext(value, &position))
                Log(m_owner, LOG_TAG, "    - list[%u] %s", index++, ValueText(entry).c_str());
            if (logger)
                logger->Unlock();
        }
        return;
    }
    if (m_request.n1 == FrameworkTagN1 && t < SlowFrameworkReadSeconds)
        return;
    Log(m_owner, LOG_TAG, "<== (%.3lf) %s = %s", t, text, ValueText(value).c_str());
}
