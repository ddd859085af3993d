#include "core/BuiltinTags.h"

#include "dravo/hvalue.h"
#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <string>

namespace
{
constexpr SBuiltinElement kDravoEventElements[] = {
    {"EventType", 50059},
    {"EventSource", 50060},
    {"ErrorNumber", 50061},
    {"EventDescription", 50062},
};

// Configuration keys: readable, writable and carrying bit 5; the item text alone selects the
// key, so all of them share the address -1, 0, 0, 5.
constexpr SBuiltinTag Parameter(const char* name, uint8_t type, uint32_t helpText)
{
    return {BUILTIN_FOLDER_PARAMETERS, name, helpText, type, 35, 0, BUILTIN_N1, BUILTIN_N2, 0, 5, {}};
}

// clang-format off
constexpr SBuiltinTag kRows[] = {
    {BUILTIN_FOLDER_GENERAL, "IO.DravoEvent", 50058, HV_HVAL, 9, 4, BUILTIN_N1, BUILTIN_N2, 0, 1, kDravoEventElements},
    {BUILTIN_FOLDER_GENERAL, "IO.PhysicalLayerStatus", 50002, HV_I32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 2, {}},
    {BUILTIN_FOLDER_GENERAL, "IO.SetConfigurationParameters", 50003, HV_HVAL, 6, 0, BUILTIN_N1, BUILTIN_N2, 0, 3, {}},
    {BUILTIN_FOLDER_GENERAL, "IO.WorkOnline", 50004, HV_I32, 3, 0, BUILTIN_N1, BUILTIN_N2, 0, 4, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.PhoneNumber", 50045, HV_STR, 3, 0, BUILTIN_N1, BUILTIN_N2, 3, 0, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.Dial", 50046, HV_HVAL, 18, 0, BUILTIN_N1, BUILTIN_N2, 3, 1, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.ModemStatus", 50047, HV_STR, 1, 0, BUILTIN_N1, BUILTIN_N2, 3, 2, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.IsModemConnected", 50048, HV_U16, 1, 0, BUILTIN_N1, BUILTIN_N2, 3, 3, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.HangUp", 50049, HV_HVAL, 18, 0, BUILTIN_N1, BUILTIN_N2, 3, 4, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.ConnectionBaudRate", 50050, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 3, 5, {}},
    {BUILTIN_FOLDER_MODEM, "IO.TAPI.IsModemConnecting", 50051, HV_U16, 1, 0, BUILTIN_N1, BUILTIN_N2, 3, 6, {}},
    {BUILTIN_FOLDER_ETHERNET, "IO.Ethernet.IPSelect", 50055, HV_I32, 3, 0, BUILTIN_N1, BUILTIN_N2, 4, 0, {}},
    {BUILTIN_FOLDER_ETHERNET, "IO.Ethernet.IPSwitch", 50056, HV_HVAL, 18, 0, BUILTIN_N1, BUILTIN_N2, 4, 1, {}},
    Parameter("IO.Type", HV_STR, 50005),
    Parameter("IO.TimeoutMs", HV_U32, 50006),
    Parameter("IO.StartOffline", HV_I32, 50007),
    Parameter("IO.ConnectionMode", HV_U32, 50008),
    Parameter("IO.RecoverEnable", HV_I32, 50009),
    Parameter("IO.RecoverPeriodSec", HV_U32, 50010),
    Parameter("IO.GiveUpEnable", HV_I32, 50011),
    Parameter("IO.GiveUpTries", HV_U32, 50012),
    Parameter("IO.InactivityEnable", HV_I32, 50013),
    Parameter("IO.InactivityPeriodSec", HV_U32, 50014),
    Parameter("IO.Log.Enable", HV_I32, 50015),
    Parameter("IO.Log.Filename", HV_STR, 50016),
    Parameter("IO.Serial.Port", HV_U32, 50017),
    Parameter("IO.Serial.Baudrate", HV_U32, 50018),
    Parameter("IO.Serial.DataBits", HV_U32, 50019),
    Parameter("IO.Serial.StopBits", HV_U32, 50020),
    Parameter("IO.Serial.Parity", HV_U32, 50021),
    Parameter("IO.Serial.RTS", HV_I32, 50022),
    Parameter("IO.Serial.DTR", HV_I32, 50023),
    Parameter("IO.Serial.DelayBeforeMs", HV_U32, 50024),
    Parameter("IO.Serial.DelayAfterMs", HV_U32, 50025),
    Parameter("IO.Serial.CTSTimeoutMs", HV_U32, 50026),
    Parameter("IO.Serial.WaitCTS", HV_I32, 50027),
    Parameter("IO.Serial.InterbyteDelayUs", HV_U32, 50028),
    Parameter("IO.Serial.InterframeDelayMs", HV_U32, 50068),
    Parameter("IO.Serial.SupressEcho", HV_I32, 50069),
    Parameter("IO.TAPI.AcceptIncoming", HV_I32, 50029),
    Parameter("IO.TAPI.PhoneNumber", HV_STR, 50030),
    Parameter("IO.TAPI.ModemID", HV_U32, 50031),
    Parameter("IO.Ethernet.MainIP", HV_STR, 50032),
    Parameter("IO.Ethernet.MainPort", HV_U32, 50033),
    Parameter("IO.Ethernet.MainLocalPortEnable", HV_I32, 50071),
    Parameter("IO.Ethernet.MainLocalPort", HV_U32, 50072),
    Parameter("IO.Ethernet.BackupEnable", HV_I32, 50034),
    Parameter("IO.Ethernet.BackupIP", HV_STR, 50035),
    Parameter("IO.Ethernet.BackupPort", HV_U32, 50036),
    Parameter("IO.Ethernet.BackupLocalPortEnable", HV_I32, 50073),
    Parameter("IO.Ethernet.BackupLocalPort", HV_U32, 50074),
    Parameter("IO.Ethernet.BackupEnable2", HV_I32, 50081),
    Parameter("IO.Ethernet.BackupIP2", HV_STR, 50082),
    Parameter("IO.Ethernet.BackupPort2", HV_U32, 50083),
    Parameter("IO.Ethernet.BackupLocalPortEnable2", HV_I32, 50084),
    Parameter("IO.Ethernet.BackupLocalPort2", HV_U32, 50085),
    Parameter("IO.Ethernet.BackupEnable3", HV_I32, 50086),
    Parameter("IO.Ethernet.BackupIP3", HV_STR, 50087),
    Parameter("IO.Ethernet.BackupPort3", HV_U32, 50088),
    Parameter("IO.Ethernet.BackupLocalPortEnable3", HV_I32, 50089),
    Parameter("IO.Ethernet.BackupLocalPort3", HV_U32, 50090),
    Parameter("IO.Ethernet.PingEnable", HV_I32, 50037),
    Parameter("IO.Ethernet.PingTimeoutMs", HV_U32, 50038),
    Parameter("IO.Ethernet.PingTries", HV_U32, 50039),
    Parameter("IO.Ethernet.Transport", HV_STR, 50040),
    Parameter("IO.Ethernet.AcceptConnection", HV_I32, 50041),
    Parameter("IO.Ethernet.ListenPort", HV_U32, 50042),
    Parameter("IO.Ethernet.ListenIP", HV_STR, 50076),
    Parameter("IO.Ethernet.ShareListenPort", HV_I32, 50075),
    Parameter("IO.Ethernet.SupressEcho", HV_I32, 50070),
    Parameter("IO.RAS.ATCommand", HV_STR, 50043),
    Parameter("IO.RAS.CommandTimeoutSec", HV_U32, 50044),
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Total.BytesSent", 50104, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1000, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Total.BytesRecv", 50106, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1001, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Total.TimeConnectedSeconds", 50108, HV_R64, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1002, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Total.TimeDisconnectedSeconds", 50110, HV_R64, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1003, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Total.ConnectionCount", 50112, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1004, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Partial.BytesSent", 50115, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1100, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Partial.BytesRecv", 50117, HV_U32, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1101, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Partial.TimeConnectedSeconds", 50118, HV_R64, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1102, {}},
    {BUILTIN_FOLDER_STATISTICS, "IO.Stats.Partial.TimeDisconnectedSeconds", 50124, HV_R64, 1, 0, BUILTIN_N1, BUILTIN_N2, 0, 1103, {}},
};

