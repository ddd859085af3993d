#include "mqtt/MQTTHost.h"

#include "core/IOCache.h"
#include "mqtt/MQTTPacket.h"
#include "platform/Text.h"
#include "platform/Tick.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

namespace
{
constexpr const char* CACHE_STATION = "MQTTCache";
constexpr uint32_t SESSION_TICK_MS = 500;
constexpr uint32_t CONNACK_WAIT_MS = 5000;
// The keep-alive field of CONNECT is 16 bits wide, and the ping schedule multiplies by 1000
// in 32-bit ticks; a larger value would wrap both.
constexpr uint32_t MAX_KEEP_ALIVE_SECONDS = 65535;
// Resubscription times are compared as 32-bit tick differences, which stay meaningful below
// 2^31 ms.
constexpr uint32_t MAX_RESEND_SECONDS = 2147483;

// Readers of one configuration key; false when it is missing or cannot be converted, which
// leaves the caller's default in place.
bool ReadInteger(const CConfigData& config, const char* name, int32_t& out)
{
    CLockGuard guard(config.Lock());
    HVALUE value = config.Find(name);
    int32_t read = 0;
    if (value == nullptr || !hvGetI32(value, &read))
        return false;
    out = read;
    return true;
}

void ReadSwitch(const CConfigData& config, const char* name, bool& out)
{
    int32_t value = 0;
    if (ReadInteger(config, name, value))
        out = value != 0;
}

void ReadReal(const CConfigData& config, const char* name, double& out)
{
    CLockGuard guard(config.Lock());
    HVALUE value = config.Find(name);
    double read = 0;
    if (value != nullptr && hvGetR64(value, &read) && std::isfinite(read))
        out = read;
}

void ReadText(const CConfigData& config, const char* name, std::string& out)
{
    CLockGuard guard(config.Lock());
    HVALUE value = config.Find(name);
    const char* text = nullptr;
    size_t length = 0;
    if (value != nullptr && hvIsText(value) && hvGetTextN(value, &text, &length) && text != nullptr)
        out.assign(text, length);
}

// Unsigned comparison, so negative values count as large ones.
uint32_t ClampBelow(int32_t value, uint32_t minimum)
{
    const uint32_t unsignedValue = static_cast<uint32_t>(value);
    return unsignedValue < minimum ? minimum : unsignedValue;
}

// A QoS above 2 is a malformed SUBSCRIBE or PUBLISH that ends the session at the broker.
uint8_t ClampQoS(int32_t value)
{
    const uint32_t unsignedValue = static_cast<uint32_t>(value) & 0xFF;
    return static_cast<uint8_t>(unsignedValue > 2 ? 2 : unsignedValue);
}
} // namespace

// --- Settings and pure decisions --------------------------------------------------------------

HRESULT MQTTLoadHostSettings(const CConfigData& config, const std::string& clientId, SMQTTHostSettings& settings)
try
{
    SMQTTHostSettings loaded;
    SMQTTSessionSettings& session = loaded.session;
    SMQTTItemSettings& items = loaded.items;
    session.clientId = clientId;
    ReadSwitch(config, "MQTT.UseSession", session.useSession);
    ReadText(config, "MQTT.User", session.user);
    ReadText(config, "MQTT.Password", session.password);
    ReadSwitch(config, "MQTT.HasWill", session.hasWill);
    ReadSwitch(config, "MQTT.Retain", session.retain);

    int32_t keepAlive = 5;
    ReadInteger(config, "MQTT.KeepAlive", keepAlive);
    loaded.keepAliveSeconds = std::min(ClampBelow(keepAlive, 2), MAX_KEEP_ALIVE_SECONDS);
    session.keepAliveSeconds = static_cast<uint16_t>(loaded.keepAliveSeconds);

    int32_t resend = 40;
    ReadInteger(config, "MQTT.ResendSubscripionTimeout", resend);
    items.resendSubscriptionSeconds = std::min(ClampBelow(resend, 10), MAX_RESEND_SECONDS);

    int32_t maxRequests = 50;
    ReadInteger(config, "MQTT.MaxRequests", maxRequests);
    items.maxRequests = maxRequests == 0 ? 1 : std::min<uint32_t>(static_cast<uint32_t>(maxRequests), 50);

    ReadText(config, "MQTT.WillTopic", session.willTopic);
    ReadText(config, "MQTT.WillMessage", session.willMessage);
    int32_t qos = 0;
    if (ReadInteger(config, "MQTT.PublishQoS", qos))
        session.publishQoS = ClampQoS(qos);
    qos = 0;
    if (ReadInteger(config, "MQTT.ReadQoS", qos))
        session.readQoS = ClampQoS(qos);

    ReadSwitch(config, "MQTT.UseLastWillForQuality", items.useLastWillForQuality);
    items.willMessage = session.willMessage;
    ReadSwitch(config, "MQTT.ApplyLocalTZ", items.applyLocalTZ);
    ReadSwitch(config, "MQTT.UseVeloraAgent", loaded.useAgents);
    ReadSwitch(config, "MQTT.UseMosquittoDynSec", loaded.useDynamicSecurity);

    double deadband = 0;
    ReadReal(config, "MQTT.WriteDeadBand", deadband);
    items.writeDeadbandFraction = std::fabs(deadband / 100.0);

    settings = std::move(loaded);
    return S_OK;
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}

