// Commands to the broker's dynamic-security plug-in: what is refused before publishing, how
// the writer waits, and how the plug-in's answer is judged.
#include "CodecTestDoubles.h"
#include "mqtt/MosquittoCtrl.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
class CFakeCtrlHost final : public IMosquittoCtrlHost
{
public:
    HRESULT PublishCommand(std::string_view topic, std::string_view payload) override
    {
        {
            std::lock_guard guard(mutex);
            published.emplace_back(std::string(topic), std::string(payload));
        }
        changed.notify_all();
        return publishStatus;
    }
    IIOLogger* CommandLogger() override { return logger.Get(); }

    bool WaitForPublish(size_t count)
    {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return published.size() >= count; });
    }

    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    HRESULT publishStatus = S_OK;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, std::string>> published;
};

constexpr const char* kCreate =
    R"({"commands":[{"command":"createClient","username":"u1","password":"p1"},{"command":"listClients"}]})";

// Runs SendCommand on its own thread, as the host's writer does, and answers it with
// `response` once the command is published.
HRESULT SendAndAnswer(MosquittoCtrl& ctrl, CFakeCtrlHost& host, const std::string& command,
                      const std::string& response, HRESULT* responseStatus = nullptr)
{
    HRESULT sent = E_UNEXPECTED;
    std::thread writer([&] { sent = ctrl.SendCommand(command); });
    EXPECT_TRUE(host.WaitForPublish(1));
    const HRESULT judged = ctrl.OnResponse(response);
    if (responseStatus)
        *responseStatus = judged;
    writer.join();
    return sent;
}
} // namespace

TEST(HostDynSecTest, MalformedCommandsAreRefusedWithoutPublishing)
{
    const struct
    {
        const char* command;
        const char* line;
    } cases[] = {
        {"{not json", "JSON Error: Failed parsing data on MosquittoCtrl SendCommand"},
        {R"({"verbs":[{"command":"listClients"}]})", "Invalid Request!"},
        {R"({"x":1,"commands":[{"command":"listClients"}]})", "Invalid Request!"},
        {R"([{"command":"listClients"}])", "Invalid Request!"},
        {R"({"commands":[]})", "Invalid Array!"},
        {R"({"commands":{"command":"listClients"}})", "Invalid Array!"},
        {R"({"commands":[{"username":"u1"}]})", "Invalid Mosquitto Command!"},
        {R"({"commands":[{"command":""}]})", "Invalid Mosquitto Command!"},
    };
    for (const auto& c : cases)
    {
        CFakeCtrlHost host;
        MosquittoCtrl ctrl(host);
        EXPECT_EQ(ctrl.SendCommand(c.command), E_FAIL) << c.command;
        EXPECT_TRUE(host.logger->Has(c.line)) << c.command;
        EXPECT_TRUE(host.published.empty()) << c.command;
        EXPECT_EQ(ctrl.State(), MosquittoCtrl::IDLE);
    }
}

TEST(HostDynSecTest, AMatchingAnswerCompletesTheWrite)
{
    CFakeCtrlHost host;
    MosquittoCtrl ctrl(host);
    HRESULT judged = E_UNEXPECTED;
    const HRESULT sent = SendAndAnswer(
        ctrl, host, kCreate, R"({"responses":[{"command":"CREATECLIENT"},{"command":"listClients","data":{}}]})",
        &judged);
    EXPECT_EQ(sent, S_OK);
    EXPECT_EQ(judged, S_OK);
    ASSERT_EQ(host.published.size(), 1u);
    EXPECT_EQ(host.published[0].first, "$CONTROL/dynamic-security/v1");
    EXPECT_EQ(host.published[0].second, kCreate); // passed through unchanged
    EXPECT_EQ(ctrl.State(), MosquittoCtrl::IDLE);
    EXPECT_EQ(ctrl.PendingCommand(), "");
}

TEST(HostDynSecTest, ErrorAnswersAreLoggedAndTheWriteStillSucceeds)
{
    const struct
    {
        const char* response;
        const char* line;
    } cases[] = {
        {R"({"responses":[{"command":"createClient","error":"Client already exists"}]})",
         "Response Error: Client already exists"},
        {R"({"responses":[{"command":"deleteClient"}]})",
         "Command Response Unexpected: Requested createClient Received deleteClient"},
    };
    for (const auto& c : cases)
    {
        CFakeCtrlHost host;
        MosquittoCtrl ctrl(host);
        HRESULT judged = S_OK;
        EXPECT_EQ(SendAndAnswer(ctrl, host, kCreate, c.response, &judged), S_OK) << c.response;
        EXPECT_EQ(judged, E_FAIL);
        EXPECT_TRUE(host.logger->Has(c.line)) << c.response;
    }
}

TEST(HostDynSecTest, UnreadableAnswersLeaveTheWriterWaiting)
{
    const struct
    {
        const char* response;
        const char* line;
    } cases[] = {
        {"garbage", "JSON Error: Failed parsing data"},
        {R"({"answers":[]})", "Invalid Response!"},
        {R"({"responses":[]})", "Invalid Array Response!"},
    };
    for (const auto& c : cases)
    {
        CFakeCtrlHost host;
        MosquittoCtrl ctrl(host, 200);
        HRESULT sent = S_OK;
        std::thread writer([&] { sent = ctrl.SendCommand(kCreate); });
        ASSERT_TRUE(host.WaitForPublish(1));
        EXPECT_NE(ctrl.OnResponse(c.response), S_OK);
        writer.join();
        EXPECT_EQ(sent, E_FAIL) << c.response;
        EXPECT_TRUE(host.logger->Has(c.line)) << c.response;
        EXPECT_TRUE(host.logger->Has("Timeout on Mosquitto DynSec Command"));
    }
}

TEST(HostDynSecTest, NoAnswerTimesOut)
{
    CFakeCtrlHost host;
    MosquittoCtrl ctrl(host, 50);
    EXPECT_EQ(ctrl.SendCommand(kCreate), E_FAIL);
    EXPECT_TRUE(host.logger->Has("Timeout on Mosquitto DynSec Command"));
    EXPECT_EQ(ctrl.State(), MosquittoCtrl::IDLE);
    EXPECT_EQ(ctrl.PendingCommand(), "");
}

TEST(HostDynSecTest, PublishFailureIsReturned)
{
    CFakeCtrlHost host;
    host.publishStatus = IO_E_NOT_CONNECTED;
    MosquittoCtrl ctrl(host);
    EXPECT_EQ(ctrl.SendCommand(kCreate), IO_E_NOT_CONNECTED);
    EXPECT_TRUE(host.logger->Has("Failed DoPublish on Mosquitto DynSec Command"));
    EXPECT_EQ(ctrl.State(), MosquittoCtrl::IDLE);
}

TEST(HostDynSecTest, ResponseTopicMatchesWithoutRegardToCase)
{
    EXPECT_TRUE(MosquittoCtrl::IsResponseTopic("$CONTROL/dynamic-security/v1/response"));
    EXPECT_TRUE(MosquittoCtrl::IsResponseTopic("$control/Dynamic-Security/V1/RESPONSE"));
    EXPECT_FALSE(MosquittoCtrl::IsResponseTopic("$CONTROL/dynamic-security/v1"));
}
