// Raw operating-system socket calls. Every function reports failure the POSIX way (-1 or
// false) and leaves the error code in NetLastError(); codes are errno values, and name
// resolution failures are the resolver's own (negative) codes, so the two never collide.
#pragma once
#include "platform/NetAddress.h"

#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>

using SocketHandle = int;
// Readiness bits of SocketWait.
constexpr short POLL_READABLE = POLLIN;
constexpr short POLL_WRITABLE = POLLOUT;
constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

enum class ENetError
{
    None,
    WouldBlock,
    MessageTooLong,
    ConnectionReset,
    Other,
};

int NetLastError();
// Records `code` as the last error; returns -1 (INVALID_SOCKET_HANDLE).
int NetFailWith(int code);
ENetError NetClassifyError(int code);
// The Windows socket error name of a code ("WSAECONNREFUSED", ...), "(unknown)" otherwise.
const char* NetErrorName(int code);

SocketHandle NetSocket(bool ipv6, bool stream);
void NetClose(SocketHandle s);
bool NetSetNonBlocking(SocketHandle s);
bool NetSetReuseAddress(SocketHandle s);
bool NetSetBroadcast(SocketHandle s);
bool NetSetNoDelay(SocketHandle s);
bool NetBind(SocketHandle s, const SSocketAddress& address);
bool NetListen(SocketHandle s, int backlog);
// Returns the new connection (blocking mode as inherited) or INVALID_SOCKET_HANDLE.
SocketHandle NetAccept(SocketHandle s, SSocketAddress* from);

enum class EConnectStart
{
    Connected,
    InProgress,
    Failed,
};
// Starts a connect on a non-blocking socket.
EConnectStart NetConnectStart(SocketHandle s, const SSocketAddress& address);
// After the socket became writable: true when connected, false with the error code kept.
bool NetConnectFinished(SocketHandle s);

// Send results: bytes sent, or -1. Never raises SIGPIPE.
long NetSend(SocketHandle s, const void* data, uint32_t size);
long NetSendTo(SocketHandle s, const void* data, uint32_t size, const SSocketAddress& to);
// Receive results: bytes read, 0 at end of stream, or -1. `truncated` reports a datagram
// that was longer than `size` (the first `size` bytes were kept).
long NetRecv(SocketHandle s, void* data, uint32_t size, bool* truncated);
long NetRecvFrom(SocketHandle s, void* data, uint32_t size, SSocketAddress* from, bool* truncated);

bool NetLocalAddress(SocketHandle s, SSocketAddress* address);
bool NetPeerAddress(SocketHandle s, SSocketAddress* address);

// Zero-timeout readability check: 1 readable, 0 not, -1 failure.
int NetPollReadable(SocketHandle s);

enum class EParseResult
{
    Parsed,
    NotLiteral,
    Invalid,
};
// Parses a numeric address of the family. An empty or null text gives the wildcard.
EParseResult NetParseLiteral(const char* text, bool ipv6, uint16_t port, SSocketAddress* out);
// Resolves a host name for the family, taking the first result. `hasAddress` is false
// when the first result carried no address.
bool NetResolve(const char* host, bool ipv6, uint16_t port, SSocketAddress* out, bool* hasAddress);

// Family-level facts of a raw address.
bool NetIsIPv6(const SSocketAddress& address);
bool NetIsIPv4(const SSocketAddress& address);
uint16_t NetFamily(const SSocketAddress& address);
uint16_t NetFamilyIPv6();
uint16_t NetPort(const SSocketAddress& address);
// Network-order bytes of the IPv4 address field (zero for other families).
void NetIPv4Bytes(const SSocketAddress& address, uint8_t bytes[4]);
// Decodes into a record (protocol left untouched).
void NetDecodeAddress(const SSocketAddress& address, AddressRecord* record);
// "[address]:port" for IPv6 (with "%scope" when set); false when it cannot be converted.
bool NetIPv6Text(const SSocketAddress& address, std::string* text);

// The machine's own unicast addresses of the family, loopback included.
bool NetLocalInterfaceAddresses(bool ipv6, std::vector<SSocketAddress>* out);