EMQTTKeepAlive MQTTKeepAliveStep(bool pingOutstanding, uint32_t reference, uint32_t now, uint32_t keepAliveSeconds)
{
    const uint32_t elapsed = TickElapsed(reference, now);
    if (elapsed < keepAliveSeconds * 1000)
        return EMQTTKeepAlive::Alive;
    if (!pingOutstanding)
        return EMQTTKeepAlive::SendPing;
    if (elapsed < (keepAliveSeconds + keepAliveSeconds / 2) * 1000)
        return EMQTTKeepAlive::Alive;
    return EMQTTKeepAlive::Expired;
}

const char* MQTTConnAckText(uint8_t code, char (&buffer)[32])
{
    static const char* const texts[] = {
        "Connection Accepted!",
        "Connection Refused, unacceptable protocol version!",
        "Connection Refused, identifier rejected!",
        "Connection Refused, server unavailable!",
        "Connection Refused, bad user name or password!",
        "Connection Refused, not authorized!",
    };
    if (code < std::size(texts))
        return texts[code];
    std::snprintf(buffer, sizeof buffer, "Unknown Code %d!", code);
    return buffer;
}

bool MQTTIsAgentTopic(const std::vector<std::string>& keywords, std::string_view topic)
{
    for (const std::string& keyword : keywords)
    {
        const size_t at = topic.find(keyword);
        if (at == std::string_view::npos)
            continue;
        const size_t slash = topic.find('/', at + keyword.size());
        return slash != std::string_view::npos && slash > 0;
    }
    return false;
}

// --- Construction, start and teardown ---------------------------------------------------------

TIOPtr<CMQTTHost> CMQTTHost::Create(CIOGlobals* globals, const CConfigData& config, const std::string& clientId,
                                    CIOCache* cache, HRESULT* status)
{
    HRESULT hr = E_OUTOFMEMORY;
    TIOPtr<CMQTTHost> host;
    try
    {
        SMQTTHostSettings settings;
        hr = MQTTLoadHostSettings(config, clientId, settings);
        if (SUCCEEDED(hr))
        {
            host = TIOPtr<CMQTTHost>::Adopt(new CMQTTHost(globals, config, settings, cache));
            hr = S_OK;
        }
    }
    catch (const std::bad_alloc&)
    {
        hr = E_OUTOFMEMORY;
    }
    if (status)
        *status = hr;
    return host;
}

CMQTTHost::CMQTTHost(CIOGlobals* globals, const CConfigData& config, const SMQTTHostSettings& settings,
                     CIOCache* cache)
    : CIOHost(globals, config), m_settings(settings),
      m_codec(*this, TIOApi::Logger(), settings.session, GetTickCount32),
      m_subscriptions(*this, settings.items), m_dynamicSecurity(*this), m_cache(cache)
{
}

CMQTTHost::~CMQTTHost()
{
    Shutdown();
    CloseCacheSection();
}

