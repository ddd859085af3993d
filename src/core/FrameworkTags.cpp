// The I/O host's answers to the framework's own tags (N1 = 0xFFFF, N2 = 0): the event
// block, the physical-layer status, the online switch, the configuration setters, the
// statistics and the parameters the physical layer answers itself (N3 = 2 to 5).
#include <mutex>
#include <new>

#include "core/BuiltinTags.h"
#include "core/IOHost.h"
#include "platform/Text.h"

namespace
{
// One element, not an element of a block. Hosts address single values with a size of 1 or,
// as tag validation reports them, 0.
bool IsSingleValue(const TagRequest* request, uint16_t operation)
{
    return request->operation == operation && request->size <= 1 && request->count == 1 && request->first == 0;
}

bool IsEventBlockRead(const TagRequest* request)
{
    const SBuiltinTag* row = CBuiltinTags::FindByNumbers(0, FRAMEWORK_TAG_EVENT);
    const uint16_t size = row ? row->size : 4;
    return request->operation == IO_OP_READ_BLOCK && request->size == size && request->count == size &&
           request->first == 0;
}

bool IsRead(uint16_t operation)
{
    return operation == IO_OP_READ_VALUE || operation == IO_OP_READ_BLOCK || operation == IO_OP_READ_BLOCK_ELEMENT;
}

bool IsWrite(uint16_t operation)
{
    return operation == IO_OP_WRITE_VALUE || operation == IO_OP_WRITE_BLOCK || operation == IO_OP_WRITE_BLOCK_ELEMENT;
}

bool IsStatistic(uint16_t n4)
{
    return (n4 >= FRAMEWORK_TAG_STATS_TOTAL_FIRST && n4 <= FRAMEWORK_TAG_STATS_TOTAL_LAST) ||
           (n4 >= FRAMEWORK_TAG_STATS_PARTIAL_FIRST && n4 <= FRAMEWORK_TAG_STATS_PARTIAL_LAST);
}

// Requests of this layout version and later carry the item text that names a parameter.
constexpr uint16_t kFirstVersionWithParameterNames = 5;
} // namespace

HRESULT CIOHost::ProcessFrameworkTag(TagRequest* request, HVALUE value)
{
    if (request->n2 != BUILTIN_N2)
        return E_NOTIMPL;
    switch (request->n3)
    {
    case 0:
        return ProcessGeneralTag(request, value);
    case 2:
    case 3:
    case 4:
    case 5:
        return ProcessLayerParameter(request, value);
    default:
        return E_NOTIMPL;
    }
}

HRESULT CIOHost::ProcessGeneralTag(TagRequest* request, HVALUE value)
{
    switch (request->n4)
    {
    case FRAMEWORK_TAG_EVENT:
        return ReadEvents(request, value);
    case FRAMEWORK_TAG_LAYER_STATUS:
        return ReadLayerStatus(request);
    case FRAMEWORK_TAG_SET_PARAMETERS:
        return SetConfigurationParameters(request);
    case FRAMEWORK_TAG_WORK_ONLINE:
        return WorkOnline(request);
    case FRAMEWORK_TAG_PARAMETER_BY_NAME:
        return ParameterByName(request);
    default:
        return IsStatistic(request->n4) ? GetStatistic(request->n4, value) : E_NOTIMPL;
    }
}

HRESULT CIOHost::ProcessLayerParameter(TagRequest* request, HVALUE value)
{
    TIOPtr<IIOInterface> itf = Interface();
    if (!itf)
        return E_FAIL;
    if (IsRead(request->operation))
        return itf->ReadParameter(request->n3, request->n4, request, value);
    if (IsWrite(request->operation))
        return itf->WriteParameter(request->n3, request->n4, request, value);
    return E_NOTIMPL;
}

HRESULT CIOHost::ReadEvents(const TagRequest* request, HVALUE value)
{
    if (!IsEventBlockRead(request))
        return E_FAIL;
    if (value == nullptr)
        return E_POINTER;
    CLockGuard guard(m_eventLock);
    if (!hvMakeList(value, static_cast<uint16_t>(m_events.size())))
        return E_OUTOFMEMORY;
    // An event leaves the queue only once the list holds its copy.
    while (!m_events.empty())
    {
        if (!hvListAppend(value, m_events.front()))
            return E_OUTOFMEMORY;
        hvRelease(m_events.front());
        m_events.pop_front();
    }
    return S_OK;
}

