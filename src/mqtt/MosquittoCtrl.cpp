#include "mqtt/MosquittoCtrl.h"

#include "json/JsonValue.h"
#include "platform/Text.h"

#include <chrono>
#include <new>

MosquittoCtrl::MosquittoCtrl(IMosquittoCtrlHost& host, uint32_t timeoutMs) : m_host(host), m_timeoutMs(timeoutMs) {}

bool MosquittoCtrl::IsResponseTopic(std::string_view topic) { return EqualsNoCase(topic, RESPONSE_TOPIC); }

MosquittoCtrl::EState MosquittoCtrl::State()
{
    std::lock_guard guard(m_lock);
    return m_state;
}

std::string MosquittoCtrl::PendingCommand()
{
    std::lock_guard guard(m_lock);
    return m_pending;
}

void MosquittoCtrl::Answer(EState state)
{
    {
        std::lock_guard guard(m_lock);
        m_state = state;
    }
    m_answered.notify_all();
}

void MosquittoCtrl::Reset()
{
    std::lock_guard guard(m_lock);
    m_state = IDLE;
    m_pending.clear();
}

HRESULT MosquittoCtrl::SendCommand(const std::string& command)
try
{
    IIOLogger* logger = m_host.CommandLogger();
    const JsonValue::Ptr document = JsonValue::Parse(command);
    if (!document)
    {
        Log(logger, LOG_DRIVER, "JSON Error: Failed parsing data on MosquittoCtrl SendCommand");
        return E_FAIL;
    }
    const JsonValue* commands = document->Is(JsonKind::Object) ? document->At(0) : nullptr;
    if (commands == nullptr || commands->Name() != u"commands")
    {
        Log(logger, LOG_DRIVER, "Invalid Request!");
        return E_FAIL;
    }
    if (!commands->Is(JsonKind::Array) || commands->Count() == 0)
    {
        Log(logger, LOG_DRIVER, "Invalid Array!");
        return E_FAIL;
    }
    // Only the first command is tracked; the plug-in answers the others in the same
    // response, which is judged by its first element alone.
    const JsonValue* name = commands->At(0)->Find(u"command");
    const std::string pending = name ? Utf16ToUtf8(name->AsString()) : std::string();
    if (pending.empty())
    {
        Log(logger, LOG_DRIVER, "Invalid Mosquitto Command!");
        return E_FAIL;
    }

    std::lock_guard writer(m_writer);
    {
        std::lock_guard guard(m_lock);
        m_pending = pending;
        m_state = WAITING;
    }
    const HRESULT published = m_host.PublishCommand(CONTROL_TOPIC, command);
    if (FAILED(published))
    {
        Log(logger, LOG_DRIVER, "Failed DoPublish on Mosquitto DynSec Command");
        Reset();
        return published;
    }

    bool answered = false;
    {
        std::unique_lock guard(m_lock);
        answered = m_answered.wait_for(guard, std::chrono::milliseconds(m_timeoutMs),
                                       [this] { return m_state == ANSWERED || m_state == ANSWERED_WITH_ERROR; });
        m_state = IDLE;
        m_pending.clear();
    }
    if (!answered)
    {
        Log(logger, LOG_DRIVER, "Timeout on Mosquitto DynSec Command");
        return E_FAIL;
    }
    return S_OK;
}
catch (const std::bad_alloc&)
{
    Reset();
    return E_OUTOFMEMORY;
}

HRESULT MosquittoCtrl::OnResponse(const std::string& response)
try
{
    IIOLogger* logger = m_host.CommandLogger();
    const JsonValue::Ptr document = JsonValue::Parse(response);
    if (!document)
    {
        Log(logger, LOG_DRIVER, "JSON Error: Failed parsing data");
        return E_FAIL;
    }
    const JsonValue* responses = document->Is(JsonKind::Object) ? document->At(0) : nullptr;
    if (responses == nullptr || responses->Name() != u"responses")
    {
        Log(logger, LOG_DRIVER, "Invalid Response!");
        return E_FAIL;
    }
    if (!responses->Is(JsonKind::Array) || responses->Count() == 0)
    {
        Log(logger, LOG_DRIVER, "Invalid Array Response!");
        return E_FAIL;
    }
    for (const JsonValue::Ptr& member : responses->At(0)->Items())
    {
        if (member->Name() == u"command")
        {
            const std::string received = Utf16ToUtf8(member->AsString());
            const std::string pending = PendingCommand();
            if (!EqualsNoCase(received, pending))
            {
                Log(logger, LOG_DRIVER, "Command Response Unexpected: Requested %s Received %s", pending.c_str(),
                    received.c_str());
                Answer(ANSWERED_WITH_ERROR);
                return E_FAIL;
            }
        }
        else if (member->Name() == u"error")
        {
            Log(logger, LOG_DRIVER, "Response Error: %s", Utf16ToUtf8(member->AsString()).c_str());
            Answer(ANSWERED_WITH_ERROR);
            return E_FAIL;
        }
    }
    Answer(ANSWERED);
    return S_OK;
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}
