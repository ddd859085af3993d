// Requests through the driver instance: the rebuilding of old layouts, the validation of
// requests that carry numbers only, and tag validation with its log lines.
#include "IOFactoryTestSupport.h"

#include <cstring>

using namespace factory_test;

namespace
{
HVALUE Handle(uintptr_t n)
{
    return reinterpret_cast<HVALUE>(n);
}

struct SOld
{
    bool layoutA;
    uint16_t version;
    uint16_t operation;
    uint16_t size;
    uint32_t andMask = 0;
    uint32_t orMask = 0;
    uint8_t carried[2] = {0, 0};
    HVALUE value = nullptr;
    HVALUE status = nullptr;
};

// An old record in a heap block of exactly its layout's length, so reading past it shows
// under the address sanitizer.
template <class TOld> std::unique_ptr<unsigned char[]> Bytes(const TOld& record, size_t length)
{
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[length]);
    std::memcpy(bytes.get(), &record, length);
    return bytes;
}

std::unique_ptr<unsigned char[]> OldRecord(const SOld& o)
{
    const auto fill = [&](auto& r)
    {
        r.version = o.version;
        r.operation = o.operation;
        r.count = 1;
        r.first = 0;
        r.size = o.size;
        r.n1 = 11;
        r.n2 = 12;
        r.n3 = 13;
        r.n4 = 14;
        r.andMask = o.andMask;
        r.orMask = o.orMask;
        r.value = o.value;
        r.status = o.status;
    };
    if (o.layoutA)
    {
        TagRequestOldA a{};
        fill(a);
        a.carried26 = o.carried[0];
        a.carried27 = o.carried[1];
        return Bytes(a, o.version >= 2 ? sizeof(a) : offsetof(TagRequestOldA, status));
    }
    TagRequestOldB b{};
    fill(b);
    b.carried28 = o.carried[0];
    b.carried29 = o.carried[1];
    return Bytes(b, o.version >= 2 ? sizeof(b) : offsetof(TagRequestOldB, status));
}

const TagRequest* AsRequest(const std::unique_ptr<unsigned char[]>& bytes)
{
    return reinterpret_cast<const TagRequest*>(bytes.get());
}

// A current-layout request of numbers only.
TagRequest Request(uint16_t operation, uint16_t n1, uint16_t n2 = 0, uint16_t n3 = 0, uint16_t n4 = 0,
                   uint16_t size = 0)
{
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = operation;
    r.count = size ? size : 1;
    r.size = size;
    r.n1 = n1;
    r.n2 = n2;
    r.n3 = n3;
    r.n4 = n4;
    return r;
}

// Records every entry; folders and blocks receive the recorder itself as their node.
class CBrowser : public TIOUnknown<IIOTagBrowser>
{
public:
    HRESULT Add(const BrowseEntry* entry, IIOTagBrowser** child, uint32_t) override
    {
        names.push_back(Utf16ToUtf8(entry->name));
        if (child)
        {
            AddRef();
            *child = this;
        }
        return S_OK;
    }
    std::vector<std::string> names;
};
} // namespace