HRESULT CMQTTHost::Start()
try
{
    if (m_settings.useAgents)
    {
        std::string keywords;
        ReadText(Config(), "MQTT.AgentKeywords", keywords);
        if (keywords.empty())
        {
            Log(this, LOG_DRIVER, "Error: Agent Keyword can\xB4t be empty!");
            return E_FAIL;
        }
        m_agentKeywords = MQTTSplitFields(keywords);
    }

    if (!m_stack)
    {
        m_stack.reset(new (std::nothrow) CMQTTStack(*this, m_codec));
        if (!m_stack)
        {
            Log(this, LOG_DRIVER, "Stack Initialize failed!");
            return E_OUTOFMEMORY;
        }
    }
    if (FAILED(m_stack->Start()))
    {
        Log(this, LOG_DRIVER, "Error: Failed Starting Stack Thread");
        Log(this, LOG_DRIVER, "Stack Initialize failed!");
        return E_FAIL;
    }

    {
        CLockGuard guard(m_threadLock);
        if (!m_sessionThread.IsRunning() && !m_sessionThread.Start([this] { SessionThread(); }))
        {
            Log(this, LOG_DRIVER, "Error: Failed Starting Stack Thread");
            return E_FAIL;
        }
        m_threadState.store(THREAD_RUNNING);
        m_wake.Set();
    }

    LoadTemplates();
    OpenCacheSection();
    return S_OK;
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}

std::unique_ptr<CMQTTTemplate> CMQTTHost::MakeTemplate(int32_t format)
{
    if (format < MQTT_TEMPLATE_JSON || format > MQTT_TEMPLATE_CSV)
        Log(this, LOG_DRIVER, "Invalid Template Type");
    // No payload format is available to this host yet: every definition is skipped, and
    // items naming a template decode their payloads as plain numbers or texts.
    return nullptr;
}

void CMQTTHost::LoadTemplates()
{
    int32_t count = 0;
    ReadInteger(Config(), "MQTT.TemplateCount", count);
    // A stored configuration holds fewer than 65536 values, so a larger count is corrupt and
    // would only stall the start walking keys that cannot exist.
    const uint32_t definitions = std::min<uint32_t>(static_cast<uint32_t>(std::max(count, 0)), 0xFFFF);
    for (uint32_t i = 0; i < definitions; ++i)
    {
        char key[64];
        std::string name;
        std::string text;
        int32_t format = MQTT_TEMPLATE_JSON;
        std::snprintf(key, sizeof key, "MQTT.TemplateName[%u]", i);
        ReadText(Config(), key, name);
        std::snprintf(key, sizeof key, "MQTT.TemplateFormat[%u]", i);
        ReadText(Config(), key, text);
        std::snprintf(key, sizeof key, "MQTT.TemplateType[%u]", i);
        ReadInteger(Config(), key, format);

        CMQTTTemplate* added = m_templates.Find(name);
        if (added == nullptr)
        {
            std::unique_ptr<CMQTTTemplate> created = MakeTemplate(format);
            if (created && FAILED(created->Initialize(text)))
            {
                Log(this, LOG_DRIVER, "Failed Initialize Template %s", name.c_str());
                created.reset();
            }
            added = created ? m_templates.Add(name, std::move(created)) : nullptr;
        }
        if (added == nullptr)
            Log(this, LOG_DRIVER, "Invalid Template %s", name.c_str());
    }
}

void CMQTTHost::Shutdown()
{
    {
        CLockGuard guard(m_threadLock);
        m_threadState.store(THREAD_STOP);
        m_wake.Set();
        m_connAck.Set();
        m_sessionThread.Join();
    }
    // Joins the stack thread; nothing calls back into the host afterwards.
    m_stack.reset();
}

void CMQTTHost::Stop()
{
    {
        CLockGuard guard(m_restartLock);
        m_stopped = true;
    }
    CloseCacheSection();
    CIOHost::Stop();
    // The threads end here, not in the destructor: a thread that still held a reference to
    // the stopped interface could otherwise drop the host's last reference on itself.
    Shutdown();
}

