#include "platform/ModulePath.h"

#include <gtest/gtest.h>

#include "platform/File.h"

TEST(ModulePath, NamesTheFileHoldingThisCode)
{
    const std::string path = ModuleFilePath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(IsAbsolutePath(path));
    EXPECT_TRUE(FileExists(path));
    // The platform library is linked statically into this test executable.
    EXPECT_EQ(FileNameOf(path), "unit_platform");
    EXPECT_EQ(JoinPath(ModuleFolder(), FileNameOf(path)), path);
}

TEST(ModulePath, PathShapes)
{
    struct Case
    {
        const char* path;
        const char* normalized;
        bool absolute;
        const char* folder;
        const char* file;
    };
    const Case cases[] = {
        {"C:\\kxLogs\\MQTT.log", "C:/kxLogs/MQTT.log", true, "C:/kxLogs", "MQTT.log"},
        {"certs\\ca.pem", "certs/ca.pem", false, "certs", "ca.pem"},
        {"/opt/dravo/MQTT.so", "/opt/dravo/MQTT.so", true, "/opt/dravo", "MQTT.so"},
        {"/MQTT.so", "/MQTT.so", true, "/", "MQTT.so"},
        {"ca.pem", "ca.pem", false, "", "ca.pem"},
        {"", "", false, "", ""},
        {"a/b\\", "a/b/", false, "a/b", ""},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(NormalizePath(c.path), c.normalized) << c.path;
        EXPECT_EQ(IsAbsolutePath(c.path), c.absolute) << c.path;
        EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
        EXPECT_EQ(FileNameOf(c.path), c.file) << c.path;
    }
}

TEST(ModulePath, JoinPath)
{
    struct Case
    {
        const char* folder;
        const char* name;
        const char* joined;
    };
    const Case cases[] = {
        {"/opt/dravo", "certs\\ca.pem", "/opt/dravo/certs/ca.pem"},
        {"/opt/dravo/", "ca.pem", "/opt/dravo/ca.pem"},
        {"/opt/dravo", "\\ca.pem", "/ca.pem"},       // an absolute name wins
        {"/opt/dravo", "C:\\ca.pem", "C:/ca.pem"},
        {"", "ca.pem", "ca.pem"},
        {"/", "ca.pem", "/ca.pem"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JoinPath(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
}
