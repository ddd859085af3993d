// Tag address texts and the I/O trace: the log lines that frame every read and write
// request of the host.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/IOLog.h"
#include "core/ValueText.h"
#include "dravo/IORecords.h"

// The numbers and object that, with device and item, make up a tag's address.
struct STagAddress
{
    uint16_t n1 = 0;
    uint16_t n2 = 0;
    uint16_t n3 = 0;
    uint16_t n4 = 0;
    const void* tagObject = nullptr;
};

// Device, item, numbers and tag object; device and item are UTF-8.
void AppendTagAddress(CTextBuilder& out, std::string_view device, std::string_view item, const STagAddress& address);

// The address of a request: the tag address, then "[size]", ".first" and the masks as the
// operation asks.
std::string RequestAddressText(const TagRequest& request);
// The address of a validated tag; "[size]" when the size is above 1.
std::string TagAddressText(const char16_t* device, const char16_t* item, const TagInfo& info);
// The address of a subscription (multibyte device and item).
std::string SubscriptionAddressText(const char* device, const char* item, const STagAddress& address,
                                    uint16_t size);

// "ReadValue", ... ; null for an unknown operation code.
const char* OperationName(uint16_t operation);

// Traces one request: made when the request arrives (it starts the clock and builds the
// request text), Finish logs the outcome in category TAG.
class CIOTrace
{
public:
    CIOTrace(const TIOApi* owner, const TagRequest& request);

    const std::string& RequestText() const { return m_text; }
    double ElapsedSeconds() const;

    void Finish(HRESULT status) { Finish(status, ElapsedSeconds()); }
    // With the elapsed time given: tests and callers that time the request themselves.
    void Finish(HRESULT status, double seconds);

private:
    const TIOApi* m_owner;
    const TagRequest& m_request;
    uint64_t m_start;
    std::string m_text;
};