void CMQTTHost::OpenCacheSection()
{
    if (!m_cache)
        return;
    TIOPtr<Sink> sink = TIOPtr<Sink>::Adopt(new (std::nothrow) Sink(this));
    TIOPtr<IIOCacheSection> section;
    const HRESULT hr = sink ? m_cache->OpenSection(CACHE_STATION, sink.Get(), section.Out()) : E_OUTOFMEMORY;
    Log(this, LOG_DRIVER, "Cache: get station '%s' = %08X", CACHE_STATION, static_cast<unsigned>(hr));
    if (FAILED(hr))
    {
        if (sink)
            sink->Detach();
        return;
    }
    CLockGuard guard(m_sectionLock);
    m_sink = std::move(sink);
    m_section = std::move(section);
}

void CMQTTHost::CloseCacheSection()
{
    TIOPtr<Sink> sink;
    TIOPtr<IIOCacheSection> section;
    {
        CLockGuard guard(m_sectionLock);
        sink = std::move(m_sink);
        section = std::move(m_section);
    }
    if (sink)
        sink->Detach();
    // The last release closes the section: its subscriptions wait for the next host.
    section = nullptr;
}

TIOPtr<IIOCacheSection> CMQTTHost::CacheSection()
{
    CLockGuard guard(m_sectionLock);
    return m_section;
}

// --- Cache events -----------------------------------------------------------------------------

HRESULT CMQTTHost::MakeKey(const SCacheTagAddress& address, std::string& key)
try
{
    key = address.item;
    return S_OK;
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}

void CMQTTHost::OnTagActivated(IIOCacheTag* tag)
{
    const SCacheTagAddress* address = tag ? tag->GetAddress() : nullptr;
    if (address == nullptr)
        return;
    if (SUCCEEDED(m_subscriptions.OnTagAdded(*address)))
        m_wake.Set(); // subscribe without waiting for the next regular tick
}

void CMQTTHost::OnTagDeactivated(IIOCacheTag* tag, int&)
{
    const SCacheTagAddress* address = tag ? tag->GetAddress() : nullptr;
    if (address != nullptr)
        m_subscriptions.OnTagRemoved(*address);
}

// --- The session thread -----------------------------------------------------------------------

uint32_t CMQTTHost::Now() { return GetTickCount32(); }

void CMQTTHost::SessionThread()
{
    for (;;)
    {
        const int state = m_threadState.load();
        if (state == THREAD_STOP)
            return;
        if (state == THREAD_RUNNING)
            SessionTick();
        m_wake.Wait(SESSION_TICK_MS);
    }
}

void CMQTTHost::SessionTick()
{
    HandleDisconnect();
    if (!CheckSession())
        return;
    m_subscriptions.SubscriptionPass();
}

void CMQTTHost::HandleDisconnect()
{
    if (!m_disconnectPending.exchange(false))
        return;
    m_codec.SetConnected(false);
    m_subscriptions.MarkAllItemsBad();
    if (!m_settings.session.useSession && m_stack)
        m_stack->ClearAll();
}

bool CMQTTHost::CheckSession()
{
    TIOPtr<IIOInterface> itf = Interface();
    uint32_t state = PLS_STOPPED;
    if (!itf || FAILED(itf->GetStatus(&state)) || state != PLS_CONNECTED)
        return false;

    if (!m_codec.IsConnected())
    {
        m_connAck.TryConsume(); // an answer to an earlier CONNECT says nothing about this one
        if (FAILED(m_codec.SendConnect(Config().GetInteger("MQTT.VersionNumber"))))
            return false;
        return WaitForConnAck();
    }

    const uint32_t now = Now();
    switch (MQTTKeepAliveStep(m_codec.IsPingOutstanding(), m_codec.KeepAliveReference(), now,
                              m_settings.keepAliveSeconds))
    {
    case EMQTTKeepAlive::Alive:
        return true;
    case EMQTTKeepAlive::SendPing:
        m_codec.SetPingOutstanding(true);
        Log(this, LOG_DRIVER, "Ping Request");
        if (SUCCEEDED(m_codec.SendPingRequest()))
            return true;
        m_codec.SetPingOutstanding(false);
        Log(this, LOG_DRIVER, "Could not send Ping Request!");
        break;
    case EMQTTKeepAlive::Expired:
        Log(this, LOG_DRIVER, "Exceeded KeepAlive Time = %d ms",
            static_cast<int>(TickElapsed(m_codec.KeepAliveReference(), now)));
    {
        SPhysicalLayerStatistics before{};
        const bool counted = SUCCEEDED(itf->GetStatistics(&before));
        m_codec.SendDisconnect();
        // A broker that stopped answering pings may sit behind a half-open link: a new
        // session needs a new connection. When the broker closed the link on the DISCONNECT
        // and the layer already made a new one, that one is left alone.
        SPhysicalLayerStatistics after{};
        if (counted && SUCCEEDED(itf->GetStatistics(&after)) &&
            after.Total.ConnectionCount == before.Total.ConnectionCount)
            itf->ForceDisconnect(true);
        break;
    }
    }
    DeclareSessionDead();
    return false;
}

