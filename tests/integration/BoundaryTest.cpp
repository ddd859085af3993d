// The driver library seen from a host: loaded with dlopen, reached only through its
// exports, EnumServices and the instance interfaces.
#include <gtest/gtest.h>

#include <string>

#include "dravo/IOServices.h"
#include "dravo/hvalue.h"
#include "lib/DriverLibrary.h"
#include "platform/ModulePath.h"
#include "platform/Text.h"
#include "support/TestHelpers.h"

namespace
{
std::string DriverPath()
{
    const std::string bin = BinDir();
    return JoinPath(bin.empty() ? ModuleFolder() : bin, "MQTT.so");
}

class BoundaryTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_driver.Load(DriverPath(), error)) << error;
    }

    CDriverLibrary m_driver;
};

// The host's services object: offers nothing but the unknown triple.
class CBareServices : public TIOUnknown<IIOUnknown>
{
};

// A current-layout read of a driver tag that has not been validated.
TagRequest ReadRequest()
{
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_READ_VALUE;
    r.count = 1;
    r.n1 = 1;
    return r;
}

uint32_t RefCount(IIOUnknown* object)
{
    object->AddRef();
    return object->Release();
}
} // namespace

TEST_F(BoundaryTest, ServiceNamesMatchInAnyLetterCase)
{
    const char* services[] = {"EnumServices", "drvGetDriverName", "drvGetCaps", "drvSetSettingsHandle",
                              "drvDriverDialog", "drvStartComm", "drvStopComm", "drvIO", "drvGetStatus",
                              "drvSetStatus", "drvGetDriverObject", "drvCreateDriverInstance"};
    for (const char* name : services)
    {
        const DrvServiceEntry entry = m_driver.Lookup(name);
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_EQ(m_driver.Lookup(ToUpperAscii(name).c_str()), entry) << name;
        EXPECT_EQ(m_driver.Lookup(ToLowerAscii(name).c_str()), entry) << name;
    }
    EXPECT_EQ(m_driver.Lookup("DrViO"), m_driver.Lookup("drvIO"));

    // The lookup function finds itself, and the record receives the entry too.
    auto enumServices = reinterpret_cast<PFN_EnumServices>(m_driver.Symbol("EnumServices"));
    ServiceLookup lookup{"ENUMSERVICES", nullptr};
    EXPECT_EQ(enumServices(&lookup), reinterpret_cast<DrvServiceEntry>(enumServices));
    EXPECT_EQ(lookup.entry, reinterpret_cast<DrvServiceEntry>(enumServices));
}

TEST_F(BoundaryTest, UnknownNamesFindNothing)
{
    auto enumServices = reinterpret_cast<PFN_EnumServices>(m_driver.Symbol("EnumServices"));
    const char* unknown[] = {"", "drv", "drvIOX", "drvIO ", " drvIO", "drvGetDriverNam", "DravoLibGetVersion", nullptr};
    for (const char* name : unknown)
    {
        ServiceLookup lookup{name, reinterpret_cast<DrvServiceEntry>(enumServices)}; // stale entry
        EXPECT_EQ(enumServices(&lookup), nullptr) << (name ? name : "(null)");
        EXPECT_EQ(lookup.entry, nullptr) << (name ? name : "(null)");
    }
    EXPECT_EQ(enumServices(nullptr), nullptr);
}

TEST_F(BoundaryTest, ExportsGiveNameAndVersionWords)
{
    EXPECT_STREQ(m_driver.DriverName(), "Driver MQTT v1.0.30 (DravoLib v2.0.125)");
    EXPECT_EQ(m_driver.Version(), 0x0200u);
    EXPECT_EQ(m_driver.VersionFull(), 0x0200007Du);
    // The second name is the same function.
    EXPECT_EQ(m_driver.Symbol("DravoLib_v2_0_125"), m_driver.Symbol("DravoLibGetVersion"));
    EXPECT_EQ(reinterpret_cast<void*>(m_driver.Lookup("drvGetDriverName")), m_driver.Symbol("drvGetDriverName"));
    // Only the five exports are visible; the services are reached through EnumServices.
    for (const char* hidden : {"drvIO", "drvGetCaps", "drvStartComm", "CreateDriverFactory", "CDefaultInstance"})
        EXPECT_EQ(m_driver.Symbol(hidden), nullptr) << hidden;
}

TEST_F(BoundaryTest, CapsAreTheSameBeforeAndAfterStart)
{
    EXPECT_EQ(m_driver.Caps(), 47u);
    m_driver.StartComm(1, 2, 3, 4); // whether the start succeeds depends on the configuration
    EXPECT_EQ(m_driver.Caps(), 47u);
    EXPECT_EQ(m_driver.StopComm(1, 2, 3, 4), 1);
    EXPECT_EQ(m_driver.StopComm(1, 2, 3, 4), 1); // nothing running is success too
    EXPECT_EQ(m_driver.Caps(), 47u);
}

