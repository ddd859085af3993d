// The MQTT driver host: the I/O host of a running MQTT driver instance. On top of the
// framework's host (physical layer, configuration snapshot, log) it keeps one MQTT session
// with the broker: the session thread connects, pings and drives the subscriptions; the
// stack thread works off received packets and hands them back here; received messages go to
// the dynamic-security controller and the items, and item values reach the host application
// through the "MQTTCache" section of the instance's tag cache.
//
// Threads: the session thread (ticks), the stack thread (the IMQTTStackHost calls), the
// physical-layer thread (ReadPacket, OnUnsolicitedPacket, OnInterfaceDisconnected) and the
// framework's callers (writes, cache events, start and stop).
//
// Lock order: the restart lock, then the framework host's locks; the session-thread lock is
// a leaf. Registries (items, pending subscriptions, templates) have their own locks inside
// CMQTTSubscriptions and CMQTTTemplateRegistry; none is held while sending or delivering.
#pragma once
#include "core/IOCacheSectionEventSink.h"
#include "core/IOHost.h"
#include "mqtt/MQTTCodec.h"
#include "mqtt/MQTTStack.h"
#include "mqtt/MQTTSubscriptions.h"
#include "mqtt/MQTTTemplate.h"
#include "mqtt/MosquittoCtrl.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CIOCache;

// Every setting of the host, loaded once from the configuration at construction.
struct SMQTTHostSettings
{
    SMQTTSessionSettings session;    // what CONNECT and PUBLISH use
    SMQTTItemSettings items;         // what the items and subscriptions use
    uint32_t keepAliveSeconds = 5;   // 2 to 65535
    bool useAgents = false;          // "MQTT.UseVeloraAgent"
    bool useDynamicSecurity = false; // "MQTT.UseMosquittoDynSec"
};

// Reads the "MQTT." keys of `config` with their defaults and clamps. A key that is missing
// or cannot be converted keeps its default. E_OUTOFMEMORY when a text cannot be copied.
HRESULT MQTTLoadHostSettings(const CConfigData& config, const std::string& clientId, SMQTTHostSettings& settings);

// What the session check does next, decided from the keep-alive fields at `now`.
enum class EMQTTKeepAlive
{
    Alive,        // within the keep-alive period, or a ping is outstanding and not overdue
    SendPing,     // the period has passed and no ping is outstanding
    Expired,      // a ping is outstanding and one and a half periods have passed
};
EMQTTKeepAlive MQTTKeepAliveStep(bool pingOutstanding, uint32_t reference, uint32_t now, uint32_t keepAliveSeconds);

// The log text of a CONNACK return code; `buffer` holds the text of unknown codes.
const char* MQTTConnAckText(uint8_t code, char (&buffer)[32]);

// True when one of `keywords` (tried in order, the first occurrence of the first that occurs
// decides) occurs in `topic` and a "/" follows the end of that occurrence.
bool MQTTIsAgentTopic(const std::vector<std::string>& keywords, std::string_view topic);

