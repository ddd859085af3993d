#include "core/BuiltinTags.h"

#include "dravo/hvalue.h"
#include "platform/Text.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace
{
TagInfo Numbers(uint16_t n1, uint16_t n2, uint16_t n3, uint16_t n4, uint16_t size)
{
    TagInfo info{};
    info.n1 = n1;
    info.n2 = n2;
    info.n3 = n3;
    info.n4 = n4;
    info.size = size;
    return info;
}

struct NameCase
{
    const char* item;
    HRESULT status;
    uint16_t n3, n4, size;
    uint8_t type;
    uint32_t flags;
};

class BuiltinTagsByName : public testing::TestWithParam<NameCase>
{
};

TEST_P(BuiltinTagsByName, FillsTheRowAddressTypeAndAccess)
{
    const NameCase& c = GetParam();
    for (bool wide : {false, true})
    {
        TagInfo info = Numbers(1, 2, 3, 4, 7);
        info.flags = 0x80;
        const std::u16string item16 = Utf8ToUtf16(c.item);
        const HRESULT hr =
            wide ? CBuiltinTags::MatchName(item16.c_str(), &info) : CBuiltinTags::MatchName(c.item, &info);
        ASSERT_EQ(c.status, hr) << c.item << (wide ? " (wide)" : "");
        if (FAILED(hr))
            continue;
        // Fields of the packed record are read through copies (+) to stay aligned.
        EXPECT_EQ(0xFFFF, +info.n1);
        EXPECT_EQ(0, +info.n2);
        EXPECT_EQ(c.n3, +info.n3);
        EXPECT_EQ(c.n4, +info.n4);
        EXPECT_EQ(c.size, +info.size);
        EXPECT_EQ(c.type, +info.type);
        EXPECT_EQ(c.flags, +info.flags);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BuiltinTagsByName,
    testing::Values(NameCase{"io.workonline", S_OK, 0, 4, 0, HV_I32, 0},
                    NameCase{"IO.PhysicalLayerStatus", S_OK, 0, 2, 0, HV_I32, TAG_INFO_NOT_WRITABLE},
                    NameCase{"IO.SETCONFIGURATIONPARAMETERS", S_OK, 0, 3, 0, HV_HVAL, TAG_INFO_NOT_READABLE},
                    NameCase{"IO.DravoEvent", S_OK, 0, 1, 4, HV_HVAL, TAG_INFO_NOT_WRITABLE},
                    // The configuration key shadows the modem tag of the same name.
                    NameCase{"IO.TAPI.PhoneNumber", S_OK, 0, 5, 0, HV_STR, 0},
                    NameCase{"IO.TAPI.Dial", S_OK, 3, 1, 0, HV_HVAL, TAG_INFO_NOT_READABLE},
                    NameCase{"IO.Ethernet.IPSelect", S_OK, 4, 0, 0, HV_I32, 0},
                    NameCase{"IO.Stats.Partial.TimeDisconnectedSeconds", S_OK, 0, 1103, 0, HV_R64,
                             TAG_INFO_NOT_WRITABLE},
                    NameCase{"io.ethernet.mainport", S_OK, 0, 5, 0, HV_U32, 0},
                    NameCase{"IO.WorkOnline ", E_FAIL, 0, 0, 0, 0, 0},
                    NameCase{"IO.Stats", E_FAIL, 0, 0, 0, 0, 0},
                    NameCase{"IO.WörkOnline", E_FAIL, 0, 0, 0, 0, 0}, NameCase{"", E_FAIL, 0, 0, 0, 0, 0}));

TEST(BuiltinTags, NameMatchRefusesNullArguments)
{
    TagInfo info{};
    EXPECT_EQ(E_POINTER, CBuiltinTags::MatchName(static_cast<const char*>(nullptr), &info));
    EXPECT_EQ(E_POINTER, CBuiltinTags::MatchName(static_cast<const char16_t*>(nullptr), &info));
    EXPECT_EQ(E_POINTER, CBuiltinTags::MatchName("IO.WorkOnline", nullptr));
}

struct NumberCase
{
    TagInfo info;
    HRESULT status;
};

class BuiltinTagsByNumbers : public testing::TestWithParam<NumberCase>
{
};

TEST_P(BuiltinTagsByNumbers, AppliesTheBlockSizeRuleAndLeavesTheInfoAlone)
{
    TagInfo info = GetParam().info;
    EXPECT_EQ(GetParam().status, CBuiltinTags::MatchNumbers(&info));
    EXPECT_EQ(0, std::memcmp(&info, &GetParam().info, sizeof info));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, BuiltinTagsByNumbers,
    testing::Values(
        NumberCase{Numbers(0xFFFF, 0, 0, 1, 4), S_OK},   // the block with a size
        NumberCase{Numbers(0xFFFF, 0, 0, 1, 0), E_FAIL}, // the block without
        NumberCase{Numbers(0xFFFF, 0, 0, 3, 0), S_OK},   // either size accepted
        NumberCase{Numbers(0xFFFF, 0, 0, 3, 9), S_OK}, NumberCase{Numbers(0xFFFF, 0, 0, 4, 0), S_OK},
        NumberCase{Numbers(0xFFFF, 0, 0, 4, 2), E_FAIL}, // a single value with a size
        NumberCase{Numbers(0xFFFF, 1, 0, 4, 0), E_FAIL}, // N2 must be 0
        NumberCase{Numbers(0, 0, 0, 4, 0), E_FAIL},      // N1 must be 0xFFFF
        NumberCase{Numbers(0xFFFF, 0, 0, 5, 0), S_OK}, NumberCase{Numbers(0xFFFF, 0, 3, 6, 0), S_OK},
        NumberCase{Numbers(0xFFFF, 0, 4, 2, 0), E_FAIL}, NumberCase{Numbers(0xFFFF, 0, 0, 1104, 0), E_FAIL}));

TEST(BuiltinTags, NumberLookupKeepsTheLastRowOfAPair)
{
    const SBuiltinTag* row = CBuiltinTags::FindByNumbers(0, 5);
    ASSERT_NE(nullptr, row);
    EXPECT_STREQ("IO.RAS.CommandTimeoutSec", row->name);
    EXPECT_EQ(E_POINTER, CBuiltinTags::MatchNumbers(nullptr));
}

TEST(BuiltinTags, TableHoldsEveryRowOfEachFolder)
{
    std::map<uint8_t, int> perFolder;
    for (const SBuiltinTag& row : CBuiltinTags::Rows())
    {
        ++perFolder[row.folder];
        EXPECT_EQ(BUILTIN_N1, row.n1) << row.name;
        EXPECT_EQ(BUILTIN_N2, row.n2) << row.name;
        EXPECT_STRNE("", CBuiltinTags::Text(row.helpText)) << row.name;
        EXPECT_EQ(row.IsBlock() ? 4u : 0u, row.elements.size()) << row.name;
        for (const SBuiltinElement& element : row.elements)
            EXPECT_STRNE("", CBuiltinTags::Text(element.helpText)) << element.name;
        if (row.folder == BUILTIN_FOLDER_PARAMETERS)
        {
            EXPECT_EQ(35, row.flags) << row.name;
            EXPECT_EQ(5, row.n4) << row.name;
        }
    }
    const std::map<uint8_t, int> expected{{BUILTIN_FOLDER_GENERAL, 4},
                                          {BUILTIN_FOLDER_MODEM, 7},
                                          {BUILTIN_FOLDER_ETHERNET, 2},
                                          {BUILTIN_FOLDER_PARAMETERS, 59},
                                          {BUILTIN_FOLDER_STATISTICS, 9}};
    EXPECT_EQ(expected, perFolder);
}

TEST(BuiltinTags, TextsByNumber)
{
    EXPECT_STREQ("General", CBuiltinTags::Text(50052));
    EXPECT_STREQ("Statistics", CBuiltinTags::Text(50120));
    EXPECT_STREQ("Dravo specific tags", CBuiltinTags::Text(50063));
    EXPECT_STREQ("UDP multicast group IPv4 address", CBuiltinTags::Text(50130));
    EXPECT_STREQ(
        "Defines the type of physical interface used by the driver: \"Serial\", \"Modem\", \"Ethernet\" or "
        "\"RAS\"",
        CBuiltinTags::Text(50005));
    EXPECT_NE(nullptr, std::strstr(CBuiltinTags::Text(50001), "N4=4).\n\nAre you sure"));
    EXPECT_STREQ("", CBuiltinTags::Text(50000));
    EXPECT_STREQ("", CBuiltinTags::Text(50077));
}

// ---------------------------------------------------------------------------------------
// Browser import

// One add call as the browser saw it.
struct SRecord
{
    std::string parent; // name of the node it was added to ("" for the root)
    BrowseEntry entry;  // raw copy, pointers cleared
    std::string name, description, item;
    bool childRequested;
};

class CRecordingBrowser : public TIOUnknown<IIOTagBrowser>
{
public:
    CRecordingBrowser(std::string name, std::vector<SRecord>* records, std::vector<std::string> refused)
        : m_name(std::move(name)), m_records(records), m_refused(std::move(refused))
    {
    }

    HRESULT Add(const BrowseEntry* entry, IIOTagBrowser** child, uint32_t reserved) override
    {
        EXPECT_EQ(0u, reserved);
        SRecord record{
            m_name, *entry, Text(entry->name), Text(entry->description), Text(entry->item), child != nullptr};
        record.entry.name = record.entry.description = record.entry.item = nullptr;
        m_records->push_back(record);
        for (const std::string& refused : m_refused)
            if (refused == record.name)
                return E_FAIL;
        if (child)
        {
            m_children.push_back(
                TIOPtr<CRecordingBrowser>::Adopt(new CRecordingBrowser(record.name, m_records, m_refused)));
            *child = TIOPtr<IIOTagBrowser>(m_children.back().Get()).Detach();
        }
        return S_OK;
    }

    // True when this node and every node below it are held only by their parent.
    bool OnlyTreeReferences() const
    {
        for (const auto& c : m_children)
            if (c->RefCount() != 1 || !c->OnlyTreeReferences())
                return false;
        return true;
    }

private:
    static std::string Text(const char16_t* text) { return text ? Utf16ToUtf8(text) : std::string("<none>"); }

    std::string m_name;
    std::vector<SRecord>* m_records;
    std::vector<std::string> m_refused;
    std::vector<TIOPtr<CRecordingBrowser>> m_children;
};

std::vector<SRecord> Import(std::vector<std::string> refused = {})
{
    std::vector<SRecord> records;
    TIOPtr<CRecordingBrowser> root =
        TIOPtr<CRecordingBrowser>::Adopt(new CRecordingBrowser("", &records, refused));
    CBuiltinTags::ImportTags(root.Get());
    EXPECT_TRUE(root->OnlyTreeReferences());
    return records;
}

const SRecord* FindRecord(const std::vector<SRecord>& records, const std::string& name)
{
    for (const SRecord& r : records)
        if (r.name == name)
            return &r;
    return nullptr;
}

TEST(BuiltinTagsImport, EveryRecordIsWellFormed)
{
    const std::vector<SRecord> records = Import();
    ASSERT_EQ(1u + 5u + 81u + 4u, records.size());
    for (const SRecord& r : records)
    {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(BROWSE_ENTRY_SIZE, r.entry.recordSize);
        EXPECT_EQ(0u, r.entry.zero8);
        EXPECT_EQ(0u, r.entry.zero16);
        EXPECT_EQ(0u, r.entry.zero24[0] | r.entry.zero24[1] | r.entry.zero24[2]);
        EXPECT_EQ(0u, r.entry.zero40);
        for (uint8_t b : r.entry.zero52)
            EXPECT_EQ(0, b);
        const bool addressable = r.entry.kind == BROWSE_TAG || r.entry.kind == BROWSE_BLOCK;
        EXPECT_EQ(addressable ? r.name : "<none>", r.item);
        EXPECT_EQ(r.entry.kind == BROWSE_FOLDER || r.entry.kind == BROWSE_BLOCK, r.childRequested);
        if (!addressable)
        {
            EXPECT_EQ(0u, r.entry.access);
        }
    }
}

TEST(BuiltinTagsImport, TreeOrderAndRecordsOfTheGeneralFolder)
{
    const std::vector<SRecord> records = Import();
    ASSERT_GE(records.size(), 13u);
    struct Expected
    {
        const char* parent;
        uint32_t kind;
        const char* name;
        uint32_t access;
        uint32_t sizeOrIndex;
    };
    const Expected head[] = {
        {"", BROWSE_FOLDER, "Dravo", 0, 0},
        {"Dravo", BROWSE_FOLDER, "General", 0, 0},
        {"General", BROWSE_BLOCK, "IO.DravoEvent", TAG_INFO_NOT_WRITABLE, 4},
        {"IO.DravoEvent", BROWSE_ELEMENT, "EventType", 0, 0},
        {"IO.DravoEvent", BROWSE_ELEMENT, "EventSource", 0, 1},
        {"IO.DravoEvent", BROWSE_ELEMENT, "ErrorNumber", 0, 2},
        {"IO.DravoEvent", BROWSE_ELEMENT, "EventDescription", 0, 3},
        {"General", BROWSE_TAG, "IO.PhysicalLayerStatus", TAG_INFO_NOT_WRITABLE, 0},
        {"General", BROWSE_TAG, "IO.SetConfigurationParameters", TAG_INFO_NOT_READABLE, 0},
        {"General", BROWSE_TAG, "IO.WorkOnline", 0, 0},
        {"Dravo", BROWSE_FOLDER, "Modem", 0, 0},
        {"Modem", BROWSE_TAG, "IO.TAPI.PhoneNumber", 0, 0},
        {"Modem", BROWSE_TAG, "IO.TAPI.Dial", TAG_INFO_NOT_READABLE, 0},
    };
    for (size_t i = 0; i < std::size(head); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(head[i].parent, records[i].parent);
        EXPECT_EQ(head[i].kind, records[i].entry.kind);
        EXPECT_EQ(head[i].name, records[i].name);
        EXPECT_EQ(head[i].access, records[i].entry.access);
        EXPECT_EQ(head[i].sizeOrIndex, records[i].entry.sizeOrIndex);
    }
    EXPECT_EQ("Dravo specific tags", records[0].description);
    EXPECT_EQ("General Tags", records[1].description);
    EXPECT_EQ("The type of event:  0 = information;  1 = warning;  2 = error", records[3].description);
    EXPECT_EQ("Sets the physical layer online/offline", records[9].description);

    std::vector<std::string> folders;
    for (const SRecord& r : records)
        if (r.parent == "Dravo")
            folders.push_back(r.name);
    EXPECT_EQ((std::vector<std::string>{"General", "Modem", "Ethernet", "Parameters", "Statistics"}),
              folders);

    const SRecord* key = FindRecord(records, "IO.RAS.CommandTimeoutSec");
    ASSERT_NE(nullptr, key);
    EXPECT_EQ("Parameters", key->parent);
    EXPECT_EQ("Number of seconds to wait for the \"CONNECT\" message in response to the AT command.",
              key->description);
    EXPECT_EQ("Statistics", records.back().parent);
    EXPECT_EQ("IO.Stats.Partial.TimeDisconnectedSeconds", records.back().name);
}

TEST(BuiltinTagsImport, RefusedFolderOrBlockSkipsItsEntries)
{
    const std::vector<SRecord> records = Import({"Modem", "IO.DravoEvent"});
    EXPECT_EQ(1u + 5u + 81u - 7u, records.size());
    EXPECT_EQ(nullptr, FindRecord(records, "IO.TAPI.Dial"));
    EXPECT_EQ(nullptr, FindRecord(records, "EventType"));
    EXPECT_NE(nullptr, FindRecord(records, "IO.Ethernet.IPSwitch"));
}

TEST(BuiltinTagsImport, RefusedRootAddsNothingBelowIt)
{
    EXPECT_EQ(1u, Import({"Dravo"}).size());
    EXPECT_EQ(E_POINTER, CBuiltinTags::ImportTags(nullptr));
}
} // namespace
