// The MQTT driver's instance: the framework's factory with the MQTT driver slots.
#pragma once
#include "core/IOFactory.h"

class CMQTTFactory : public CIOFactory
{
public:
    explicit CMQTTFactory(CIOGlobals* globals);

    // Items beginning with "IO." (after leading blanks, any case) are the framework's own
    // tags; every other tag belongs to the MQTT host.
    int IsDriverTag(const TagRequest* request) override;

protected:
    ~CMQTTFactory() override = default;
};