struct SText
{
    uint32_t number;
    const char* text;
};

// Sorted by number.
constexpr SText kTexts[] = {
    {50001, "You configured the driver to start OFFLINE. This means the driver will not perform any I/O unless you explicitly set it ONLINE (write 1 to tag N1=-1; N2=0; N3=0; N4=4).\n\nAre you sure you want the driver to start OFFLINE?"},
    {50002, "Reports the status of the physical layer"},
    {50003, "Sets one or more configuration parameters"},
    {50004, "Sets the physical layer online/offline"},
    {50005, "Defines the type of physical interface used by the driver: \"Serial\", \"Modem\", \"Ethernet\" or \"RAS\""},
    {50006, "Defines the physical layer timeout (in milliseconds; 1 second = 1000)."},
    {50007, "TRUE to start the driver offline, FALSE to start the driver online."},
    {50008, "Controls the Connection management mode: 0 = automatic mode (the driver manages the connection); 1 = manual mode (the application manages the connection)"},
    {50009, "TRUE to enable the driver to recover lost connections, FALSE to make the driver go OFFLINE when a connection is lost."},
    {50010, "Number of seconds to wait between two reconnection tries. NOTE: the first reconnection is done immediately after the connection is lost."},
    {50011, "TRUE to define a maximum number of reconnection tries. If all reconnections fail the driver will be placed OFFLINE. If set to FALSE the driver will try until a reconnection succeedes."},
    {50012, "Number of reconnection tries before aborting the reconnection. For example, if you specify 1, then the driver will try only one reconnection when the connection is lost. If it fails the driver will be placed OFFLINE."},
    {50013, "TRUE to enable, FALSE to disable inactivity detection. The physical layer will be disconnected if inactive for a period of time. It is considered inactive only if it capable of sending data but does not receive any data back."},
    {50014, "Number of seconds for the inactivity check. If the physical layer is inactive for this period of time then it will be disconnected."},
    {50015, "Put TRUE to enable, and FALSE to disable log generation."},
    {50016, "String defining the log filename."},
    {50017, "The number of the local serial port: 1 = COM1; 2 = COM2; 3 = COM3; etc"},
    {50018, "Specify the serial port baud rate. Example: 9600"},
    {50019, "Specify the number of data bits for the serial port configuration. Possible values are: 5 = 5 data bits; 6 = 6 data bits; 7 = 7 data bits; 8 = 8 data bits"},
    {50020, "Specify the number of stop bits for the serial port configuration. Possible values are: 1 = one stop bit; 2 = one and ½ stop bits; 3 = two stop bits"},
    {50021, "Specify the parity for the serial port configuration. Possible values are: \"Even\", \"None\", \"Odd\", \"Mark\" or \"Space\""},
    {50022, "Indicates how the driver will handle the RTS signal: \"OFF\" = RTS always OFF; \"ON\" = RTS always ON; \"Toggle\" = turn RTS ON when transmitting data, and OFF when not transmitting"},
    {50023, "Indicates how the driver will handle the DTR signal: \"OFF\" = DTR always OFF; \"ON\" = DTR always ON"},
    {50024, "Number of milliseconds to delay after turning RTS ON, but before sending the data. This option is available only when RTS is \"Toggle\" and WaitCTS is FALSE."},
    {50025, "Number of milliseconds to delay after sending the last byte through the serial, and before turning OFF the RTS signal. Available only when RTS is \"Toggle\" and WaitCTS is FALSE."},
    {50026, "Number of milliseconds to wait for the CTS signal. After RTS is turned ON a timer is started to wait for the CTS signal, if this timer expires the driver aborts sending bytes through the serial port. Available only when RTS is \"Toggle\" and WaitCTS is TRUE."},
    {50027, "TRUE to make the driver wait for the CTS signal before sending bytes when RTS is turned ON. Available only when the RTS option is set to \"Toggle\"."},
    {50028, "Defines a delay (in microseconds, millionths of a second) between each byte sent on the serial interface. If the delay is 0, then the whole packet will be sent at once."},
    {50029, "FALSE if the modem should not accept incoming calls (the driver acts as a master), TRUE to enable receiving calls (the driver acts as a slave)."},
    {50030, "The phone number to use in dial commands. For example: \"0w01234566\" (the 'w' forces the modem to wait for a dial tone)"},
    {50031, "The modem ID number. This ID is created by windows, and used internally to identify the modem within the list of devices installed in the computer. You should not rely on the ID being valid if the modem is reinstalled or if you run the application on another computer. NOTE: It is strongly recommended to set this parameter to 0, indicating that the driver should use the first modem available."},
    {50032, "IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.6\" or \"SERVER1\""},
    {50033, "Port number in the destination device (used together with the Main IP)."},
    {50034, "TRUE to enable the backup IP address. If connecting to the main IP fails then the driver will try to use the backup address. FALSE to disable using the backup IP address."},
    {50035, "Alternate IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.7\" or \"SERVER2\""},
    {50036, "Alternate port number in the destination device (used together with the Backup IP)."},
    {50037, "TRUE to enable pinging the destination device IP address before trying to connect the socket. The socket connect timeout cannot be controlled, so pinging the address before connecting is a fast way to detect if the connection will fail. FALSE will disable pinging."},
    {50038, "Number of milliseconds to wait for a ping response."},
    {50039, "Maximum number of ping tries (minimum is 1, includes the first ping)."},
    {50040, "Defines the transport protocol: \"TCP\" = TCP/IP; \"UDP\" = use UDP/IP"},
    {50041, "FALSE if the driver should not accept incoming connections (the driver acts as a master), TRUE to enable receiving incoming connections (the driver acts as a slave)."},
    {50042, "Number of the port used by the driver to listen to connections."},
    {50043, "AT command to send through the socket to force the RAS device to dial using the current RAS channel. Example: \"ATDT6265545\""},
    {50044, "Number of seconds to wait for the \"CONNECT\" message in response to the AT command."},
    {50045, "The phone number to be called"},
    {50046, "Makes the call"},
    {50047, "Reports the current modem status"},
    {50048, "Indicates if the modem is connected"},
    {50049, "Hangs up the current call"},
    {50050, "Indicates the current baud rate"},
    {50051, "Indicates if the modem is currently connecting"},
    {50052, "General"},
    {50053, "Modem"},
    {50054, "Ethernet"},
    {50055, "Indicates/selects the current IP (primary or backup)"},
    {50056, "Toggles the active IP (primary <-> backup)"},
    {50057, "Parameters"},
    {50058, "This block returns driver events generated by various sources in the Dravo (see the Dravo documentation for a list of all possible events). The block timeStamp property is the time when the event occurred."},
    {50059, "The type of event:  0 = information;  1 = warning;  2 = error"},
    {50060, "Identifies the source that generated the event:  0 = the driver generated the event;  -1 = Dravo generic event;  -2 = serial interface event;  -3 = modem interface event;  -4 = ethernet interface event;  -5 = RAS interface event"},
    {50061, "The event number (depends on the source). Please check the Dravo documentation for a list of possible events."},
    {50062, "A string containing a description for the event."},
    {50063, "Dravo specific tags"},
    {50064, "General Tags"},
    {50065, "Tags that control the Modem interface"},
    {50066, "Tags that control the Ethernet interface"},
    {50067, "Configuration parameters for the Dravo (modifyable when the driver is offline)"},
    {50068, "Defines a delay (in miliseconds, thousands of a second) between each frame sent on the serial interface."},
    {50069, "Enables 'echo' supression, assumes every byte sent on the serial interface will generate an 'echo' in the receive direction."},
    {50070, "Enables 'echo' supression, assumes every byte sent on the ethernet inferface will generate an 'echo' in the receive direction."},
    {50071, "Enables the local port configuration for the Main IP."},
    {50072, "Configures the local port number to be used when connecting to the Main IP."},
    {50073, "Enables the local port configuration for the Backup IP."},
    {50074, "Configures the local port number to be used when connecting to the Backup IP."},
    {50075, "Enables the listen port to be shared with other drivers or processes."},
    {50076, "Forces the driver to listen to connections only on the specified IP. Leave it blank to listen on all network interfaces."},
    {50081, "TRUE to enable the Second Backup IP address. If connecting to the Main IP and First Backup IP fails then the driver will try to use the Second Backup IP address. FALSE to disable using the Second Backup IP address."},
    {50082, "Second Backup IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.7\" or \"SERVER2\""},
    {50083, "Second Backup port number in the destination device (used together with the Second Backup IP)."},
    {50084, "Enables the local port configuration for the Second Backup IP."},
    {50085, "Configures the local port number to be used when connecting to the Second Backup IP."},
    {50086, "TRUE to enable the Third Backup IP address. If connecting to the Main IP, First Backup IP and Second Backup IP fails then the driver will try to use the Third Backup IP address. FALSE to disable using the Third Backup IP address."},
    {50087, "Third Backup IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.7\" or \"SERVER2\""},
    {50088, "Third Backup port number in the destination device (used together with the Third Backup IP)."},
    {50089, "Enables the local port configuration for the Third Backup IP."},
    {50090, "Configures the local port number to be used when connecting to the Third Backup IP."},
    {50104, "Total number of bytes sent through this interface"},
    {50106, "Total number of bytes received through this interface"},
    {50108, "Total number of seconds this interface spent in the 'connected' state"},
    {50110, "Total number of seconds this interface spent in the 'disconnected' state"},
    {50112, "Total number of times this interface was connected"},
    {50115, "Number of bytes sent through this interface in the current connection"},
    {50117, "Number of bytes received through this interface in the current connection"},
    {50118, "Number of seconds since the last connection (if currently connected)"},
    {50120, "Statistics"},
    {50123, "Tags that return connection statistics"},
    {50124, "Number of seconds since the last disconnection (if currently disconnected)"},
    {50130, "UDP multicast group IPv4 address"},
};
// clang-format on
static_assert(std::is_sorted(std::begin(kTexts), std::end(kTexts),
                             [](const SText& a, const SText& b) { return a.number < b.number; }),
              "Text looks numbers up by binary search");

} // namespace