TEST(RebuildTagRequest, OldLayoutsBecomeTheCurrentOne)
{
    struct Case
    {
        const char* what;
        SOld old;
        uint16_t operation;
        uint32_t andMask, orMask;
        uint8_t carried28, carried29;
        HVALUE status;
    };
    const Case cases[] = {
        {"B keeps ReadValue of a block",
         {false, 1, IO_OP_READ_VALUE, 4, 0, 0, {0, 0}, Handle(0x1000)},
         IO_OP_READ_VALUE,
         0,
         0,
         0,
         0,
         nullptr},
        {"A reads a block for ReadValue",
         {true, 1, IO_OP_READ_VALUE, 4, 0, 0, {0, 0}, Handle(0x1000)},
         IO_OP_READ_BLOCK,
         0,
         0,
         0,
         0,
         nullptr},
        {"A keeps ReadValue of one element",
         {true, 1, IO_OP_READ_VALUE, 1, 0, 0, {0, 0}, Handle(0x1000)},
         IO_OP_READ_VALUE,
         0,
         0,
         0,
         0,
         nullptr},
        {"A of version 0",
         {true, 0, IO_OP_READ_VALUE, 2, 0, 0, {0, 0}, Handle(0x1000)},
         IO_OP_READ_BLOCK,
         0,
         0,
         0,
         0,
         nullptr},
        {"B of version 2 brings its status",
         {false, 2, IO_OP_WRITE_VALUE, 0, 0, 0, {0, 0}, Handle(0x1000), Handle(0x2000)},
         IO_OP_WRITE_VALUE,
         0,
         0,
         0,
         0,
         Handle(0x2000)},
        {"A of version 2 brings its status",
         {true, 2, IO_OP_WRITE_BLOCK, 3, 0, 0, {0, 0}, Handle(0x1000), Handle(0x2000)},
         IO_OP_WRITE_BLOCK,
         0,
         0,
         0,
         0,
         Handle(0x2000)},
        {"a masked write is always A",
         {true, 1, IO_OP_MASK_WRITE_VALUE, 0, 0x00FF, 0xAB00, {7, 9}, Handle(0x1000)},
         IO_OP_MASK_WRITE_VALUE,
         0x00FF,
         0xAB00,
         7,
         9,
         nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto bytes = OldRecord(c.old);
        TagRequest rebuilt;
        std::memset(&rebuilt, 0xCD, sizeof(rebuilt));
        ASSERT_EQ(RebuildTagRequest(AsRequest(bytes), &rebuilt), S_OK);
        EXPECT_EQ(+rebuilt.version, TAG_REQUEST_VERSION_REBUILT);
        EXPECT_EQ(+rebuilt.operation, c.operation);
        EXPECT_EQ(+rebuilt.count, 1);
        EXPECT_EQ(+rebuilt.size, c.old.size);
        EXPECT_EQ(+rebuilt.n1, 11);
        EXPECT_EQ(+rebuilt.n4, 14);
        EXPECT_EQ(+rebuilt.andMask, c.andMask);
        EXPECT_EQ(+rebuilt.orMask, c.orMask);
        EXPECT_EQ(+rebuilt.carried28, c.carried28);
        EXPECT_EQ(+rebuilt.carried29, c.carried29);
        EXPECT_EQ(+rebuilt.value, c.old.value);
        EXPECT_EQ(+rebuilt.status, c.status);
        EXPECT_EQ(+rebuilt.scan, 0u);
        EXPECT_EQ(+rebuilt.flags, 0u);
        EXPECT_EQ(+rebuilt.tagObject, nullptr);
        EXPECT_EQ(+rebuilt.device, nullptr);
        EXPECT_EQ(+rebuilt.item, nullptr);
    }
}

TEST(RebuildTagRequest, RecordReadableInNeitherLayoutFails)
{
    // Non-zero where layout B keeps its masks and where layout A keeps its own.
    const auto bytes = OldRecord({false, 1, IO_OP_WRITE_VALUE, 0, 0x01020304, 0, {0, 0}, Handle(0x1000)});
    TagRequest rebuilt{};
    EXPECT_EQ(RebuildTagRequest(AsRequest(bytes), &rebuilt), E_FAIL);
    EXPECT_EQ(RebuildTagRequest(nullptr, &rebuilt), E_POINTER);
}

TEST_F(FactoryTest, RequestsNeedArgumentsAndARunningHost)
{
    Value value = NewValue();
    TagRequest r = Request(IO_OP_READ_VALUE, 1);
    EXPECT_EQ(factory->IO(nullptr, value.get()), E_POINTER);
    EXPECT_EQ(factory->IO(&r, nullptr), E_POINTER);
    EXPECT_EQ(factory->IO(&r, value.get()), IO_E_NOT_STARTED);
}

TEST_F(FactoryTest, ValidatedRequestReachesTheHostAsItIs)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    Value value = NewValue();
    TIOPtr<CTagObject> object = TIOPtr<CTagObject>::Adopt(new CTagObject);
    TagRequest r = Request(IO_OP_WRITE_VALUE, 1, 2, 3, 4);
    r.flags = TAG_REQUEST_VALIDATED;
    r.item = u"topic/a";
    r.tagObject = object.Get();

    EXPECT_EQ(factory->IO(&r, value.get()), S_OK);
    const auto seen = probe.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].item, "topic/a");
    EXPECT_EQ(seen[0].tagObject, object.Get());
    EXPECT_EQ(seen[0].value, value.get());
    EXPECT_EQ(seen[0].version, TAG_REQUEST_VERSION_CURRENT);
    EXPECT_TRUE(factory->itemsValidated.empty());
    EXPECT_TRUE(factory->numbersValidated.empty());
}

