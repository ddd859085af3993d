// What a host needs to load the driver: the five exports, the lookup record of
// EnumServices and the signature of every service.
//
// Loading:
//     void* lib = dlopen(".../MQTT.so", RTLD_NOW);
//     auto enumServices = (PFN_EnumServices)dlsym(lib, "EnumServices");
//     ServiceLookup lookup = {"drvGetCaps", nullptr};
//     auto getCaps = (PFN_drvGetCaps)enumServices(&lookup); // also stored in lookup.entry
//
// Names are compared without regard to ASCII case. An unknown name (or a null record or
// name) yields a null entry point. The plain services act on one default instance made on
// first use and reduce every status to 1 (success) or -1 (failure).
#pragma once
#include <cstdint>

#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "dravo/hvalue.h"

// The generic shape of an entry point; cast it to the service's own PFN_ type.
typedef void (*DrvServiceEntry)(void);

struct ServiceLookup
{
    const char* name;      // in: the service name
    DrvServiceEntry entry; // out: its entry point, or null
};

typedef DrvServiceEntry (*PFN_EnumServices)(ServiceLookup* lookup);
typedef const char* (*PFN_drvGetDriverName)(void);
typedef uint32_t (*PFN_DravoLibGetVersion)(void);
typedef uint32_t (*PFN_DravoLibGetVersionFull)(void);
typedef uint32_t (*PFN_drvGetCaps)(void);
typedef void (*PFN_drvSetSettingsHandle)(HVALUE settings);
typedef int16_t (*PFN_drvDriverDialog)(void* parentWindow);
typedef int16_t (*PFN_drvStartComm)(uint16_t a, uint16_t b, uint16_t c, uint16_t d);
typedef int16_t (*PFN_drvStopComm)(uint16_t a, uint16_t b, uint16_t c, uint16_t d);
typedef int16_t (*PFN_drvIO)(TagRequest* request, HVALUE value);
typedef int16_t (*PFN_drvGetStatus)(const char* name, HVALUE value);
typedef int16_t (*PFN_drvSetStatus)(const char* name, HVALUE value);
// Stores the default instance with one reference added for the caller.
typedef int16_t (*PFN_drvGetDriverObject)(IIODriverInstance** out);
// `services` may be null; when it answers IIOServiceProvider, instances share its thread pool.
typedef int32_t (*PFN_drvCreateDriverInstance)(IIOUnknown* services, IIODriverInstance** out);

// Identity of this build.
#define DRAVO_DRIVER_NAME "Driver MQTT v1.0.30 (DravoLib v2.0.125)"
#define DRAVO_DRIVER_SHORT_NAME "Driver MQTT v1.0.30"
#define DRAVO_LIB_VERSION_TEXT "2.0.125"
#define DRAVO_LIB_VERSION 0x0200u
#define DRAVO_LIB_VERSION_FULL 0x0200007Du
#define DRAVO_DRIVER_CAPS 47u

#ifdef __cplusplus
extern "C" {
#endif
// The exports, for hosts that link instead of loading (tests of the framework itself).
DrvServiceEntry EnumServices(ServiceLookup* lookup);
const char* drvGetDriverName(void);
uint32_t DravoLibGetVersion(void);
uint32_t DravoLibGetVersionFull(void);
uint32_t DravoLib_v2_0_125(void);
#ifdef __cplusplus
}
#endif
