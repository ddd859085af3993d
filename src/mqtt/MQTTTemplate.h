// The payload-template seam between items and the template kinds (JSON, XML, CSV), and the
// host's registry of templates by name. Items hold plain pointers to registered templates:
// a template is never removed or replaced before the registry (and so the host) is destroyed.
#pragma once
#include "core/IOLog.h"
#include "dravo/hvalue.h"
#include "dravo/status.h"
#include "platform/Lock.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// Format codes, as stored in "MQTT.TemplateType[%u]".
enum EMQTTTemplateFormat : uint8_t
{
    MQTT_TEMPLATE_JSON = 0,
    MQTT_TEMPLATE_XML = 1,
    MQTT_TEMPLATE_CSV = 2,
};

class CMQTTTemplate
{
public:
    virtual ~CMQTTTemplate() = default;
    CMQTTTemplate(const CMQTTTemplate&) = delete;
    CMQTTTemplate& operator=(const CMQTTTemplate&) = delete;

    // Parses and keeps the template text.
    virtual HRESULT Initialize(const std::string& text) = 0;
    // Decodes one received payload into `value` (elements, timestamp, quality). `filter`
    // names one Vn keyword, or is empty for all value keywords. Two decodes through one
    // template must not overlap; the item layer serialises them.
    virtual HRESULT ParseResponse(HVALUE value, const std::string& payload, const std::string& filter,
                                  bool applyLocalTZ) = 0;
    // Builds the payload of a write of `value`.
    virtual HRESULT ParsePublish(HVALUE value, std::string& payload) = 0;

    uint8_t Format() const { return m_format; }

protected:
    CMQTTTemplate(CIOGlobals* globals, uint8_t format) : m_api(globals), m_format(format) {}

    // Where a template writes its error lines.
    const TIOApi* Api() const { return &m_api; }

private:
    TIOApi m_api;
    const uint8_t m_format;
};

// Templates by name (byte comparison, case-sensitive). The first definition of a name wins.
class CMQTTTemplateRegistry
{
public:
    // Registers an initialised template under `name` and returns it; when the name is taken,
    // `created` is dropped and the registered one is returned.
    CMQTTTemplate* Add(const std::string& name, std::unique_ptr<CMQTTTemplate> created)
    {
        CLockGuard guard(m_lock);
        auto found = m_templates.find(name);
        if (found != m_templates.end())
            return found->second.get();
        if (!created)
            return nullptr;
        return m_templates.emplace(name, std::move(created)).first->second.get();
    }

    CMQTTTemplate* Find(const std::string& name)
    {
        CLockGuard guard(m_lock);
        auto found = m_templates.find(name);
        return found == m_templates.end() ? nullptr : found->second.get();
    }

    size_t Count()
    {
        CLockGuard guard(m_lock);
        return m_templates.size();
    }

private:
    CRecursiveLock m_lock; // taken alone
    std::map<std::string, std::unique_ptr<CMQTTTemplate>> m_templates;
};