bool CMQTTHost::WaitForConnAck()
{
    const uint32_t start = Now();
    while (!m_codec.IsConnected())
    {
        if (!SessionRunning() || m_disconnectPending.load())
            return false;
        const uint32_t elapsed = TickElapsed(start, Now());
        if (elapsed >= CONNACK_WAIT_MS)
            return false;
        m_connAck.Wait(CONNACK_WAIT_MS - elapsed);
    }
    return true;
}

void CMQTTHost::DeclareSessionDead()
{
    Log(this, LOG_DRIVER, "Disconnect Pending...");
    m_disconnectPending.store(true);
}

bool CMQTTHost::Pause(uint32_t ms)
{
    if (!SessionRunning())
        return false;
    m_wake.Wait(ms);
    return SessionRunning();
}

// --- Physical layer notifications -------------------------------------------------------------

HRESULT CMQTTHost::OnInterfaceDisconnected()
{
    Log(this, LOG_DRIVER, "OnInterfaceDisconnected");
    DeclareSessionDead();
    m_connAck.Set();
    m_wake.Set();
    return S_OK;
}

HRESULT CMQTTHost::CanReceiveUnsolicited() { return S_OK; }

HRESULT CMQTTHost::ReadPacket(CBuffer* packet, CBuffer*)
{
    if (packet == nullptr)
        return E_POINTER;
    IIOInputStream* stream = CurrentStream();
    if (stream == nullptr)
        return E_FAIL;
    return MQTTReadPacket(stream, *packet, HostLogger());
}

HRESULT CMQTTHost::OnUnsolicitedPacket(CBuffer* packet)
{
    if (packet == nullptr)
        return E_POINTER;
    if (!m_stack)
        return E_FAIL;
    MQTTPacketPtr record = MQTTMakeReceivedPacket(*packet, Now());
    if (!record)
        return E_OUTOFMEMORY;
    return m_stack->Enqueue(std::move(record));
}

void CMQTTHost::BeforeInterfaceStop()
{
    if (!m_codec.IsConnected())
        return;
    m_codec.SendDisconnect();
    // The session ends with the link: a later start connects and subscribes anew.
    m_codec.SetConnected(false);
    m_disconnectPending.store(true);
}

void CMQTTHost::RestartInterface()
{
    CLockGuard guard(m_restartLock);
    if (m_stopped)
        return;
    // The peer ended the session: its subscriptions are gone with it.
    m_disconnectPending.store(true);
    GoOffline();
    GoOnline(false);
}

HRESULT CMQTTHost::Transmit(CBuffer& packet)
{
    TIOPtr<IIOInterface> itf = Interface();
    if (!itf)
        return E_FAIL;
    return itf->Transact(&packet, nullptr, nullptr);
}

// --- Stack handlers ---------------------------------------------------------------------------

void CMQTTHost::OnConnAck(CMQTTPacket& connack)
{
    Log(this, LOG_DRIVER, "Connection Ack");
    CMQTTReader reader(connack.buffer);
    reader.SkipRemainingLength();
    reader.ReadByte(); // acknowledge flags
    const uint8_t code = reader.ReadByte();
    char buffer[32];
    Log(this, LOG_DRIVER, "ConnAck Result = %s", MQTTConnAckText(code, buffer));
    if (code == 0 && !reader.Failed())
        m_codec.SetConnected(true);
    m_connAck.Set();
}

