// MQTT.so is assembled from the framework (linked whole, so the boundary's exports stay)
// and the MQTT driver; this unit only anchors the shared-library target.
#include "dravo/status.h"

static_assert(sizeof(HRESULT) == 4, "status codes are 32-bit");
