// A private mosquitto broker for one test: its own configuration, port and log, and
// nothing shared with a system broker that may run on port 1883.
#pragma once
#include "support/ChildProcess.h"
#include "support/MosquittoClients.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct MosquittoOptions
{
    bool allowAnonymous = true;
    // Users of the password file (user name, password); none: no password file.
    std::vector<std::pair<std::string, std::string>> users;
    // Listening port on 127.0.0.1; 0: a free one is picked (and another on a collision).
    uint16_t port = 0;
    // Loads the dynamic-security plug-in with one administrator. The plug-in's default
    // access then forbids publishing and subscribing to clients it does not know, password
    // file users included; only the administrator (and clients it creates) may do so.
    bool dynamicSecurity = false;
    std::string dynsecAdmin = "admin";
    std::string dynsecPassword = "admin-secret";
    // Lines appended verbatim to the generated configuration (after the listener, so
    // listener options such as certfile apply to it).
    std::vector<std::string> extraConfig;
    // Creates the password file and the plug-in's configuration with mosquitto_passwd and
    // mosquitto_ctrl when they are installed; false (or a missing tool) writes the same
    // hashed forms directly.
    bool useBrokerTools = true;
};

class MosquittoBroker
{
public:
    explicit MosquittoBroker(MosquittoOptions options = {});
    // Stops the broker; its temporary folder (configuration, log) goes with the object.
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Writes the configuration (first time only), starts the broker and waits until it has
    // logged that it runs and accepts a TCP connection. The failure message carries the
    // broker's log.
    ::testing::AssertionResult Start(std::chrono::milliseconds timeout = kTestWait);
    // SIGTERM, SIGKILL after `grace`; the broker is reaped. Succeeds when it was stopped or
    // had not been running.
    ::testing::AssertionResult Stop(std::chrono::milliseconds grace = std::chrono::milliseconds{5000});
    // Stop, then Start on the same port (clients can reconnect to the same address).
    ::testing::AssertionResult Restart(std::chrono::milliseconds timeout = kTestWait);
    // An abrupt crash: SIGKILL, links reset without DISCONNECT or FIN handshakes of MQTT.
    void Kill();
    // Stops and resumes the broker process: links stay up but nothing is answered.
    bool Freeze();
    bool Thaw();
    bool IsRunning();

    uint16_t Port() const { return m_port; }
    // The broker's log so far, of every run since construction (log_type all: connections,
    // subscriptions, errors).
    std::string LogText() const;
    // Waits until the log of the current run (since the last Start) contains `text`, e.g.
    // "New client connected".
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kTestWait) const;
    const std::string& ConfigPath() const { return m_configPath; }
    const std::string& Folder() const { return m_dir.Path(); }

    // Options for the command-line clients to reach this broker.
    MqttClientOptions Client(const std::string& user = {}, const std::string& password = {}) const;
    // The dynamic-security administrator.
    MqttClientOptions Admin() const;

private:
    ::testing::AssertionResult Prepare();
    ::testing::AssertionResult WritePasswordFile();
    ::testing::AssertionResult WriteDynsecConfig();
    ::testing::AssertionResult StartOnce(std::chrono::milliseconds timeout, bool* portTaken);
    std::string Diagnostics() const;

    MosquittoOptions m_options;
    TempDir m_dir;
    std::string m_configPath;
    std::string m_logPath;
    std::string m_stderrPath;
    bool m_prepared = false;
    uint16_t m_port = 0;
    size_t m_logStart = 0; // where the current run's log lines begin
    ChildProcess m_process;
};
