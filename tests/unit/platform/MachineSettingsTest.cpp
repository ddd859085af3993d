#include "platform/MachineSettings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/File.h"

namespace
{
constexpr const char* kKey = "Software\\Velora Software\\Dravo";

class MachineSettingsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dravo-machine-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        m_path = pattern;
        setenv("DRAVO_MACHINE_SETTINGS", m_path.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("DRAVO_MACHINE_SETTINGS");
        DeleteFileAt(m_path);
    }

    std::string m_path;
};
} // namespace

TEST_F(MachineSettingsTest, ReadsDwordsAndTextsOfTheKey)
{
    ASSERT_TRUE(WriteWholeFile(m_path, "; simulator rerouting\r\n"
                                       "[Software\\Other]\n"
                                       "\"SimulatorPort\"=dword:00000001\n"
                                       "\n"
                                       "[software\\velora software\\DRAVO]\n"
                                       "\"EnableTCPSimulation\"=dword:00000001\r\n"
                                       "  \"SimulatorPort\" = dword:0000075B\n"
                                       "\"SimulatorIP\"=\"127.0.0.1\"\n"
                                       "\"Quoted\"=\"say \\\"hi\\\" \\\\ bye\"\n"
                                       "\"Broken\"=dword:xyz\n"
                                       "\"TooLong\"=dword:123456789\n"));
    EXPECT_EQ(MachineSettingsPath(), m_path);

    struct DwordCase
    {
        const char* name;
        bool found;
        uint32_t value;
    };
    const DwordCase dwords[] = {
        {"EnableTCPSimulation", true, 1}, {"simulatorport", true, 0x75B}, {"SimulatorIP", false, 0},
        {"Broken", false, 0},             {"TooLong", false, 0},          {"Missing", false, 0},
    };
    for (const DwordCase& c : dwords)
    {
        uint32_t value = 77;
        EXPECT_EQ(ReadMachineDword(kKey, c.name, value), c.found) << c.name;
        EXPECT_EQ(value, c.found ? c.value : 77u) << c.name;
    }

    std::string text;
    EXPECT_TRUE(ReadMachineText(kKey, "SimulatorIP", text));
    EXPECT_EQ(text, "127.0.0.1");
    EXPECT_TRUE(ReadMachineText(kKey, "Quoted", text));
    EXPECT_EQ(text, "say \"hi\" \\ bye");
    EXPECT_TRUE(ReadMachineText(kKey, "SimulatorIP", text, 3));
    EXPECT_EQ(text, "127");
    EXPECT_FALSE(ReadMachineText(kKey, "SimulatorPort", text));
    EXPECT_FALSE(ReadMachineText("Software\\Velora Software", "SimulatorIP", text));
}

TEST_F(MachineSettingsTest, AMissingFileHasNoValues)
{
    DeleteFileAt(m_path);
    uint32_t value = 0;
    EXPECT_FALSE(ReadMachineDword(kKey, "EnableTCPSimulation", value));
    std::string text;
    EXPECT_FALSE(ReadMachineText(kKey, "SimulatorIP", text));
}
