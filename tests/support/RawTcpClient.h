// A plain TCP client for tests that speak bytes to a server (the fake broker, the driver in
// listen mode) and read whole MQTT packets back with deadlines.
#pragma once
#include "support/MqttWire.h"
#include "support/TestHelpers.h"

#include <chrono>
#include <cstdint>
#include <optional>

class RawTcpClient
{
public:
    RawTcpClient() = default;
    ~RawTcpClient() { Close(); }
    RawTcpClient(const RawTcpClient&) = delete;
    RawTcpClient& operator=(const RawTcpClient&) = delete;

    bool Connect(uint16_t port);
    bool Send(const Bytes& bytes);
    // The next whole MQTT packet; nullopt on timeout, end of stream or a malformed length.
    std::optional<MqttWire::Packet> ReadPacket(std::chrono::milliseconds timeout = kTestWait);
    // Waits for the peer to close; bytes arriving before the close are kept in Pending().
    bool WaitForClose(std::chrono::milliseconds timeout = kTestWait);
    // Bytes received but not yet taken as a packet (e.g. the head of a cut-short packet).
    const Bytes& Pending() const { return m_input; }
    bool PeerClosed() const { return m_closed; }
    void Close();

private:
    // Reads what is available, waiting up to `timeout`; false on timeout or end of stream.
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int m_fd = -1;
    bool m_closed = false;
    Bytes m_input;
};