TEST_F(FactoryTest, UnvalidatedRequestWithTextsOrObjectNeverReachesTheHost)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    TIOPtr<CTagObject> object = TIOPtr<CTagObject>::Adopt(new CTagObject);
    struct Case
    {
        const char16_t* device;
        const char16_t* item;
        IIOUnknown* tagObject;
        const char* trace;
    };
    const Case cases[] = {
        {nullptr, u"topic", nullptr, "Tag('topic'1.0.0.0).ReadValue = ERROR (hr=8004E004)"},
        {u"dev", nullptr, nullptr, "Tag({dev}''1.0.0.0).ReadValue = ERROR (hr=8004E004)"},
        {u"", u"", object.Get(), "Tag(1.0.0.0.Blob:"},
    };
    for (const Case& c : cases)
    {
        TagRequest r = Request(IO_OP_READ_VALUE, 1);
        r.device = c.device;
        r.item = c.item;
        r.tagObject = c.tagObject;
        Value value = NewValue();
        EXPECT_EQ(factory->IO(&r, value.get()), IO_E_UNVALIDATED_REQUEST) << c.trace;
        bool traced = false;
        for (const std::string& line : Lines("TAG"))
            traced = traced || line.find(c.trace) != std::string::npos;
        EXPECT_TRUE(traced) << c.trace;
    }
    EXPECT_TRUE(probe.Requests().empty());
}

TEST_F(FactoryTest, NumbersOnlyRequestIsValidatedFirst)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    Value value = NewValue();

    // The driver's validation may change the numbers; the caller sees them too.
    TagRequest changed = Request(IO_OP_READ_VALUE, 7, 1, 2, 3);
    changed.size = 5;
    EXPECT_EQ(factory->IO(&changed, value.get()), S_OK);
    ASSERT_EQ(factory->numbersValidated.size(), 1u);
    EXPECT_EQ(+factory->numbersValidated[0].type, HV_HVAL);
    EXPECT_EQ(+factory->numbersValidated[0].size, 0); // not a block operation
    EXPECT_EQ(+changed.n2, 101);

    TagRequest block = Request(IO_OP_READ_BLOCK, 1, 0, 0, 0, 6);
    EXPECT_EQ(factory->IO(&block, value.get()), S_OK);
    ASSERT_EQ(factory->numbersValidated.size(), 2u);
    EXPECT_EQ(+factory->numbersValidated[1].size, 6);

    // A tag object from validation reaches the host but is not left in the caller's record.
    TagRequest withObject = Request(IO_OP_WRITE_VALUE, 8);
    EXPECT_EQ(factory->IO(&withObject, value.get()), S_OK);
    EXPECT_EQ(+withObject.tagObject, nullptr);

    const auto seen = probe.Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].n2, 101);
    EXPECT_EQ(seen[1].operation, IO_OP_READ_BLOCK);
    EXPECT_NE(seen[2].tagObject, nullptr);

    // A request the driver rejects never reaches the host.
    TagRequest rejected = Request(IO_OP_READ_VALUE, 9);
    EXPECT_EQ(factory->IO(&rejected, value.get()), E_FAIL);
    EXPECT_EQ(probe.Requests().size(), 3u);
    EXPECT_TRUE(Contains(Lines("TAG"), "Tag(9.0.0.0).Validate = ERROR (80004005)"));
}