class CMQTTHost final : public CIOHost,
                        private IMQTTTransport,
                        private IMQTTStackHost,
                        private IMQTTItemHost,
                        private IMosquittoCtrlHost
{
public:
    // Loads the settings from `config` (the instance's store); `cache` is the instance's tag
    // cache, which Start opens the "MQTTCache" section of (null: no section). The host is not
    // started. Returns null with `status` set when the settings cannot be loaded.
    static TIOPtr<CMQTTHost> Create(CIOGlobals* globals, const CConfigData& config, const std::string& clientId,
                                    CIOCache* cache, HRESULT* status);

    // Starts the stack and session threads, loads the template registry and opens the cache
    // section. A failure leaves the host to be released.
    HRESULT Start();

    // --- IIOHost overrides -----------------------------------------------------------------
    HRESULT OnInterfaceDisconnected() override;
    HRESULT CanReceiveUnsolicited() override;
    HRESULT OnUnsolicitedPacket(CBuffer* packet) override;
    HRESULT ReadPacket(CBuffer* packet, CBuffer* requestPacket) override;
    HRESULT ReadTag(TagRequest* request, HVALUE value) override;
    HRESULT WriteTag(TagRequest* request, HVALUE value) override;
    void BeforeInterfaceStop() override;
    void Stop() override;

    // --- What the cache sink forwards ------------------------------------------------------
    HRESULT MakeKey(const SCacheTagAddress& address, std::string& key);
    void OnTagActivated(IIOCacheTag* tag);
    void OnTagDeactivated(IIOCacheTag* tag, int& keep);

    // --- Observation for tests and diagnostics ---------------------------------------------
    const SMQTTHostSettings& Settings() const { return m_settings; }
    bool IsSessionConnected() const { return m_codec.IsConnected(); }
    CMQTTSubscriptions& Subscriptions() { return m_subscriptions; }
    CMQTTTemplate* FindTemplate(const std::string& name) override;

    // One session tick, as the session thread runs it.
    void SessionTick();
    // Connects, pings or declares the session dead; true when the session is usable.
    bool CheckSession();

private:
    using Sink = TIOCacheSectionEventSink<CMQTTHost>;

    enum EThreadState : int
    {
        THREAD_IDLE = 0,
        THREAD_STOP = 1,
        THREAD_RUNNING = 2,
    };

    CMQTTHost(CIOGlobals* globals, const CConfigData& config, const SMQTTHostSettings& settings, CIOCache* cache);
    ~CMQTTHost() override;

    void SessionThread();
    bool SessionRunning() const { return m_threadState.load() == THREAD_RUNNING; }
    // Waits up to 5 s for a CONNACK with code 0 after CONNECT; false on time-out or stop.
    bool WaitForConnAck();
    void HandleDisconnect();
    void DeclareSessionDead();
    // Fills the template registry from "MQTT.TemplateCount" and the indexed keys; the first
    // definition of a name wins. Never fails the start.
    void LoadTemplates();
    // A template object of `format`, not yet initialised; null when the format is unknown.
    std::unique_ptr<CMQTTTemplate> MakeTemplate(int32_t format);
    void OpenCacheSection();
    void CloseCacheSection();
    // Ends the session thread and the stack (joining both); safe to call twice.
    void Shutdown();
    IIOLogger* HostLogger() const { return TIOApi::Logger(); }

    // IMQTTTransport
    HRESULT Transmit(CBuffer& packet) override;

    // IMQTTStackHost
    void OnMessage(CMQTTPacket& publish) override;
    void OnConnAck(CMQTTPacket& connack) override;
    void OnSubAck(CMQTTPacket& suback) override;
    void OnUnsubAck(uint16_t packetId) override;
    void OnPingResponse() override;
    uint8_t OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS) override;
    void OnPeerUnsubscribe(const std::string& topic) override;
    void RestartInterface() override;

    // IMQTTItemHost
    uint32_t Now() override;
    IIOLogger* Logger() override { return HostLogger(); }
    HRESULT SendSubscribe(std::span<const std::string> topics, const std::function<void(uint16_t)>& beforeSend) override;
    HRESULT SendUnsubscribe(std::span<const std::string> topics,
                            const std::function<void(uint16_t)>& beforeSend) override;
    bool Pause(uint32_t ms) override;
    HRESULT Publish(std::string_view topic, std::string_view payload, uint8_t qos) override;
    TIOPtr<IIOCacheSection> CacheSection() override;
    bool RouteWrite(const std::string& topic, HVALUE value, HRESULT& status) override;

    // IMosquittoCtrlHost
    HRESULT PublishCommand(std::string_view topic, std::string_view payload) override;
    IIOLogger* CommandLogger() override { return HostLogger(); }

    HRESULT WriteCommandText(HVALUE value, std::string& text);

    const SMQTTHostSettings m_settings;
    std::vector<std::string> m_agentKeywords;

    CMQTTCodec m_codec;
    CMQTTTemplateRegistry m_templates;
    CMQTTSubscriptions m_subscriptions;
    MosquittoCtrl m_dynamicSecurity;
    std::unique_ptr<CMQTTStack> m_stack; // made by Start, destroyed before the items

    std::atomic<bool> m_disconnectPending{false};
    CEvent m_connAck{CEvent::EReset::Auto}; // set by every CONNACK and by the stop

    CRecursiveLock m_threadLock; // guards the start and join of the session thread; a leaf
    std::atomic<int> m_threadState{THREAD_IDLE};
    CEvent m_wake{CEvent::EReset::Auto};
    CThread m_sessionThread;

    // Taken around a restart of the interface and by Stop, so a restart never brings the
    // interface back after the host was stopped.
    CRecursiveLock m_restartLock;
    bool m_stopped = false;

    TIOPtr<CIOCache> m_cache;
    CRecursiveLock m_sectionLock; // guards m_section and m_sink; never held while calling the cache
    TIOPtr<IIOCacheSection> m_section;
    TIOPtr<Sink> m_sink;
};
