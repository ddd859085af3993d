// Test peers built on the mosquitto command-line clients (mosquitto_pub, mosquitto_sub).
#pragma once
#include "support/ChildProcess.h"
#include "support/TestHelpers.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How a command-line client reaches the broker.
struct MqttClientOptions
{
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string user;        // empty: connect without a user name
    std::string password;    // sent only together with a user name
    std::string clientId;    // empty: the tool makes one up
    int protocolVersion = 4; // 3 = MQTT 3.1, 4 = MQTT 3.1.1, 5 = MQTT 5
};

// One message as a subscriber received it.
struct MqttMessage
{
    std::string topic;
    std::string payload; // raw bytes
    int qos = 0;
    bool retain = false;
};

// Publishes one message and returns once the tool has finished: for QoS 1 and 2 that is after
// the broker acknowledged it. The payload may hold any bytes (it goes through a file).
// The failure message carries the tool's output (e.g. "not authorised").
::testing::AssertionResult Publish(const MqttClientOptions& client, const std::string& topic,
                                   const std::string& payload, int qos = 0, bool retain = false);

// A mosquitto_sub running in the background that collects every message it receives.
class Subscriber
{
public:
    Subscriber(MqttClientOptions client, std::vector<std::string> topics, int qos = 0);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Starts the client and waits until the broker has answered its SUBSCRIBE, so that
    // anything published afterwards reaches it. Fails (with the tool's output) when the
    // connection is refused or no SUBACK arrives within `timeout`.
    ::testing::AssertionResult Start(std::chrono::milliseconds timeout = kTestWait);
    // Ends the client; the messages received so far stay readable.
    void Stop();

    // Return codes of the SUBACK, one per topic (0x80 = refused); empty before Start.
    std::vector<int> Granted() const;
    std::vector<MqttMessage> Messages() const;
    size_t Count() const;
    // Waits until `predicate` holds for the messages received so far.
    bool WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& predicate,
                 std::chrono::milliseconds timeout = kTestWait);
    // The first message on `topic` (exact match), waiting for it when none arrived yet.
    std::optional<MqttMessage> WaitForMessage(const std::string& topic,
                                              std::chrono::milliseconds timeout = kTestWait);
    // What the tool printed besides messages (connection errors, protocol trace).
    std::string Output() const;

private:
    void ReadLoop(int fd);
    void HandleLine(const std::string& line);

    MqttClientOptions m_client;
    std::vector<std::string> m_topics;
    int m_qos;
    ChildProcess m_process;
    std::thread m_reader;

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::vector<MqttMessage> m_messages;
    std::vector<int> m_granted;
    bool m_subscribed = false;
    bool m_ended = false;
    std::string m_output;
};

// Arguments selecting broker, credentials and protocol for mosquitto_pub/sub/ctrl.
std::vector<std::string> ClientArguments(const MqttClientOptions& client);
