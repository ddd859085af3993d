// The peer of the line driver: a loopback TCP server that accepts one client at a time and
// exchanges text lines ("name=value\n") with it. Tests open, close and reopen it on the same
// port to make the driver connect, lose the link and reconnect.
#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/TestHelpers.h"

class CLineServer
{
public:
    CLineServer() = default;
    ~CLineServer();
    CLineServer(const CLineServer&) = delete;
    CLineServer& operator=(const CLineServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: a port the kernel picks). False when the bind fails.
    bool Open(uint16_t port = 0);
    // Listens on a free port with a full accept queue, so that further connects never
    // complete: an unresponsive peer.
    bool OpenStalled();
    // Stops listening and drops the client.
    void Close();
    uint16_t Port() const { return m_port; }

    // Takes the next caller as the client, replacing the previous one.
    bool Accept(std::chrono::milliseconds timeout = kTestWait);
    void DropClient();
    bool SendLine(const std::string& line);
    // The next line without its line feed; nullopt on timeout or when the client left.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = kTestWait);

private:
    bool Listen(uint16_t port, int backlog);

    int m_listener = -1;
    int m_client = -1;
    uint16_t m_port = 0;
    std::string m_input;
    std::vector<int> m_fillers; // the connections that fill a stalled server's queue
};