namespace
{
uint32_t AccessBits(uint8_t flags)
{
    uint32_t access = 0;
    if ((flags & BUILTIN_READABLE) == 0)
        access |= TAG_INFO_NOT_READABLE;
    if ((flags & BUILTIN_WRITABLE) == 0)
        access |= TAG_INFO_NOT_WRITABLE;
    return access;
}

// Folder entries of the browser tree, in the order they are added under the root.
struct SFolder
{
    uint8_t folder;
    uint32_t nameText;
    uint32_t descriptionText;
    const char* defaultName; // when the text table yields nothing
};

constexpr SFolder kFolders[] = {
    {BUILTIN_FOLDER_GENERAL, 50052, 50064, "General"},
    {BUILTIN_FOLDER_MODEM, 50053, 50065, "Modem"},
    {BUILTIN_FOLDER_ETHERNET, 50054, 50066, "Ethernet"},
    {BUILTIN_FOLDER_PARAMETERS, 50057, 50067, "Parameters"},
    {BUILTIN_FOLDER_STATISTICS, 50120, 50123, "Statistics"},
};

constexpr const char* kRootName = "Dravo";
constexpr uint32_t kRootDescriptionText = 50063;

// The two lookup tables, shared by every instance of the process. They are built once on
// first use by walking the rows in order, so a later row replaces an earlier one with the
// same key; afterwards they are only read.
class CLookup
{
public:
    static const CLookup& Get()
    {
        static const CLookup lookup;
        return lookup;
    }

