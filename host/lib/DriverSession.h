// One driver instance driven the way a SCADA host drives it: settings handed over with
// drvSetSettingsHandle, tags validated and subscribed through the instance's interfaces,
// reads and writes through drvIO. The plain services act on the library's default
// instance, and so does this session.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dravo/IOServices.h"
#include "lib/DriverLibrary.h"
#include "lib/HostSettings.h"
#include "lib/HostValue.h"

// The host's notification callback: forwards each notification to a function. It runs
// on the driver's threads, so the function must be thread-safe.
class CAdviseCallback : public TIOUnknown<IIOAdviseCallback>
{
public:
    using Handler = std::function<void(uint32_t callbackNumber, HVALUE value, uint32_t flags)>;
    explicit CAdviseCallback(Handler handler) : m_handler(std::move(handler)) {}
    HRESULT Notify(uint32_t callbackNumber, HVALUE value, uint32_t flags) override;

private:
    Handler m_handler;
};

class CDriverSession
{
public:
    explicit CDriverSession(const CDriverLibrary& library) : m_library(library) {}
    // Stops communication when it runs; subscriptions should be stopped before.
    ~CDriverSession();
    CDriverSession(const CDriverSession&) = delete;
    CDriverSession& operator=(const CDriverSession&) = delete;

    // Takes the default instance and its tag interfaces.
    bool Open(std::string& error);

    // Gives the driver its configuration: the driver's defaults with `settings` on top, so
    // defaults and key migrations apply. On success `settings` holds the configuration the
    // driver ended up with.
    bool ApplySettings(CHostSettings& settings, std::string& error);

    bool StartComm(std::string& error);
    void StopComm();
    bool Started() const { return m_started; }

    // Validation of an item string (the tag object of `info` is the caller's to release).
    HRESULT Validate(std::string_view item, TagInfo& info) const;
    // Subscribes a driver tag under `number`; framework tags ("IO.") cannot be subscribed.
    HRESULT Subscribe(std::string_view item, IIOAdviseCallback* callback, uint32_t number, uint32_t scanMs = 1000);
    HRESULT Unsubscribe(uint32_t number);

    // One read or write of a tag by its item string through drvIO. A failure is described
    // in `error` (with the driver's status text when it gave one).
    bool Read(std::string_view item, HVALUE value, std::string& error);
    bool Write(std::string_view item, HVALUE value, std::string& error);

    // drvGetStatus / drvSetStatus.
    bool GetStatus(const std::string& name, HVALUE value);
    bool SetStatus(const std::string& name, HVALUE value);

    // The framework's tag tree as the browser import delivers it, as indented text.
    bool TagTreeText(std::string& text, std::string& error);

private:
    bool Transfer(std::string_view item, HVALUE value, bool write, std::string& error);

    const CDriverLibrary& m_library;
    TIOPtr<IIODriverInstance> m_instance;
    TIOPtr<IIOParseTag> m_parse;
    TIOPtr<IIOAdviseTag> m_advise;
    TIOPtr<IIOImportTags> m_import;
    // The host owns the settings value for as long as the driver may use it.
    CHostValue m_settings{nullptr};
    bool m_started = false;
};

// "0x80004005" for log-style status texts.
std::string StatusText(HRESULT status);
