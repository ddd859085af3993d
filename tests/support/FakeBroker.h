// A scriptable MQTT broker inside the test process, for what a real broker will not do on
// demand: refuse or ignore a CONNECT, leave pings unanswered, refuse subscriptions, send a
// DISCONNECT or a malformed packet, drop the link in the middle of a packet.
#pragma once
#include "support/MqttWire.h"
#include "support/TestHelpers.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// How the fake broker reacts to what a client sends on one connection.
struct FakeBrokerScript
{
    enum class OnConnect
    {
        Accept, // CONNACK with `connackCode` (0 unless set)
        Silent, // no answer
        Close,  // closes the link instead of answering
    };
    OnConnect onConnect = OnConnect::Accept;
    // Return code of the CONNACK; non-zero codes refuse the client (5 = not authorised).
    uint8_t connackCode = 0;
    bool sessionPresent = false;
    bool answerPing = true;
    bool answerSubscribe = true;
    // SUBACK return codes by topic position; topics past the list get their requested QoS.
    // {0x80} refuses the first topic.
    std::vector<uint8_t> grantedQos;
    bool answerUnsubscribe = true;
    // PUBACK for QoS 1, PUBREC for QoS 2, PUBCOMP for PUBREL, PUBREL for PUBREC.
    bool acknowledgePublish = true;
    // Called on the broker's thread for every packet before the reaction above; returning
    // true skips that reaction. It may call the broker's Send/Drop for this connection.
    std::function<bool(size_t connection, const MqttWire::Packet&)> onPacket;
};

class FakeBroker
{
public:
    FakeBroker();
    // Stops: closes every link and the listener.
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    // Listens on a free port of 127.0.0.1 (bound directly, so no collision is possible).
    ::testing::AssertionResult Start();
    void Stop();
    uint16_t Port() const { return m_port; }

    // The script of connections accepted from now on.
    void SetScript(FakeBrokerScript script);
    // The script of the connection with this index (0 = the first one accepted), if it is
    // set before that connection arrives; it wins over SetScript.
    void SetScriptFor(size_t connection, FakeBrokerScript script);

    // Connections accepted so far; their indexes are 0 .. count-1 in accept order.
    size_t ConnectionCount() const;
    bool IsOpen(size_t connection) const;
    // True when the client sent a packet whose length field has more than four bytes (the
    // broker then closed the link).
    bool SawMalformed(size_t connection) const;
    // Whole packets received on a connection, in order.
    std::vector<MqttWire::Packet> Packets(size_t connection) const;
    // Packets of one type (MqttWire::PacketType) received on a connection.
    std::vector<MqttWire::Packet> PacketsOfType(size_t connection, uint8_t type) const;

    // Sends bytes as they stand (any packet, a partial packet, garbage). False when the link
    // is closed or the send fails.
    bool Send(size_t connection, const Bytes& bytes);
    bool SendPublish(size_t connection, const std::string& topic, const std::string& payload, int qos = 0,
                     bool retain = false, uint16_t packetId = 1);
    bool SendDisconnect(size_t connection);
    // Closes the link: `reset` sends a TCP RST instead of an orderly FIN.
    void Drop(size_t connection, bool reset = false);
    // Sends the first `count` bytes of `packet`, then closes the link: a packet cut short.
    bool SendPartialAndDrop(size_t connection, const Bytes& packet, size_t count);

    // Waits until `condition` holds; it is checked after every change the broker sees
    // (connection, packet, close) and may call the accessors above.
    bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kTestWait) const;
    bool WaitForConnections(size_t count, std::chrono::milliseconds timeout = kTestWait) const;
    // Waits for the `nth` (0-based) packet of `type` on the connection and returns it.
    std::optional<MqttWire::Packet> WaitForPacket(size_t connection, uint8_t type, size_t nth = 0,
                                                  std::chrono::milliseconds timeout = kTestWait) const;
    // Waits until the link is closed (by the client or by the broker).
    bool WaitForClosed(size_t connection, std::chrono::milliseconds timeout = kTestWait) const;

private:
    struct Connection;
    std::shared_ptr<Connection> Find(size_t connection) const;
    void Run();
    void Accept();
    void Receive(size_t index, const std::shared_ptr<Connection>& link);
    void React(size_t index, const std::shared_ptr<Connection>& link, const MqttWire::Packet& packet);
    bool SendTo(Connection& link, const Bytes& bytes);
    void CloseLink(Connection& link, bool reset);
    void Changed();
    void Wake() const;

    int m_listen = -1;
    int m_wake = -1; // eventfd that interrupts the broker thread's poll
    uint16_t m_port = 0;
    std::thread m_thread;

    // Lock order: m_mutex before a connection's own mutex. Never held while calling onPacket.
    mutable std::mutex m_mutex; // guards everything below
    mutable std::condition_variable m_changed;
    uint64_t m_generation = 0; // advanced on every change, so waiters never miss one
    bool m_stopping = false;
    std::vector<std::shared_ptr<Connection>> m_links;
    FakeBrokerScript m_script;
    std::map<size_t, FakeBrokerScript> m_scriptFor;
};
