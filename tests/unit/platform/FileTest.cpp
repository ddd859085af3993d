#include "platform/File.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/ModulePath.h"

namespace
{
class FileTest : public testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dravo-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

    std::string m_root;
};
} // namespace

TEST_F(FileTest, CreateFoldersMakesEveryLevelWithEitherSeparator)
{
    const std::string nested = m_root + "\\logs/2026\\dec";
    EXPECT_TRUE(CreateFolders(nested));
    EXPECT_TRUE(FolderExists(m_root + "/logs/2026/dec"));
    EXPECT_TRUE(CreateFolders(nested)); // already there
    EXPECT_FALSE(CreateFolders(""));

    ASSERT_TRUE(WriteWholeFile(m_root + "/plain", "x"));
    EXPECT_FALSE(CreateFolders(m_root + "/plain/sub")); // a file is in the way
}

TEST_F(FileTest, WholeFileRoundTripAndDelete)
{
    const std::string path = m_root + "/data.bin";
    const std::string content("line 1\n\0binary\xFF", 15);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(FileSize(path), -1);

    ASSERT_TRUE(WriteWholeFile(path, content));
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FolderExists(path));
    EXPECT_EQ(FileSize(path), 15);
    std::string read;
    ASSERT_TRUE(ReadWholeFile(path, read));
    EXPECT_EQ(read, content);

    ASSERT_TRUE(WriteWholeFile(path, "short"));
    ASSERT_TRUE(ReadWholeFile(path, read));
    EXPECT_EQ(read, "short");

    EXPECT_TRUE(DeleteFileAt(path));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(DeleteFileAt(path));
    EXPECT_FALSE(ReadWholeFile(path, read));
    EXPECT_TRUE(read.empty());
    EXPECT_FALSE(WriteWholeFile(m_root + "/missing/folder/file", "x"));
}

TEST_F(FileTest, AppendKeepsEarlierContentAndAllowsReaders)
{
    const std::string path = m_root + "/driver.log";
    for (const char* line : {"first\n", "second\n"})
    {
        FILE* f = OpenForAppend(path);
        ASSERT_NE(f, nullptr);
        fputs(line, f);
        fflush(f);
        std::string seen; // readable while the writer holds it open
        ASSERT_TRUE(ReadWholeFile(path, seen));
        EXPECT_NE(seen.find(line), std::string::npos);
        fclose(f);
    }
    std::string all;
    ASSERT_TRUE(ReadWholeFile(path, all));
    EXPECT_EQ(all, "first\nsecond\n");
    EXPECT_EQ(OpenForAppend(m_root + "/missing/driver.log"), nullptr);
}

TEST_F(FileTest, RenameMovesTheFile)
{
    ASSERT_TRUE(WriteWholeFile(m_root + "/a", "1"));
    EXPECT_TRUE(RenameFile(m_root + "/a", m_root + "\\b"));
    EXPECT_FALSE(FileExists(m_root + "/a"));
    EXPECT_TRUE(FileExists(m_root + "/b"));
}