    const SBuiltinTag* ByName(std::string_view name) const
    {
        const auto it = m_byName.find(name);
        return it == m_byName.end() ? nullptr : it->second;
    }
    const SBuiltinTag* ByNumbers(uint16_t n3, uint16_t n4) const
    {
        const auto it = m_byNumbers.find(Key(n3, n4));
        return it == m_byNumbers.end() ? nullptr : it->second;
    }

private:
    CLookup()
    {
        for (const SBuiltinTag& row : kRows)
        {
            m_byName.insert_or_assign(std::string(row.name), &row);
            m_byNumbers.insert_or_assign(Key(row.n3, row.n4), &row);
        }
    }
    static uint32_t Key(uint16_t n3, uint16_t n4) { return (uint32_t(n3) << 16) | n4; }

    std::map<std::string, const SBuiltinTag*, LessNoCase> m_byName;
    std::map<uint32_t, const SBuiltinTag*> m_byNumbers;
};

// Builds one browser entry; the wide texts live as long as this object.
class CBrowseEntry
{
public:
    CBrowseEntry(EBrowseKind kind, const char* name, const char* description)
        : m_name(Utf8ToUtf16(name)), m_description(Utf8ToUtf16(description))
    {
        m_entry.recordSize = BROWSE_ENTRY_SIZE;
        m_entry.kind = kind;
        m_entry.name = m_name.c_str();
        m_entry.description = m_description.c_str();
    }
    // Tags and blocks are addressed by their name and carry their access bits.
    CBrowseEntry& Addressable(const SBuiltinTag& row)
    {
        m_entry.item = m_name.c_str();
        m_entry.access = AccessBits(row.flags);
        return *this;
    }
    CBrowseEntry& SizeOrIndex(uint32_t value)
    {
        m_entry.sizeOrIndex = value;
        return *this;
    }