void CMQTTHost::OnMessage(CMQTTPacket& publish)
try
{
    SMQTTPublish message;
    if (!MQTTParsePublish(publish, message))
        return;
    const std::string payload(reinterpret_cast<const char*>(message.payload), message.payloadLength);

    if (m_settings.useAgents && MQTTIsAgentTopic(m_agentKeywords, message.topic))
    {
        // No agent is registered on this host, so the message has no receiver.
        const std::string name = message.topic.substr(0, message.topic.find('/'));
        Log(this, LOG_DRIVER, "Agent %s not found!", name.c_str());
        return;
    }
    if (m_settings.useDynamicSecurity && MosquittoCtrl::IsResponseTopic(message.topic))
        m_dynamicSecurity.OnResponse(payload);
    m_subscriptions.OnPublish(message.topic, payload);
}
catch (const std::bad_alloc&)
{
    Log(this, LOG_DRIVER, "Out of Memory!");
}

void CMQTTHost::OnSubAck(CMQTTPacket& suback) { m_subscriptions.OnSubAck(suback); }
void CMQTTHost::OnUnsubAck(uint16_t packetId) { m_subscriptions.OnUnsubAck(packetId); }
void CMQTTHost::OnPingResponse() {}

uint8_t CMQTTHost::OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS)
{
    return m_subscriptions.OnPeerSubscribe(topic, requestedQoS);
}

void CMQTTHost::OnPeerUnsubscribe(const std::string& topic) { m_subscriptions.OnPeerUnsubscribe(topic); }

// --- Sending for items, subscriptions and the controller --------------------------------------

HRESULT CMQTTHost::SendSubscribe(std::span<const std::string> topics, const std::function<void(uint16_t)>& beforeSend)
{
    return m_codec.SendSubscribe(topics, beforeSend);
}

HRESULT CMQTTHost::SendUnsubscribe(std::span<const std::string> topics,
                                   const std::function<void(uint16_t)>& beforeSend)
{
    return m_codec.SendUnsubscribe(topics, beforeSend);
}

HRESULT CMQTTHost::Publish(std::string_view topic, std::string_view payload, uint8_t qos)
{
    return m_codec.DoPublish(topic, payload, qos);
}

HRESULT CMQTTHost::PublishCommand(std::string_view topic, std::string_view payload)
{
    return m_codec.DoPublish(topic, payload, MQTT_QOS_CONFIGURED);
}

CMQTTTemplate* CMQTTHost::FindTemplate(const std::string& name) { return m_templates.Find(name); }

// --- Reads and writes -------------------------------------------------------------------------

HRESULT CMQTTHost::ReadTag(TagRequest*, HVALUE) { return E_FAIL; }

HRESULT CMQTTHost::WriteTag(TagRequest* request, HVALUE value)
try
{
    if (request == nullptr || value == nullptr)
        return E_POINTER;
    const std::string item = Utf16ToUtf8(request->item ? request->item : u"");
    return m_subscriptions.WriteTag(item, value);
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}

HRESULT CMQTTHost::WriteCommandText(HVALUE value, std::string& text)
{
    if (!hvIsText(value))
    {
        Log(this, LOG_DRIVER, "Invalid DataType!");
        return E_FAIL;
    }
    const char* chars = nullptr;
    size_t length = 0;
    if (!hvGetTextN(value, &chars, &length) || chars == nullptr)
    {
        Log(this, LOG_DRIVER, "Cannot Get String Value");
        return E_FAIL;
    }
    text.assign(chars, length);
    return S_OK;
}

bool CMQTTHost::RouteWrite(const std::string& topic, HVALUE value, HRESULT& status)
{
    if (m_settings.useDynamicSecurity && EqualsNoCase(topic, "MosqClientCtrl"))
    {
        std::string command;
        status = WriteCommandText(value, command);
        if (SUCCEEDED(status))
            status = m_dynamicSecurity.SendCommand(command);
        return true;
    }
    if (!m_settings.useAgents)
        return false;
    std::string agent;
    if (EqualsNoCase(topic, "AcceptDeviceEnrollment"))
    {
        status = WriteCommandText(value, agent);
        if (FAILED(status))
            return true;
    }
    else if (MQTTIsAgentTopic(m_agentKeywords, topic))
    {
        agent = topic.substr(0, topic.find('/'));
    }
    else
    {
        return false;
    }
    // No agent object can be made on this host, so every agent write ends here.
    Log(this, LOG_DRIVER, "Agent %s not found!", agent.c_str());
    status = E_FAIL;
    return true;
}