TEST_F(FactoryTest, FrameworkNumbersAreServedByTheHost)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    Value value = I32(3);
    TagRequest events = Request(IO_OP_READ_BLOCK, 0xFFFF, 0, 0, 1, 4);
    EXPECT_EQ(factory->IO(&events, value.get()), S_OK);
    EXPECT_EQ(hvGetType(value.get()), HV_LIST);
    EXPECT_EQ(hvGetListCount(value.get()), 0);

    // The event block without its size is no framework tag.
    TagRequest unsized = Request(IO_OP_READ_BLOCK, 0xFFFF, 0, 0, 1, 0);
    EXPECT_EQ(factory->IO(&unsized, value.get()), E_FAIL);
    EXPECT_TRUE(probe.Requests().empty());
}

TEST_F(FactoryTest, OldRequestsAreRebuiltBeforeAnythingElse)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    Value value = NewValue();
    Value status = NewValue();
    hvSetText(status.get(), "old");

    // The record's own value field is carried along untouched; a fixed one keeps the
    // layouts apart (layout A's value handle lies where layout B has its carried bytes).
    const HVALUE field = Handle(0x1000);
    const auto b = OldRecord({false, 1, IO_OP_READ_VALUE, 4, 0, 0, {0, 0}, field});
    const auto a = OldRecord({true, 1, IO_OP_READ_VALUE, 4, 0, 0, {0, 0}, field});
    const auto a2 = OldRecord({true, 2, IO_OP_WRITE_VALUE, 0, 0, 0, {0, 0}, field, status.get()});
    const auto neither = OldRecord({false, 1, IO_OP_READ_VALUE, 0, 0x01020304, 0, {0, 0}, field});
    for (const auto* record : {&b, &a, &a2})
        EXPECT_EQ(factory->IO(const_cast<TagRequest*>(AsRequest(*record)), value.get()), S_OK);
    EXPECT_EQ(factory->IO(const_cast<TagRequest*>(AsRequest(neither)), value.get()), E_FAIL);

    const auto seen = probe.Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].version, TAG_REQUEST_VERSION_REBUILT);
    EXPECT_EQ(seen[0].operation, IO_OP_READ_VALUE);
    EXPECT_EQ(seen[1].operation, IO_OP_READ_BLOCK);
    EXPECT_EQ(seen[1].size, 4);
    // Without a status handle of its own the request gets an empty one for the call.
    EXPECT_NE(seen[0].status, nullptr);
    EXPECT_EQ(seen[0].statusType, HV_NULL);
    EXPECT_EQ(seen[2].status, status.get());
    EXPECT_EQ(seen[2].statusType, HV_STR);
    const auto lines = Lines("TAG");
    bool readValue = false, readBlock = false;
    for (const std::string& line : lines)
    {
        readValue = readValue || line.find("Tag(11.12.13.14).ReadValue") != std::string::npos;
        readBlock = readBlock || line.find("Tag(11.12.13.14[4]).ReadBlock") != std::string::npos;
    }
    EXPECT_TRUE(readValue);
    EXPECT_TRUE(readBlock);
}

