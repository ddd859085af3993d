#include "mqtt/MQTTItem.h"

#include "mqtt/MQTTTemplate.h"
#include "platform/Text.h"

#include "json/JsonValue.h"
#include <charconv>
#include <cmath>
#include <new>

namespace
{
constexpr std::string_view kDeadbandMarker = "(Deadband:";
constexpr std::string_view kBlanks = " \t\r\n\f\v";

bool IsBlank(char c)
{
    return kBlanks.find(c) != std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text)
{
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads a decimal real (leading blanks, optional sign, digits with an optional fraction and
// exponent) from the start of `text`. Returns the characters consumed, 0 when no number
// starts there. Locale-independent; "inf", "nan" and hexadecimal are not numbers here.
size_t ReadDecimal(std::string_view text, double& value)
{
    value = 0;
    size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
        negative = text[pos++] == '-';
    const size_t digitsStart = pos;
    size_t digits = 0;
    while (pos < text.size() && IsDigit(text[pos]))
        ++pos, ++digits;
    if (pos < text.size() && text[pos] == '.')
    {
        ++pos;
        while (pos < text.size() && IsDigit(text[pos]))
            ++pos, ++digits;
    }
    if (digits == 0)
        return 0;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E'))
    {
        size_t exponent = pos + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-'))
            ++exponent;
        if (exponent < text.size() && IsDigit(text[exponent]))
        {
            pos = exponent;
            while (pos < text.size() && IsDigit(text[pos]))
                ++pos;
        }
    }
    const std::from_chars_result read = std::from_chars(text.data() + digitsStart, text.data() + pos, value);
    if (read.ec == std::errc::result_out_of_range)
        value = HUGE_VAL; // the exponent overflowed; an underflow is near enough zero
    else if (read.ec != std::errc())
        return 0;
    if (negative)
        value = -value;
    return pos;
}

// A deadband clause value: a non-zero decimal number, a percentage when it ends in "%".
bool ReadDeadbandValue(std::string_view text, SMQTTDeadband& deadband)
{
    text = TrimBlanks(text);
    const bool percent = !text.empty() && text.back() == '%';
    if (percent)
        text = TrimBlanks(text.substr(0, text.size() - 1));
    double value = 0;
    const size_t used = ReadDecimal(text, value);
    if (used == 0 || used != text.size() || value == 0 || !std::isfinite(value))
        return false;
    if (percent)
    {
        deadband.flags |= SMQTTDeadband::PERCENT;
        deadband.fraction = std::fabs(value / 100);
    }
    else
    {
        deadband.flags |= SMQTTDeadband::ABSOLUTE;
        deadband.absolute = std::fabs(value);
    }
    return true;
}

MQTTValuePtr CopyValue(HVALUE source)
{
    MQTTValuePtr copy(hvCreate());
    if (copy && !hvCopy(copy.get(), source))
        copy.reset();
    return copy;
}
} // namespace

bool SMQTTDeadband::Passes(HVALUE old, HVALUE next) const
{
    if (flags == 0)
        return true;
    if (hvGetType(old) != hvGetType(next) || hvGetQuality(old) != hvGetQuality(next))
        return true;
    double before = 0;
    double after = 0;
    if (!hvGetR64(old, &before) || !hvGetR64(next, &after))
        return true;
    // A non-finite side would never compare as a large enough change and so block every
    // later write.
    if (!std::isfinite(before) || !std::isfinite(after))
        return true;
    const double change = std::fabs(before - after);
    if ((flags & PERCENT) && change >= std::fabs(before) * fraction)
        return true;
    return (flags & ABSOLUTE) && change >= absolute;
}

bool MQTTPrepareItem(std::string& item, SMQTTDeadband* deadband)
{
    SMQTTDeadband found;
    bool wellFormed = true;
    size_t from = 0;
    for (;;)
    {
        const size_t marker = item.find(kDeadbandMarker, from);
        if (marker == std::string::npos)
            break;
        const size_t valueStart = marker + kDeadbandMarker.size();
        const size_t close = item.find(')', valueStart);
        if (close == std::string::npos)
            return false;
        if (!ReadDeadbandValue(std::string_view(item).substr(valueStart, close - valueStart), found))
            wellFormed = false;
        item.erase(marker, close + 1 - marker);
        from = marker;
    }
    if (deadband)
        *deadband = found;
    if (!wellFormed)
        return false;
    item = std::string(TrimBlanks(item));
    return true;
}

std::vector<std::string> MQTTSplitFields(std::string_view text)
{
    std::vector<std::string> fields;
    for (;;)
    {
        const size_t separator = text.find(';');
        fields.emplace_back(text.substr(0, separator));
        if (separator == std::string_view::npos)
            return fields;
        text.remove_prefix(separator + 1);
    }
}

HRESULT MQTTValidateItem(const std::string& item)
{
    std::string prepared = item;
    SMQTTDeadband deadband;
    if (item.empty() || !MQTTPrepareItem(prepared, &deadband) || prepared.empty())
        return IO_E_INVALID_ITEM;
    if (deadband.flags != 0 && prepared.find(';') != std::string::npos)
        return IO_E_INVALID_ITEM;
    return S_OK;
}

HRESULT MQTTSplitArrayItem(const std::string& item, std::vector<std::string>& elements)
{
    elements.clear();
    const JsonValue::Ptr json = JsonValue::Parse(std::string_view(item));
    if (!json)
        return S_FALSE;
    if (!json->Is(JsonKind::Array) || json->Count() == 0)
        return E_FAIL;
    for (const JsonValue::Ptr& element : json->Items())
    {
        if (!element->Is(JsonKind::String))
        {
            elements.clear();
            return E_FAIL;
        }
        elements.push_back(Utf16ToUtf8(element->AsString()));
    }
    return S_OK;
}

bool MQTTIsReservedItem(std::string_view firstField)
{
    return EqualsNoCase(firstField, "MosqClientCtrl") || EqualsNoCase(firstField, "AcceptDeviceEnrollment");
}

CMQTTTagReference::CMQTTTagReference(std::string address_, std::string templateName_, std::string filter_,
                                     CMQTTTemplate* tmpl_)
    : address(std::move(address_)), templateName(std::move(templateName_)), filter(std::move(filter_)),
      tmpl(tmpl_), m_value(hvCreate())
{
    if (!m_value)
        throw std::bad_alloc();
}

CMQTTItem::CMQTTItem(std::string topic, uint32_t now)
    : m_topic(std::move(topic)), m_stateTime(now), m_firstResponseTime(now)
{
}

HRESULT CMQTTItem::AddReference(const std::string& address, const std::string& templateName,
                                const std::string& filter, CMQTTTemplate* tmpl, IIOLogger* logger)
{
    CLockGuard guard(m_lock);
    for (const auto& reference : m_references)
    {
        if (reference->address == address && reference->templateName == templateName &&
            reference->filter == filter)
        {
            Log(logger, LOG_DRIVER, "Duplicated Tag Item found = %s", address.c_str());
            return S_FALSE;
        }
    }
    try
    {
        m_references.push_back(std::make_unique<CMQTTTagReference>(address, templateName, filter, tmpl));
    }
    catch (const std::bad_alloc&)
    {
        Log(logger, LOG_DRIVER, "Error: Out of memory at AddReference");
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::vector<CMQTTTagReference*> CMQTTItem::References()
{
    CLockGuard guard(m_lock);
    std::vector<CMQTTTagReference*> references;
    references.reserve(m_references.size());
    for (const auto& reference : m_references)
        references.push_back(reference.get());
    return references;
}

void CMQTTItem::Enter(const std::string& address, uint16_t tagNumber)
{
    CLockGuard guard(m_lock);
    ++m_activeTags;
    MQTTValuePtr number(hvCreate());
    if (number && hvSetU16(number.get(), tagNumber))
    {
        for (const auto& reference : m_references)
        {
            if (reference->address == address)
                hvSetProperty(reference->Value(), MQTT_TAG_NUMBER_PROPERTY, number.get());
        }
    }
    if (m_state == MQTT_ITEM_IDLE)
        m_state = MQTT_ITEM_TO_SUBSCRIBE;
    else if (m_state == MQTT_ITEM_TO_UNSUBSCRIBE)
        m_state = MQTT_ITEM_SUBSCRIBED;
}

void CMQTTItem::Leave()
{
    CLockGuard guard(m_lock);
    if (m_activeTags == 0 || --m_activeTags != 0)
        return;
    if (m_state == MQTT_ITEM_SUBSCRIBED)
        m_state = MQTT_ITEM_TO_UNSUBSCRIBE;
    else if (m_state == MQTT_ITEM_TO_SUBSCRIBE)
        m_state = MQTT_ITEM_IDLE;
}

SMQTTItemStatus CMQTTItem::Status()
{
    CLockGuard guard(m_lock);
    SMQTTItemStatus status;
    status.state = m_state;
    status.active = m_activeTags != 0;
    status.activeTags = m_activeTags;
    status.stateTime = m_stateTime;
    status.requestId = m_requestId;
    status.grantedQoS = m_grantedQoS;
    status.gotData = m_gotData;
    status.firstResponseTime = m_firstResponseTime;
    status.bad = m_bad;
    status.badReason = m_badReason;
    status.lastWillHolder = m_lastWillHolder;
    status.references = m_references.size();
    return status;
}

EMQTTItemState CMQTTItem::State()
{
    CLockGuard guard(m_lock);
    return m_state;
}

void CMQTTItem::SetState(EMQTTItemState state)
{
    CLockGuard guard(m_lock);
    m_state = state;
}

MQTTValuePtr CMQTTItem::Decode(CMQTTTagReference& reference, const std::string& payload, bool applyLocalTZ)
{
    CLockGuard guard(m_lock);
    HVALUE value = reference.Value();
    if (reference.tmpl)
    {
        if (FAILED(reference.tmpl->ParseResponse(value, payload, reference.filter, applyLocalTZ)))
            return nullptr;
        return CopyValue(value);
    }

    std::string decimal = payload;
    for (char& c : decimal)
    {
        if (c == ',')
            c = '.';
    }
    double number = 0;
    const size_t used = ReadDecimal(decimal, number);
    const bool trailing = TrimBlanks(std::string_view(decimal).substr(used)).size() != 0;
    // A text keeps its own bytes: the decimal comma applies to numbers only.
    const bool stored = (number == 0 && trailing) ? hvSetTextN(value, payload.data(), payload.size())
                                                  : hvSetR64(value, number);
    if (!stored)
        return nullptr;
    hvSetQuality(value, HV_QUALITY_GOOD);
    hvSetTimestamp(value, hvNow());
    return CopyValue(value);
}

void CMQTTItem::StoreWritten(CMQTTTagReference& reference, HVALUE value)
{
    CLockGuard guard(m_lock);
    hvCopy(reference.Value(), value);
}