    HRESULT AddTo(IIOTagBrowser* parent, IIOTagBrowser** child) { return parent->Add(&m_entry, child, 0); }

private:
    std::u16string m_name;
    std::u16string m_description;
    BrowseEntry m_entry{};
};

const char* FolderName(const SFolder& folder)
{
    const char* text = CBuiltinTags::Text(folder.nameText);
    return *text != '\0' ? text : folder.defaultName;
}

void ImportRow(IIOTagBrowser* folder, const SBuiltinTag& row)
{
    const char* help = CBuiltinTags::Text(row.helpText);
    if (!row.IsBlock())
    {
        CBrowseEntry(BROWSE_TAG, row.name, help).Addressable(row).AddTo(folder, nullptr);
        return;
    }
    TIOPtr<IIOTagBrowser> block;
    if (FAILED(CBrowseEntry(BROWSE_BLOCK, row.name, help)
                   .Addressable(row)
                   .SizeOrIndex(row.size)
                   .AddTo(folder, block.Out())))
        return;
    if (!block)
        return;
    uint32_t index = 0;
    for (const SBuiltinElement& element : row.elements)
        CBrowseEntry(BROWSE_ELEMENT, element.name, CBuiltinTags::Text(element.helpText))
            .SizeOrIndex(index++)
            .AddTo(block.Get(), nullptr);
}

} // namespace