TEST_F(FactoryTest, ValidationMatchesFrameworkTagsThenAsksTheDriver)
{
    struct Case
    {
        const char16_t* device;
        const char16_t* item;
        uint16_t n1, n2, n3, n4, size;
        HRESULT hr;
        uint8_t type;
        uint32_t flags;
        uint16_t outN1, outN4;
        const char* line; // the whole log line, or its start when it ends in '*'
    };
    const Case cases[] = {
        {nullptr, u"io.workonline", 0, 0, 0, 0, 0, S_OK, HV_I32, 0, 0xFFFF, 4,
         "Tag('io.workonline').Validate = Tag('io.workonline'65535.0.0.4) (type=5;flags=0)"},
        {nullptr, u"IO.PhysicalLayerStatus", 0, 0, 0, 0, 0, S_OK, HV_I32, TAG_INFO_NOT_WRITABLE, 0xFFFF, 2,
         "Tag('IO.PhysicalLayerStatus').Validate = Tag('IO.PhysicalLayerStatus'65535.0.0.2) "
         "(type=5;flags=2)"},
        {nullptr, u"goodTopic", 0, 0, 0, 0, 0, S_OK, HV_R64, 0, 1, 4,
         "Tag('goodTopic').Validate = Tag('goodTopic'1.2.3.4.Blob:*"},
        {nullptr, u"bad", 0, 0, 0, 0, 0, IO_E_INVALID_ITEM, HV_HVAL, 0, 0, 0,
         "Tag('bad').Validate = ERROR (8004E007)"},
        {u"dev", nullptr, 0, 0, 0, 0, 0, IO_E_INVALID_ITEM, HV_HVAL, 0, 0, 0,
         "Tag({dev}'').Validate = ERROR (8004E007)"},
        {nullptr, nullptr, 0xFFFF, 0, 0, 1, 4, S_OK, HV_HVAL, 0, 0xFFFF, 1,
         "Tag(65535.0.0.1[4]).Validate = SUCCESS (type=10;flags=0)"},
        {nullptr, nullptr, 0xFFFF, 0, 0, 1, 0, E_FAIL, HV_HVAL, 0, 0xFFFF, 1,
         "Tag(65535.0.0.1).Validate = ERROR (80004005)"},
        {nullptr, nullptr, 0xFFFF, 0, 0, 3, 5, S_OK, HV_HVAL, 0, 0xFFFF, 3,
         "Tag(65535.0.0.3[5]).Validate = SUCCESS (type=10;flags=0)"},
        {nullptr, nullptr, 0xFFFF, 0, 0, 3, 0, S_OK, HV_HVAL, 0, 0xFFFF, 3,
         "Tag(65535.0.0.3).Validate = SUCCESS (type=10;flags=0)"},
        {nullptr, nullptr, 0xFFFF, 1, 0, 4, 0, E_FAIL, HV_HVAL, 0, 0xFFFF, 4,
         "Tag(65535.1.0.4).Validate = ERROR (80004005)"},
        {nullptr, nullptr, 7, 1, 0, 0, 0, S_OK, HV_HVAL, 0, 7, 0,
         "Tag(7.1.0.0).Validate = Tag(7.101.0.0) (type=10;flags=0)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.line);
        TagInfo info{};
        info.type = HV_HVAL;
        info.size = c.size;
        info.n1 = c.n1;
        info.n2 = c.n2;
        info.n3 = c.n3;
        info.n4 = c.n4;
        EXPECT_EQ(factory->Validate(c.device, c.item, &info), c.hr);
        EXPECT_EQ(+info.type, c.type);
        EXPECT_EQ(+info.flags, c.flags);
        EXPECT_EQ(+info.n1, c.outN1);
        EXPECT_EQ(+info.n4, c.outN4);
        if (info.tagObject)
            info.tagObject->Release();

        const std::string expected = c.line;
        const auto lines = Lines("TAG");
        ASSERT_FALSE(lines.empty());
        if (expected.ends_with('*'))
            EXPECT_TRUE(lines.back().starts_with(expected.substr(0, expected.size() - 1))) << lines.back();
        else
            EXPECT_EQ(lines.back(), expected);
    }
    EXPECT_EQ(factory->Validate(u"", u"x", nullptr), E_POINTER);
}

TEST_F(FactoryTest, BrowserReceivesTheFrameworkTreeThenTheDriversTags)
{
    TIOPtr<CBrowser> browser = TIOPtr<CBrowser>::Adopt(new CBrowser);
    EXPECT_EQ(factory->ImportTags(nullptr), E_POINTER);
    EXPECT_EQ(factory->ImportTags(browser.Get()), S_OK);
    ASSERT_GT(browser->names.size(), 2u);
    EXPECT_EQ(browser->names.front(), "Dravo");
    EXPECT_EQ(browser->names.back(), "DriverTag");
    EXPECT_EQ(browser->RefCount(), 1u); // every child node handed out was released
}
