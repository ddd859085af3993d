// The receiving half of an MQTT session: a queue of received packets worked off by the
// stack's own thread, the QoS 1 and QoS 2 handshakes in both directions, the answers to a
// peer's PINGREQ, SUBSCRIBE and UNSUBSCRIBE, and the three stores of in-flight messages with
// their retransmission on a 10-second beat.
#pragma once
#include "mqtt/MQTTCodec.h"
#include "mqtt/MQTTPacket.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

// What the stack needs from the host that owns it. Every call comes from the stack thread
// with no stack lock held. A packet passed in belongs to the stack and is valid for the
// duration of the call only.
struct IMQTTStackHost
{
    // A PUBLISH to deliver: QoS 0 and QoS 1 on receipt (QoS 1 after its PUBACK), QoS 2 when
    // its PUBREL arrives. The buffer holds the whole wire image (MQTTParsePublish reads it).
    virtual void OnMessage(CMQTTPacket& publish) = 0;
    virtual void OnConnAck(CMQTTPacket& connack) = 0;
    virtual void OnSubAck(CMQTTPacket& suback) = 0;
    // Items waiting for this UNSUBSCRIBE's answer go back to idle.
    virtual void OnUnsubAck(uint16_t packetId) = 0;
    // A PINGRESP arrived; the codec's keep-alive reference has already been renewed.
    virtual void OnPingResponse() = 0;
    // A topic of a peer's SUBSCRIBE: returns the SUBACK return code (the granted QoS, or
    // 0x80 when no item has the topic).
    virtual uint8_t OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS) = 0;
    // A topic of a peer's UNSUBSCRIBE.
    virtual void OnPeerUnsubscribe(const std::string& topic) = 0;
    // Stop the physical interface and start it again, which makes a new connection. Called
    // after a DISCONNECT from the peer and when QoS 2 retransmission gives up.
    virtual void RestartInterface() = 0;

protected:
    ~IMQTTStackHost() = default;
};

// Return code of a SUBACK for a topic no item has.
constexpr uint8_t MQTT_SUBACK_FAILURE = 0x80;

class CMQTTStack
{
public:
    using Clock = std::function<uint32_t()>;

    static constexpr uint32_t RETRANSMIT_BEAT_MS = 10000;
    static constexpr uint32_t RETRANSMIT_AGE_MS = 20000;
    // A QoS 2 message is sent once and retransmitted at most this many times.
    static constexpr uint8_t QOS2_MAX_RETRIES = 4;

    // `clock` stamps records stored by publishers and drives the thread; the default is the
    // system's monotonic tick. The stack attaches itself to the codec's publishes.
    CMQTTStack(IMQTTStackHost& host, CMQTTCodec& codec, Clock clock = {});
    ~CMQTTStack();
    CMQTTStack(const CMQTTStack&) = delete;
    CMQTTStack& operator=(const CMQTTStack&) = delete;

    // Starts the stack thread and sets it running; E_FAIL when the thread cannot start.
    HRESULT Start();
    bool IsRunning() const { return m_threadState.load() == THREAD_RUNNING; }

    // Appends a received packet to the queue and wakes the thread (physical-layer thread).
    HRESULT Enqueue(MQTTPacketPtr packet);

    // In-flight stores; storing takes ownership, stamps the record with the current tick
    // and replaces (and frees) any record already held under the identifier.
    HRESULT StoreQoS1(MQTTPacketPtr packet, uint16_t packetId);
    HRESULT StoreQoS2(MQTTPacketPtr packet, uint16_t packetId);
    MQTTPacketPtr TakeQoS1(uint16_t packetId);
    MQTTPacketPtr TakeQoS2(uint16_t packetId);
    MQTTPacketPtr TakeIncoming(uint16_t packetId);
    void ClearAll();

    size_t QueuedCount();
    size_t OutgoingQoS1Count();
    size_t OutgoingQoS2Count();
    size_t IncomingQoS2Count();

    // One processing step at `now`, as the thread runs it: the retransmission pass when the
    // beat is due, then every queued packet in arrival order.
    void Process(uint32_t now);
    // Acts on one received packet at `now`. May throw std::bad_alloc (Process catches it).
    void Dispatch(MQTTPacketPtr packet, uint32_t now);
    // The retransmission pass at `now` (normally run by Process on its beat).
    void Retransmit(uint32_t now);

private:
    using Store = std::map<uint16_t, MQTTPacketPtr>;
    enum EThreadState : int
    {
        THREAD_IDLE = 0,
        THREAD_STOP = 1,
        THREAD_RUNNING = 2,
    };

    void ThreadLoop();
    MQTTPacketPtr Dequeue();
    HRESULT Put(Store& store, MQTTPacketPtr packet, uint16_t packetId, uint32_t now);
    MQTTPacketPtr Take(Store& store, uint16_t packetId);
    size_t Count(const Store& store);
    void OnPublish(MQTTPacketPtr packet, uint32_t now);
    void OnPubRec(uint16_t packetId, uint32_t now);
    void AnswerSubscribe(CMQTTPacket& packet);
    void AnswerUnsubscribe(CMQTTPacket& packet);
    // True when the pass gave up on a QoS 2 message and the session must be dropped.
    bool RetransmitLocked(uint32_t now);
    void DropSession();

    IMQTTStackHost& m_host;
    CMQTTCodec& m_codec;
    Clock m_clock;

    // Lock order: store lock before the transport's own locks (sends happen under it);
    // the queue lock is never held with another lock.
    CRecursiveLock m_queueLock;
    std::deque<MQTTPacketPtr> m_queue;
    CRecursiveLock m_storeLock;
    Store m_incomingQoS2;
    Store m_outgoingQoS1;
    Store m_outgoingQoS2;

    CEvent m_wake;
    std::atomic<int> m_threadState{THREAD_IDLE};
    uint32_t m_lastPass; // stack thread only
    CThread m_thread;
};
