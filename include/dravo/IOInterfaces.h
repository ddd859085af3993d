// The component interfaces of the driver boundary, declared in slot order after the three
// reference-counting slots of IIOUnknown, each with its identifier.
//
// Texts: driver name, status names and log texts are narrow (UTF-8 on Linux); device,
// item and browser texts are wide (UTF-16).
#pragma once
#include <cstdarg>
#include <cstdint>

#include "dravo/IORecords.h"
#include "dravo/IOUnknown.h"
#include "dravo/hvalue.h"

// Framework classes that appear in the driver-facing slots of IIODriverInstance and in
// IIOHost. A host never calls those slots.
class CIOHost;
class CConfigData;
class CIOPropertyPage;
class CBuffer;
struct IIOInputStream;
struct IIOTagBrowser;
struct IIOAdviseCallback;

// The host's notification callback of one or more tag subscriptions.
struct IIOAdviseCallback : IIOUnknown
{
    static constexpr IOGUID IID = {0x3E0C8B52, 0x7D14, 0x4A69, {0x8F, 0x2B, 0x61, 0xC4, 0x0D, 0x93, 0xA5, 0x17}};
    // `value` belongs to the caller for the duration of the call: copy what is kept.
    virtual HRESULT Notify(uint32_t callbackNumber, HVALUE value, uint32_t flags) = 0;

protected:
    ~IIOAdviseCallback() = default;
};

// A node of the host's tag browser (the root, or a folder or block it returned).
struct IIOTagBrowser : IIOUnknown
{
    static constexpr IOGUID IID = {0x9B54D1A0, 0x2C6E, 0x4F3D, {0xA7, 0x18, 0x4E, 0x90, 0x6B, 0x2F, 0xC1, 0x5D}};
    // Folders and blocks pass `child` and receive a counted node to add their entries to;
    // tags and elements pass null. `reserved` is 0.
    virtual HRESULT Add(const BrowseEntry* entry, IIOTagBrowser** child, uint32_t reserved) = 0;

protected:
    ~IIOTagBrowser() = default;
};

struct IIODriverInstance : IIOUnknown
{
    static constexpr IOGUID IID = {0xBC758971, 0xD406, 0x407F, {0xA6, 0xC7, 0xCD, 0x56, 0x75, 0x2C, 0x50, 0xE3}};
    // Slots 3-11: the services of the boundary.
    virtual const char* GetDriverName() = 0;
    virtual void SetSettingsHandle(HVALUE settings) = 0;
    virtual HRESULT DriverDialog(void* parentWindow) = 0;
    virtual uint32_t GetCaps() = 0;
    virtual HRESULT StartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) = 0;
    virtual HRESULT StopComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d) = 0;
    virtual HRESULT IO(TagRequest* request, HVALUE value) = 0;
    virtual HRESULT GetStatus(const char* name, HVALUE value) = 0;
    virtual HRESULT SetStatus(const char* name, HVALUE value) = 0;
    // Slots 12-19: what a concrete driver supplies.
    virtual void OnLibraryUnload() = 0;
    virtual int IsDriverTag(const TagRequest* request) = 0;
    // A started host with one reference for the caller, or null.
    virtual CIOHost* CreateHost(uint16_t a, uint16_t b, uint16_t c, uint16_t d) = 0;
    virtual void WriteDefaults(CConfigData* store) = 0;
    // Page `index` of the driver's configuration pages, or null past the last one.
    virtual CIOPropertyPage* CreatePage(CConfigData* store, uint32_t index) = 0;
    virtual HRESULT ValidateItem(const char16_t* device, const char16_t* item, TagInfo* info) = 0;
    virtual HRESULT ValidateNumbers(TagInfo* info) = 0;
    virtual void ImportDriverTags(IIOTagBrowser* browser) = 0;

protected:
    ~IIODriverInstance() = default;
};

struct IIOParseTag : IIOUnknown
{
    static constexpr IOGUID IID = {0xD74B266B, 0xBF47, 0x461D, {0x9C, 0x97, 0x9C, 0xE6, 0x5B, 0xF9, 0xDA, 0x1B}};
    // Null texts count as empty. The caller fills the numbers (and type and size when known).
    virtual HRESULT Validate(const char16_t* device, const char16_t* item, TagInfo* info) = 0;

protected:
    ~IIOParseTag() = default;
};

struct IIOImportTags : IIOUnknown
{
    static constexpr IOGUID IID = {0x0F2083A6, 0xDAC2, 0x4A72, {0x9E, 0xD1, 0xD1, 0x25, 0xC5, 0xC0, 0x34, 0x38}};
    virtual HRESULT ImportTags(IIOTagBrowser* browser) = 0;

protected:
    ~IIOImportTags() = default;
};

struct IIOAdviseTag : IIOUnknown
{
    static constexpr IOGUID IID = {0x0705E1EF, 0x2F3B, 0x4C77, {0x90, 0xBC, 0x94, 0x78, 0x94, 0xF0, 0xCF, 0x40}};
    // `callbackNumber` identifies the subscription and is unique within the instance.
    virtual HRESULT Start(TagRequest* request, IIOAdviseCallback* callback, uint32_t callbackNumber) = 0;
    virtual HRESULT Stop(uint32_t callbackNumber) = 0;
    virtual HRESULT SetScan(uint32_t callbackNumber, uint32_t periodMs) = 0;

protected:
    ~IIOAdviseTag() = default;
};

