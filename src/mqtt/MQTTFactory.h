// The MQTT driver's instance: the framework's factory with the MQTT driver slots.
#pragma once
#include "core/IOFactory.h"

#include <string>

class CIOCache;

class CMQTTFactory : public CIOFactory
{
public:
    // Default log file of a new configuration, relative to the host's working folder.
    static constexpr const char* DEFAULT_LOG_FILE = "kxLogs/MQTT_%DATE%.log";

    explicit CMQTTFactory(CIOGlobals* globals);

    // Items beginning with "IO." (after leading blanks, any case) are the framework's own
    // tags; every other tag belongs to the MQTT host.
    int IsDriverTag(const TagRequest* request) override;
    // A started MQTT host over the instance's configuration and tag cache, or null.
    CIOHost* CreateHost(uint16_t a, uint16_t b, uint16_t c, uint16_t d) override;
    // The defaults of a new configuration: Ethernet on port 1883, MQTT 3.1.1, keep-alive 5 s,
    // 50 topics per SUBSCRIBE and the log file.
    void WriteDefaults(CConfigData* store) override;
    // S_OK for a valid MQTT item string, IO_E_INVALID_ITEM otherwise.
    HRESULT ValidateItem(const char16_t* device, const char16_t* item, TagInfo* info) override;

    // Makes and starts a host over `store` and `cache` (may be null); null when the host
    // cannot be made or fails to start. The caller owns the returned reference.
    CIOHost* MakeHost(const CConfigData& store, CIOCache* cache);

protected:
    ~CMQTTFactory() override = default;
};
