// The driver instance's configuration hand-over, dialog, start and stop, and statuses.
#include "IOFactoryTestSupport.h"

using namespace factory_test;

namespace
{
// The parameters a settings value holds, read through a store of its own.
struct SStored
{
    explicit SStored(CIOGlobals* globals, HVALUE settings) : store(globals) { loaded = store.Load(settings); }

    bool Has(const char* name) const
    {
        CLockGuard guard(store.Lock());
        return store.Find(name) != nullptr;
    }
    std::string Text(const char* name) const
    {
        CLockGuard guard(store.Lock());
        const char* text = nullptr;
        HVALUE v = store.Find(name);
        return v && hvGetText(v, &text) && text ? text : "<none>";
    }

    CConfigData store;
    bool loaded = false;
};

Value StoredConfiguration(CIOGlobals* globals, const std::vector<std::pair<const char*, int32_t>>& parameters)
{
    CConfigData store(globals);
    for (const auto& [name, x] : parameters)
        store.SetI32(name, x);
    Value settings = NewValue();
    EXPECT_TRUE(store.Save(settings.get()));
    return settings;
}
} // namespace

TEST_F(FactoryTest, EmptySettingsReceiveFrameworkThenDriverDefaults)
{
    struct Case
    {
        const char* what;
        std::function<Value()> make;
    };
    const Case cases[] = {
        {"empty value", [] { return NewValue(); }},
        {"not a configuration", [] { return I32(12); }},
        {"configuration without parameters", [&] { return StoredConfiguration(log.Globals(), {}); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Value settings = c.make();
        factory->SetSettingsHandle(settings.get());

        // The driver's defaults overwrite the framework's.
        EXPECT_EQ(factory->Config().GetInteger("IO.TimeoutMs"), 1000);
        EXPECT_EQ(factory->Config().GetInteger("IO.RecoverEnable"), 1);
        EXPECT_EQ(factory->Config().GetInteger("IO.Serial.Baudrate"), 9600);

        const SStored saved(log.Globals(), settings.get());
        ASSERT_TRUE(saved.loaded);
        EXPECT_EQ(saved.store.Count(), factory->Config().Count());
        EXPECT_EQ(saved.store.GetInteger("IO.TimeoutMs"), 1000);
        EXPECT_EQ(saved.store.GetInteger("IO.RecoverPeriodSec"), 20);
        EXPECT_EQ(saved.Text("Test.Driver"), "defaults");
        factory->SetSettingsHandle(nullptr);
    }
}

TEST_F(FactoryTest, LegacyKeysAreRenamedAndSavedOnlyWithTheOldTimeout)
{
    Value legacy = StoredConfiguration(log.Globals(), {{"IO.msTimeout", 3000}, {"IO.RecoverPeriod", 7}});
    factory->SetSettingsHandle(legacy.get());
    EXPECT_EQ(factory->Config().GetInteger("IO.TimeoutMs"), 3000);
    EXPECT_EQ(factory->Config().GetInteger("IO.RecoverPeriodSec"), 7);
    const SStored saved(log.Globals(), legacy.get());
    EXPECT_FALSE(saved.Has("IO.msTimeout"));
    EXPECT_FALSE(saved.Has("IO.RecoverPeriod"));
    EXPECT_EQ(saved.store.GetInteger("IO.TimeoutMs"), 3000);
    EXPECT_EQ(saved.store.GetInteger("IO.RecoverPeriodSec"), 7);
    EXPECT_EQ(saved.store.Count(), 2u);

    // Without the old timeout nothing is renamed, and no defaults are added.
    Value partial = StoredConfiguration(log.Globals(), {{"IO.RecoverPeriod", 7}});
    factory->SetSettingsHandle(partial.get());
    EXPECT_EQ(factory->Config().Count(), 1u);
    EXPECT_EQ(factory->Config().GetInteger("IO.RecoverPeriod"), 7);
    EXPECT_TRUE(SStored(log.Globals(), partial.get()).Has("IO.RecoverPeriod"));
}

TEST_F(FactoryTest, SettingsValueIsHeldOnceAndNullClearsTheStore)
{
    Value settings = NewValue();
    HVALUE raw = settings.get();
    factory->SetSettingsHandle(raw);
    // The same value again must not lose the instance's only reference on the way.
    hvRelease(settings.release());
    factory->SetSettingsHandle(raw);
    EXPECT_GT(factory->Config().Count(), 0u);
    EXPECT_EQ(hvGetType(raw), HV_HVAL | HV_ARRAY);

    factory->SetSettingsHandle(nullptr); // drops the last reference
    EXPECT_EQ(factory->Config().Count(), 0u);
}

TEST_F(FactoryTest, CancelledDialogReloadsTheStoreFromTheSettings)
{
    Value settings = StoredConfiguration(log.Globals(), {{"IO.TimeoutMs", 500}});
    factory->SetSettingsHandle(settings.get());
    factory->Config().SetI32("IO.TimeoutMs", 1); // an edit never saved: dropped by the dialog
    factory->pageCount = 2;
    factory->onDialog = [](CConfigData& store)
    {
        EXPECT_EQ(store.GetInteger("IO.TimeoutMs"), 500);
        store.SetI32("IO.TimeoutMs", 9);
        store.SetI32("IO.Extra", 1);
    };
    int parent = 0;

    EXPECT_EQ(factory->DriverDialog(&parent), E_FAIL);
    EXPECT_EQ(factory->dialogTitle, "Driver MQTT v1.0.30 (Dravo v2.0.125)");
    EXPECT_EQ(factory->dialogParent, &parent);
    EXPECT_EQ(factory->dialogPages, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(probe.pagesAlive, 0);
    EXPECT_EQ(factory->Config().GetInteger("IO.TimeoutMs"), 500);
    EXPECT_EQ(factory->Config().Count(), 1u);
    EXPECT_EQ(SStored(log.Globals(), settings.get()).store.GetInteger("IO.TimeoutMs"), 500);
}

TEST_F(FactoryTest, ConfirmedDialogSavesTheStore)
{
    Value settings = StoredConfiguration(log.Globals(), {{"IO.TimeoutMs", 500}});
    factory->SetSettingsHandle(settings.get());
    factory->dialogResult = S_OK;
    factory->onDialog = [](CConfigData& store) { store.SetI32("IO.TimeoutMs", 9); };

    EXPECT_EQ(factory->DriverDialog(nullptr), S_OK);
    EXPECT_EQ(SStored(log.Globals(), settings.get()).store.GetInteger("IO.TimeoutMs"), 9);

    // Confirmed edits with nowhere to go are not reported as saved.
    factory->SetSettingsHandle(nullptr);
    EXPECT_EQ(factory->DriverDialog(nullptr), E_FAIL);
}

TEST_F(FactoryTest, DialogWithoutToolkitEndsCancelled)
{
    // The framework's own dialog has no toolkit: the base answers as a cancelled dialog.
    class CPlainFactory : public CIOFactory
    {
    public:
        explicit CPlainFactory(CIOGlobals* globals) : CIOFactory(globals) {}
    };
    TIOPtr<CPlainFactory> plain = TIOPtr<CPlainFactory>::Adopt(new CPlainFactory(log.Globals()));
    Value settings = StoredConfiguration(log.Globals(), {{"IO.TimeoutMs", 500}});
    plain->SetSettingsHandle(settings.get());
    plain->Config().SetI32("IO.TimeoutMs", 1);
    EXPECT_EQ(plain->DriverDialog(nullptr), E_FAIL);
    EXPECT_EQ(plain->Config().GetInteger("IO.TimeoutMs"), 500);
}

TEST_F(FactoryTest, StartMakesAHostAndStopReleasesIt)
{
    EXPECT_EQ(factory->StopComm(0, 0, 0, 0), S_FALSE);
    EXPECT_EQ(factory->StartComm(1, 2, 3, 4), S_OK); // "IO.Type" absent: offline, no interface
    ASSERT_NE(RunningHost(), nullptr);
    EXPECT_EQ(probe.hostsAlive, 1);

    // A second start replaces the running host.
    EXPECT_EQ(factory->StartComm(5, 6, 7, 8), S_OK);
    EXPECT_EQ(probe.hostsMade, 2);
    EXPECT_EQ(probe.hostsStopped, 1);
    EXPECT_EQ(probe.hostsAlive, 1);

    EXPECT_EQ(factory->StopComm(9, 10, 11, 12), S_OK);
    EXPECT_EQ(factory->Host().Get(), nullptr);
    EXPECT_EQ(probe.hostsStopped, 2);
    EXPECT_EQ(probe.hostsAlive, 0);
    EXPECT_EQ(factory->StopComm(0, 0, 0, 0), S_FALSE);

    const auto lines = Lines("DRIVER");
    const std::vector<std::string> expected = {"drvStartComm(1,2,3,4)", "drvStopComm(5,6,7,8)",
                                               "drvStartComm(5,6,7,8)", "drvStopComm(9,10,11,12)"};
    std::vector<std::string> comm;
    for (const std::string& l : lines)
        if (l.starts_with("drvStartComm") || l.starts_with("drvStopComm"))
            comm.push_back(l);
    EXPECT_EQ(comm, expected);
    EXPECT_TRUE(Contains(lines, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"));
}

TEST_F(FactoryTest, StartOfflineDumpsTheConfigurationAndSucceeds)
{
    factory->Config().SetI32("IO.StartOffline", 1);
    factory->Config().SetText("IO.Type", "Ethernet");
    EXPECT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    ASSERT_NE(RunningHost(), nullptr);
    EXPECT_FALSE(RunningHost()->IsOnline());
    factory->StopComm(0, 0, 0, 0);

    const auto lines = Lines("DRIVER");
    auto at = [&](const std::string& prefix)
    {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].starts_with(prefix))
                return static_cast<int>(i);
        return -1;
    };
    const int offline = at("I/O Interface not activated, the driver is OFFLINE!!!");
    const int dump = at("Current configuration (");
    ASSERT_GE(offline, 0);
    ASSERT_GE(dump, 0);
    EXPECT_LT(offline, dump);
    EXPECT_TRUE(Contains(lines, "  - IO.StartOffline = 1"));
    EXPECT_TRUE(Contains(lines, "  - IO.Type = 'Ethernet'"));
}

TEST_F(FactoryTest, FailedStartsLeaveTheInstanceStopped)
{
    probe.failCreateHost = true;
    EXPECT_EQ(factory->StartComm(0, 0, 0, 0), E_OUTOFMEMORY);
    EXPECT_EQ(factory->Host().Get(), nullptr);

    probe.failCreateHost = false;
    factory->Config().SetText("IO.Type", "Serial");
    EXPECT_EQ(factory->StartComm(0, 0, 0, 0), E_FAIL);
    EXPECT_EQ(factory->Host().Get(), nullptr);
    EXPECT_EQ(probe.hostsStopped, 1);
    EXPECT_EQ(probe.hostsAlive, 0);
    EXPECT_TRUE(Contains(Lines("DRIVER"), "Failed do create I/O Interface (hr = 80004005)"));

    // The next start tries again.
    factory->Config().SetText("IO.Type", "None");
    EXPECT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_NE(factory->Host().Get(), nullptr);
}

TEST_F(FactoryTest, StatusesNeedARunningHost)
{
    Value value = I32(5);
    EXPECT_EQ(factory->GetStatus(nullptr, value.get()), E_POINTER);
    EXPECT_EQ(factory->SetStatus("LOG", nullptr), E_POINTER);
    EXPECT_EQ(factory->GetStatus("LOG", value.get()), IO_E_NOT_STARTED);
    EXPECT_EQ(factory->SetStatus("LOG", value.get()), IO_E_NOT_STARTED);

    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(factory->GetStatus("LOGFILE", value.get()), S_OK);
    const char* text = nullptr;
    ASSERT_TRUE(hvGetText(value.get(), &text));
    EXPECT_EQ(std::string(text), log.Path().string());
    EXPECT_EQ(factory->SetStatus("NoSuchStatus", value.get()), E_INVALIDARG);
}

TEST_F(FactoryTest, ReleasingARunningInstanceStopsItsHost)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    factory = nullptr;
    EXPECT_EQ(probe.hostsStopped, 1);
    EXPECT_EQ(probe.hostsAlive, 0);
}