// The running side of a driver instance, driven by its physical layer.
struct IIOHost : IIOUnknown
{
    static constexpr IOGUID IID = {0x5A2819C6, 0xE745, 0x43F1, {0xA4, 0x65, 0xC3, 0xB4, 0xEF, 0xE5, 0x1E, 0x83}};
    virtual HRESULT OnInterfaceConnected() = 0;                                   // 3
    virtual HRESULT OnInterfaceDisconnected() = 0;                                // 4
    virtual HRESULT CanReceiveUnsolicited() = 0;                                  // 5
    virtual void OnBeforeSend(CBuffer* packet) = 0;                               // 6
    virtual HRESULT OnPacketReceived(CBuffer* packet) = 0;                        // 7
    virtual HRESULT OnUnsolicitedPacket(CBuffer* packet) = 0;                     // 8
    virtual HRESULT OnDataAvailable(IIOInputStream* stream, CBuffer* packet, CBuffer* requestPacket) = 0; // 9
    virtual HRESULT PostEvent(int32_t type, int32_t source, int32_t number, const char* format, va_list args) = 0; // 10
    virtual void OnPacketSent(CBuffer* packet) = 0;                               // 11
    virtual HRESULT ReadPacket(CBuffer* packet, CBuffer* requestPacket) = 0;      // 12
    virtual HRESULT ReadValue(TagRequest* request, HVALUE value) = 0;             // 13
    virtual HRESULT WriteValue(TagRequest* request, HVALUE value) = 0;            // 14
    virtual HRESULT ReadBlock(TagRequest* request, HVALUE value) = 0;             // 15
    virtual HRESULT WriteBlock(TagRequest* request, HVALUE value) = 0;            // 16
    virtual HRESULT ReadBlockElement(TagRequest* request, HVALUE value) = 0;      // 17
    virtual HRESULT WriteBlockElement(TagRequest* request, HVALUE value) = 0;     // 18
    virtual HRESULT MaskWriteValue(TagRequest* request, HVALUE value) = 0;        // 19
    virtual HRESULT MaskWriteBlockElement(TagRequest* request, HVALUE value) = 0; // 20
    virtual HRESULT MaskWrite(TagRequest* request, HVALUE value) = 0;             // 21
    virtual HRESULT ReadTag(TagRequest* request, HVALUE value) = 0;               // 22
    virtual HRESULT WriteTag(TagRequest* request, HVALUE value) = 0;              // 23
    virtual void OnBeforeInterfaceStart() = 0;                                    // 24
    virtual void OnInterfaceStarted(HRESULT status) = 0;                          // 25
    virtual void OnInterfaceStopped() = 0;                                        // 26
    virtual void BeforeInterfaceStop() = 0;                                       // 27
    virtual void OnParameterChanged(const char* name) = 0;                        // 28
    virtual HRESULT BeforeIO(TagRequest* request, HVALUE value) = 0;              // 29
    virtual HRESULT GetStatistic(uint32_t number, HVALUE value) = 0;              // 30
    virtual void Stop() = 0;                                                      // 31
    virtual HRESULT WorkOnline(TagRequest* request) = 0;                          // 32
    virtual bool IsConnected() = 0;                                               // 33
    virtual void WaitInterfaceReady() = 0;                                        // 34

protected:
    ~IIOHost() = default;
};

// A registry of shared services keyed by service identifier.
struct IIOServiceProvider : IIOUnknown
{
    static constexpr IOGUID IID = {0x493AC57A, 0x6EDA, 0x45E1, {0x8B, 0xD5, 0x20, 0xD6, 0xF4, 0x93, 0xBA, 0x7B}};
    // E_FAIL when no such service is registered; otherwise the service's answer to the query.
    virtual HRESULT QueryService(const IOGUID& service, const IOGUID& iid, void** out) = 0;
    // Adds or replaces; the registry holds one reference to `object`.
    virtual HRESULT RegisterService(const IOGUID& service, IIOUnknown* object) = 0;
    // S_OK when it was registered, S_FALSE when not.
    virtual HRESULT RevokeService(const IOGUID& service) = 0;

protected:
    ~IIOServiceProvider() = default;
};

// Results of IIOJob::WaitJob.
constexpr uint32_t IO_WAIT_OBJECT_0 = 0;
constexpr uint32_t IO_WAIT_TIMEOUT = 0x102;
constexpr uint32_t IO_WAIT_FAILED = 0xFFFFFFFFu;

struct IIOJob : IIOUnknown
{
    static constexpr IOGUID IID = {0x7C2E9F14, 0x5B83, 0x4D0A, {0x96, 0x4F, 0x1A, 0xE7, 0x3C, 0x58, 0xB2, 0x06}};
    virtual HRESULT StartJob() = 0;
    // IO_WAIT_OBJECT_0 when the job has run, IO_WAIT_TIMEOUT when it had not by then.
    virtual uint32_t WaitJob(uint32_t timeoutMs) = 0;
    virtual bool IsJobThread() = 0;
    virtual uint32_t GetJobThreadId() = 0;

protected:
    ~IIOJob() = default;
};

typedef int32_t (*IOJobCallback)(void* userData);

// The shared thread pool; the service and its interface share one identifier.
struct IIOThreadPool : IIOUnknown
{
    static constexpr IOGUID IID = {0xBCEC093E, 0xA121, 0x4CE9, {0xA5, 0xCC, 0x1A, 0xB0, 0xD2, 0xAB, 0x60, 0xBD}};
    virtual HRESULT CreateJob(const char16_t* name, IOJobCallback callback, void* userData, bool startSuspended,
                              IIOJob** job) = 0;
    virtual HRESULT AddClient() = 0;
    // The last client's removal shuts the pool down.
    virtual HRESULT RemoveClient() = 0;

protected:
    ~IIOThreadPool() = default;
};

constexpr IOGUID SID_IOThreadPool = IIOThreadPool::IID;
