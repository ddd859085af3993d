// Commands to the Mosquitto broker's dynamic-security plug-in. A write of a command document
// to the "MosqClientCtrl" item is published on the plug-in's control topic; the writer then
// blocks until the plug-in's answer arrives on the response topic (delivered through
// OnResponse from the stack thread) or the wait runs out. One command is in flight per host.
#pragma once
#include "core/IOLog.h"
#include "dravo/status.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// What the controller needs from its host.
struct IMosquittoCtrlHost
{
    // CMQTTCodec::DoPublish on the host's session.
    virtual HRESULT PublishCommand(std::string_view topic, std::string_view payload) = 0;
    // May be null (nothing is logged).
    virtual IIOLogger* CommandLogger() = 0;

protected:
    ~IMosquittoCtrlHost() = default;
};

class MosquittoCtrl
{
public:
    static constexpr const char* CONTROL_TOPIC = "$CONTROL/dynamic-security/v1";
    static constexpr const char* RESPONSE_TOPIC = "$CONTROL/dynamic-security/v1/response";
    static constexpr uint32_t RESPONSE_TIMEOUT_MS = 5000;

    enum EState : uint8_t
    {
        IDLE = 0,
        WAITING = 1,
        ANSWERED = 2,
        ANSWERED_WITH_ERROR = 3,
    };

    // `timeoutMs` bounds the writer's wait for an answer.
    explicit MosquittoCtrl(IMosquittoCtrlHost& host, uint32_t timeoutMs = RESPONSE_TIMEOUT_MS);
    MosquittoCtrl(const MosquittoCtrl&) = delete;
    MosquittoCtrl& operator=(const MosquittoCtrl&) = delete;

    // Checks and publishes `command`, then waits for the answer. S_OK when an answer came in
    // time (an error answer is only logged), E_FAIL for a refused document or a time-out, or
    // the publish failure.
    HRESULT SendCommand(const std::string& command);
    // Judges an answer of the plug-in. S_OK for a matching answer without error; E_FAIL for
    // an unreadable document (state unchanged), an unexpected command or an error answer.
    HRESULT OnResponse(const std::string& response);

    // True when `topic` is the response topic (letter case ignored).
    static bool IsResponseTopic(std::string_view topic);

    EState State();
    std::string PendingCommand();

private:
    // Sets the judged state and wakes the waiting writer.
    void Answer(EState state);
    void Reset();

    IMosquittoCtrlHost& m_host;
    const uint32_t m_timeoutMs;

    // Guards the state and the pending name, which the writer's thread and the stack thread
    // share; a leaf lock, never held while publishing or logging.
    std::mutex m_lock;
    std::condition_variable m_answered;
    EState m_state = IDLE;
    std::string m_pending;
    // Serialises writers: a second command waits until the first has its answer.
    std::mutex m_writer;
};