HRESULT CIOHost::ReadLayerStatus(TagRequest* request)
{
    if (!IsSingleValue(request, IO_OP_READ_VALUE))
        return E_FAIL;
    if (request->value == nullptr)
        return E_POINTER;
    if (!hvSetI32(request->value, PLS_STOPPED))
        return E_OUTOFMEMORY;
    if (TIOPtr<IIOInterface> itf = Interface())
        itf->ReadParameter(PL_GROUP_GENERAL, PL_ITEM_STATUS, request, request->value);
    return S_OK;
}

HRESULT CIOHost::WorkOnline(TagRequest* request)
{
    if (request == nullptr)
        return E_POINTER;
    if (IsSingleValue(request, IO_OP_READ_VALUE))
    {
        if (request->value == nullptr)
            return E_POINTER;
        return hvSetI32(request->value, IsOnline() ? 1 : 0) ? S_OK : E_OUTOFMEMORY;
    }
    if (!IsSingleValue(request, IO_OP_WRITE_VALUE))
        return E_FAIL;
    int32_t online = 0;
    if (!hvGetI32(request->value, &online))
        return E_FAIL;
    if (online != 0 && !IsOnline())
    {
        GoOnline(false);
        if (!IsOnline())
            return E_FAIL;
    }
    else if (online == 0 && IsOnline())
    {
        // The framework's own switch: the driver's Stop would also tear down its session.
        CIOHost::GoOffline();
    }
    return S_OK;
}

HRESULT CIOHost::SetConfigurationParameters(TagRequest* request)
{
    std::string error;
    std::vector<std::string> changed;
    HRESULT hr = S_OK;
    if (request->operation != IO_OP_WRITE_VALUE && request->operation != IO_OP_WRITE_BLOCK)
    {
        error = "Unsupported tag operation";
        hr = E_FAIL;
    }
    else if (request->count != request->size || request->first != 0)
    {
        error = "Block element write not supported";
        hr = E_FAIL;
    }
    else
    {
        // Held across the check and the change, so the driver cannot go online in between.
        CLockGuard guard(m_hostLock);
        if (m_interface)
        {
            error = "Cannot set configuration parameters while the driver is ONLINE";
            hr = E_FAIL;
        }
        else if (!m_config.ApplyParameterArray(request->value, error, changed))
        {
            hr = E_FAIL;
        }
    }
    ParametersChanged(changed);
    ReportStatusText(request, error);
    return hr;
}

HRESULT CIOHost::ParameterByName(TagRequest* request)
{
    std::string error;
    HRESULT hr = E_FAIL;
    if (request->version < kFirstVersionWithParameterNames)
        error = "String parameters not supported in this version";
    else if (request->operation != IO_OP_READ_VALUE && request->operation != IO_OP_WRITE_VALUE)
        error = "Unsupported tag operation";
    else if (request->item == nullptr || request->item[0] == 0)
        error = "String parameter not provided";
    else if (request->value == nullptr)
        hr = E_POINTER;
    else
    {
        const std::string name = Utf16ToUtf8(request->item);
        if (request->operation == IO_OP_READ_VALUE)
        {
            HVALUE duplicate = nullptr;
            bool present = false;
            {
                CLockGuard guard(m_config.Lock());
                if (HVALUE stored = m_config.Find(name))
                {
                    present = true;
                    duplicate = hvDuplicate(stored);
                }
            }
            CHeldValue copy(duplicate);
            if (!present)
            {
                hvClear(request->value);
                hr = S_OK;
            }
            else if (copy && hvCopy(request->value, copy.Get()))
            {
                hr = S_OK;
            }
        }
        else if (m_config.SetValue(name, request->value))
        {
            hr = S_OK;
            ParametersChanged({name});
        }
    }
    ReportStatusText(request, error);
    return hr;
}

void CIOHost::ReportStatusText(const TagRequest* request, const std::string& error)
{
    if (request->version > 1 && request->status != nullptr)
        hvSetText(request->status, error.c_str());
}