TEST_F(BoundaryTest, RequestsBeforeStartFailAndLeaveTheValueAlone)
{
    HVALUE value = hvCreate();
    ASSERT_NE(value, nullptr);
    ASSERT_TRUE(hvSetI32(value, 42));
    TagRequest request = ReadRequest();

    EXPECT_EQ(m_driver.IO(&request, value), -1);
    int32_t seen = 0;
    EXPECT_EQ(hvGetType(value), HV_I32);
    EXPECT_TRUE(hvGetI32(value, &seen));
    EXPECT_EQ(seen, 42);

    EXPECT_EQ(m_driver.IO(nullptr, value), -1);
    EXPECT_EQ(m_driver.IO(&request, nullptr), -1);
    EXPECT_EQ(m_driver.GetStatus("IO.Log.Enable", value), -1);
    EXPECT_EQ(m_driver.SetStatus("IO.Log.Enable", value), -1);
    EXPECT_EQ(m_driver.GetStatus(nullptr, value), -1);
    EXPECT_TRUE(hvGetI32(value, &seen));
    EXPECT_EQ(seen, 42);
    hvRelease(value);
}

TEST_F(BoundaryTest, DriverObjectIsTheDefaultInstanceWithOneMoreReference)
{
    EXPECT_EQ(m_driver.GetDriverObject(nullptr), -1);

    IIODriverInstance* first = nullptr;
    ASSERT_EQ(m_driver.GetDriverObject(&first), 1);
    ASSERT_NE(first, nullptr);
    const uint32_t before = RefCount(first);

    IIODriverInstance* second = reinterpret_cast<IIODriverInstance*>(this); // stale out value
    ASSERT_EQ(m_driver.GetDriverObject(&second), 1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(RefCount(first), before + 1);

    // The object answers what the plain services answer.
    EXPECT_EQ(first->GetCaps(), 47u);
    EXPECT_STREQ(first->GetDriverName(), m_driver.DriverName());
    TagRequest request = ReadRequest();
    HVALUE value = hvCreate();
    EXPECT_EQ(first->IO(&request, value), IO_E_NOT_STARTED);
    EXPECT_EQ(first->IO(nullptr, value), E_POINTER);
    hvRelease(value);

    second->Release();
    EXPECT_EQ(RefCount(first), before);
    first->Release();
}

TEST_F(BoundaryTest, InstanceAnswersItsInterfaces)
{
    IIODriverInstance* instance = nullptr;
    ASSERT_EQ(m_driver.GetDriverObject(&instance), 1);
    const uint32_t refs = RefCount(instance);
    struct Case
    {
        IOGUID iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {IIOUnknown::IID, S_OK},
        {IIODriverInstance::IID, S_OK},
        {IIOParseTag::IID, S_OK},
        {IIOImportTags::IID, S_OK},
        {IIOAdviseTag::IID, S_OK},
        {IIOAdviseCallback::IID, E_NOINTERFACE},
        {IOGUID{0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}}, E_NOINTERFACE},
    };
    for (const Case& c : cases)
    {
        void* out = &out;
        EXPECT_EQ(instance->QueryInterface(c.iid, &out), c.expected) << std::hex << c.iid.data1;
        if (c.expected == S_OK)
        {
            ASSERT_NE(out, nullptr);
            static_cast<IIOUnknown*>(out)->Release();
        }
        else
            EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(instance->QueryInterface(IIODriverInstance::IID, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(instance), refs);

    IIOImportTags* import = nullptr;
    ASSERT_EQ(instance->QueryInterface(IIOImportTags::IID, reinterpret_cast<void**>(&import)), S_OK);
    EXPECT_EQ(import->ImportTags(nullptr), E_POINTER);
    import->Release();
    IIOAdviseTag* advise = nullptr;
    ASSERT_EQ(instance->QueryInterface(IIOAdviseTag::IID, reinterpret_cast<void**>(&advise)), S_OK);
    TagRequest request = ReadRequest();
    EXPECT_EQ(advise->Start(&request, nullptr, 1), E_POINTER);
    advise->Release();
    instance->Release();
}

TEST_F(BoundaryTest, CreatedInstancesAreIndependentAndKeepTheServicesObject)
{
    IIODriverInstance* stale = reinterpret_cast<IIODriverInstance*>(this);
    EXPECT_EQ(m_driver.CreateDriverInstance(nullptr, nullptr), -1);

    IIODriverInstance* own = stale;
    ASSERT_EQ(m_driver.CreateDriverInstance(nullptr, &own), 1);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(own, stale);
    IIODriverInstance* fallback = nullptr;
    ASSERT_EQ(m_driver.GetDriverObject(&fallback), 1);
    EXPECT_NE(own, fallback);
    EXPECT_EQ(RefCount(own), 1u);
    EXPECT_EQ(own->GetCaps(), 47u);
    fallback->Release();
    EXPECT_EQ(own->Release(), 0u);

    auto* services = new CBareServices();
    IIODriverInstance* withServices = nullptr;
    ASSERT_EQ(m_driver.CreateDriverInstance(services, &withServices), 1);
    EXPECT_EQ(RefCount(services), 2u);
    EXPECT_EQ(withServices->Release(), 0u);
    EXPECT_EQ(RefCount(services), 1u);
    services->Release();
}

TEST_F(BoundaryTest, ReloadingGivesAFreshLibrary)
{
    IIODriverInstance* instance = nullptr;
    ASSERT_EQ(m_driver.GetDriverObject(&instance), 1);
    instance->Release();
    m_driver.Unload();
    EXPECT_FALSE(m_driver.IsLoaded());

    std::string error;
    ASSERT_TRUE(m_driver.Load(DriverPath(), error)) << error;
    ASSERT_EQ(m_driver.GetDriverObject(&instance), 1);
    EXPECT_EQ(instance->GetCaps(), 47u);
    instance->Release();
}