std::span<const SBuiltinTag> CBuiltinTags::Rows()
{
    return kRows;
}

const SBuiltinTag* CBuiltinTags::FindByName(const char* name)
{
    return name ? CLookup::Get().ByName(name) : nullptr;
}

const SBuiltinTag* CBuiltinTags::FindByName(const char16_t* name)
{
    if (name == nullptr)
        return nullptr;
    const std::u16string_view wide(name);
    // Every row name is ASCII; anything else cannot match.
    if (std::any_of(wide.begin(), wide.end(), [](char16_t c) { return c > 0x7F; }))
        return nullptr;
    return CLookup::Get().ByName(std::string(wide.begin(), wide.end()));
}

const SBuiltinTag* CBuiltinTags::FindByNumbers(uint16_t n3, uint16_t n4)
{
    return CLookup::Get().ByNumbers(n3, n4);
}

namespace
{
HRESULT FillFromRow(const SBuiltinTag* row, TagInfo* info)
{
    if (row == nullptr)
        return E_FAIL;
    info->n1 = row->n1;
    info->n2 = row->n2;
    info->n3 = row->n3;
    info->n4 = row->n4;
    info->size = row->size;
    info->flags = AccessBits(row->flags);
    info->type = row->type;
    return S_OK;
}
} // namespace

HRESULT CBuiltinTags::MatchName(const char* item, TagInfo* info)
{
    if (item == nullptr || info == nullptr)
        return E_POINTER;
    return FillFromRow(FindByName(item), info);
}

HRESULT CBuiltinTags::MatchName(const char16_t* item, TagInfo* info)
{
    if (item == nullptr || info == nullptr)
        return E_POINTER;
    return FillFromRow(FindByName(item), info);
}

HRESULT CBuiltinTags::MatchNumbers(const TagInfo* info)
{
    if (info == nullptr)
        return E_POINTER;
    if (info->n1 != BUILTIN_N1 || info->n2 != BUILTIN_N2)
        return E_FAIL;
    const SBuiltinTag* row = FindByNumbers(info->n3, info->n4);
    if (row == nullptr)
        return E_FAIL;
    if ((row->flags & BUILTIN_ANY_SIZE) != 0 || (info->size != 0) == (row->size != 0))
        return S_OK;
    return E_FAIL;
}

const char* CBuiltinTags::Text(uint32_t number)
{
    const auto it = std::lower_bound(std::begin(kTexts), std::end(kTexts), number,
                                     [](const SText& t, uint32_t n) { return t.number < n; });
    return it != std::end(kTexts) && it->number == number ? it->text : "";
}

HRESULT CBuiltinTags::ImportTags(IIOTagBrowser* root)
{
    if (root == nullptr)
        return E_POINTER;
    TIOPtr<IIOTagBrowser> dravo;
    const HRESULT hr =
        CBrowseEntry(BROWSE_FOLDER, kRootName, Text(kRootDescriptionText)).AddTo(root, dravo.Out());
    if (FAILED(hr))
        return hr;
    if (!dravo)
        return E_FAIL;
    for (const SFolder& folder : kFolders)
    {
        TIOPtr<IIOTagBrowser> node;
        if (FAILED(CBrowseEntry(BROWSE_FOLDER, FolderName(folder), Text(folder.descriptionText))
                       .AddTo(dravo.Get(), node.Out())) ||
            !node)
            continue;
        for (const SBuiltinTag& row : kRows)
            if (row.folder == folder.folder)
                ImportRow(node.Get(), row);
    }
    return S_OK;
}
