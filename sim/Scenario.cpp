// Parsing and running simulator scripts.
#include "Scenario.h"

#include <cctype>
#include <memory>
#include <sstream>

#include "DriverGlobals.h"
#include "KScannerFunction.h"
#include "KVirtualSerialPort.h"
#include "MachineSetup.h"
#include "PortTable.h"
#include "cm/Hive.h"
#include "cm/Utf8.h"
#include "io/IoManager.h"
#include "machine/Machine.h"
#include "machine/StateFolder.h"
#include "po/PowerManager.h"
#include "rtl/Text.h"
#include "wmi/WmiClient.h"

namespace sim {
namespace {

// Splits at blanks; "double quotes" keep blanks inside a word.
bool SplitWords(const std::string &line, std::vector<std::string> *words, std::string *problem)
{
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                *problem = "unterminated quoted text";
                return false;
            }
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                word.push_back(line[i++]);
        }
        words->push_back(word);
    }
    return true;
}

std::string StripComment(const std::string &line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '#' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

bool IsComName(const std::string &name)
{
    if (name.size() < 4 || name.size() > 6)
        return false;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
    int number = std::stoi(name.substr(3));
    return number >= 1 && number <= 256;
}

bool IsSerialNumber(const std::string &serial)
{
    // A USB string descriptor holds at most 126 UTF-16 units.
    return !serial.empty() && plat::FromUtf8(serial).size() <= 126;
}

// Checks one command's words; returns "" or what is wrong.
std::string Check(const std::vector<std::string> &w)
{
    if (w[0] == "port") {
        if (w.size() != 3 || (w[1] != "add" && w[1] != "remove"))
            return "usage: port add COMn | port remove COMn";
        if (!IsComName(w[2]))
            return "'" + w[2] + "' is not a COM port name (COM1 to COM256)";
        return "";
    }
    if (w[0] == "scanner") {
        if (w.size() < 3 || (w[1] != "plug" && w[1] != "unplug"))
            return "usage: scanner plug SERIAL [product TEXT] [modem] | scanner unplug SERIAL";
        if (!IsSerialNumber(w[2]))
            return "'" + w[2] + "' is not a serial number (1 to 126 characters)";
        if (w[1] == "unplug")
            return w.size() == 3 ? "" : "usage: scanner unplug SERIAL";
        for (size_t i = 3; i < w.size(); ++i) {
            if (w[i] == "modem")
                continue;
            if (w[i] == "product") {
                if (i + 1 >= w.size())
                    return "product needs a text";
                if (plat::FromUtf8(w[i + 1]).size() > 126)
                    return "product text longer than 126 characters";
                ++i;
                continue;
            }
            return "unknown scanner option '" + w[i] + "'";
        }
        return "";
    }
    if (w[0] == "reboot")
        return w.size() == 1 ? "" : "usage: reboot";
    if (w[0] == "sleep")
        return w.size() == 2 && (w[1] == "S3" || w[1] == "S4") ? "" : "usage: sleep S3 | sleep S4";
    if (w[0] == "wake")
        return w.size() == 1 ? "" : "usage: wake";
    if (w[0] == "wmi")
        return w.size() == 3 && w[1] == "query" ? "" : "usage: wmi query CLASS";
    if (w[0] == "show") {
        if (w.size() == 2 && (w[1] == "table" || w[1] == "log" || w[1] == "devices"))
            return "";
        if (w.size() >= 3 && w[1] == "reg")
            return "";
        return "usage: show table | show devices | show reg KEY | show log";
    }
    return "unknown command '" + w[0] + "'";
}

std::string Narrow(const KUnicodeString &s) { return s.Buffer ? plat::ToUtf8(&s) : std::string(); }

std::string HexStatus(long status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status) & 0xFFFFFFFFul);
    return text;
}

class Runner {
public:
    Runner(const RunOptions &options, std::ostream &out, std::ostream &err) : options_(options), out_(out), err_(err) {}

    int Run(const std::vector<Command> &commands) { return Run({commands}, nullptr); }

    int Run(const std::vector<std::vector<Command>> &groups, const std::function<void(size_t)> &narrate)
    {
        RegisterDeliverables();
        plat::MachineOptions machineOptions;
        machineOptions.seed = options_.seed;
        machineOptions.stateDir = options_.stateDir;
        if (options_.nonPagedPoolBytes)
            machineOptions.nonPagedPoolBytes = options_.nonPagedPoolBytes;
        std::unique_ptr<plat::Machine> machine;
        try {
            // The service key must exist before the first device node binds
            // to the driver, so it is written before the machine boots its
            // devices.
            machine = std::make_unique<plat::Machine>(machineOptions, InstallDriverService);
        } catch (const plat::StateError &e) {
            err_ << e.what() << "\n";
            return 2;
        }
        machine_ = machine.get();
        ReportFailedAdds("boot");
        int rc = 0;
        for (size_t g = 0; g < groups.size() && rc == 0; ++g) {
            if (narrate)
                narrate(g);
            for (const auto &command : groups[g]) {
                if (options_.echo)
                    out_ << "> " << command.text << "\n";
                if (!Execute(command)) {
                    rc = 1;
                    break;
                }
            }
        }
        std::string error;
        if (!machine->PowerOff(&error)) {
            err_ << "the machine's state was not saved: " << error << "\n";
            rc = rc ? rc : 1;
        }
        machine_ = nullptr;
        return rc;
    }

private:
    bool Fail(const Command &c, const std::string &message)
    {
        err_ << "line " << c.line << ": " << message << "\n";
        return false;
    }

    bool Execute(const Command &c)
    {
        const auto &w = c.words;
        bool changesDevices =
            w[0] == "port" || w[0] == "scanner" || w[0] == "wmi" || w[0] == "sleep" || w[0] == "reboot";
        if (changesDevices && plat::PowerManager::Get().SystemState() != PowerSystemWorking)
            return Fail(c, "the machine is asleep: 'wake' it first");
        if (w[0] == "port" && w[1] == "remove")
            return RemovePort(c, w[2]);
        if (w[0] == "scanner" && w[1] == "unplug") {
            if (!machine_->UnplugScanner(plat::FromUtf8(w[2])))
                return Fail(c, "no scanner with serial number '" + w[2] + "' is plugged in");
            return true;
        }
        if (w[0] == "sleep") {
            NTSTATUS status = machine_->Sleep(w[1] == "S3" ? PowerSystemSleeping3 : PowerSystemHibernate);
            if (!NT_SUCCESS(status))
                return Fail(c, "a device refused to sleep (" + HexStatus(status) + "); the machine stays awake");
            return true;
        }
        if (w[0] == "wake") {
            machine_->Wake();
            // Devices finish their return to D0 a few milliseconds after the
            // system is back.
            Pass(50);
            return true;
        }
        if (w[0] == "wmi") {
            for (const auto &line : plat::WmiQueryText(w[2]))
                out_ << line << "\n";
            return true;
        }
        if (w[0] == "port")
            return AddPort(c, w[2]);
        if (w[0] == "scanner") {
            plat::ScannerModel model;
            model.serial = plat::FromUtf8(w[2]);
            for (size_t i = 3; i < w.size(); ++i) {
                if (w[i] == "modem")
                    model.modem = true;
                else if (w[i] == "product")
                    model.product = plat::FromUtf8(w[++i]);
            }
            if (plat::UsbHub::Get().IsAttached(model.serial))
                return Fail(c, "a scanner with serial number '" + w[2] + "' is already plugged in");
            std::vector<std::u16string> instances = machine_->PlugScanner(model);
            if (instances.empty())
                return Fail(c, "every port of the hub is taken");
            for (const auto &instance : instances)
                ReportAddDevice(c, instance);
        } else if (w[0] == "reboot") {
            std::string error;
            if (!machine_->Reboot(&error))
                return Fail(c, "the machine's state was not saved: " + error);
            ReportFailedAdds("line " + std::to_string(c.line));
        } else if (w[1] == "table") {
            for (const auto &line : DescribePortTable())
                out_ << line << "\n";
        } else if (w[1] == "devices") {
            for (const auto &line : DescribeDevices())
                out_ << line << "\n";
        } else if (w[1] == "reg") {
            std::string key = KeyOf(c);
            std::string text = plat::cm::Registry().ExportText(plat::FromUtf8(key));
            if (text.empty()) {
                err_ << "line " << c.line << ": registry key '" << key << "' does not exist\n";
                return false;
            }
            out_ << text;
        } else if (w[1] == "log") {
            if (plat::DebuggerOutput().empty() && plat::ErrorLog().empty())
                out_ << "(the log is empty)\n";
            for (const auto &line : plat::DebuggerOutput())
                out_ << "debug: " << line << (line.empty() || line.back() != '\n' ? "\n" : "");
            for (const auto &entry : plat::ErrorLog()) {
                out_ << "event: " << HexStatus(entry.errorCode) << " device=" << plat::ToUtf8(entry.deviceName);
                for (const auto &s : entry.strings)
                    out_ << " \"" << plat::ToUtf8(s) << "\"";
                out_ << "\n";
            }
        }
        return true;
    }

    static void Pass(LONGLONG ms)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000LL * ms;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    // A removal the user asks for, as from the device manager: the device
    // node is uninstalled unless its driver refuses.
    bool RemovePort(const Command &c, const std::string &name)
    {
        plat::DeviceNode *node = FindPortNode(plat::FromUtf8(name));
        if (!node)
            return Fail(c, "no port named " + name);
        NTSTATUS status = plat::PnpManager::Get().RequestRemoval(node, true);
        if (!NT_SUCCESS(status)) {
            std::string scanner = PairedScannerOf(name);
            return Fail(c, "port " + name + " cannot be removed" +
                               (scanner.empty() ? std::string() : ": it is paired with scanner " + scanner) +
                               " (the removal query returned " + HexStatus(status) + ")");
        }
        return true;
    }

    static plat::DeviceNode *FindPortNode(const std::u16string &name)
    {
        for (const auto &n : plat::PnpManager::Get().Nodes()) {
            std::u16string key = n->EnumKeyPath();
            auto cls = plat::cm::Registry().GetString(key, u"Class");
            auto port = plat::cm::Registry().GetString(key + u"\\Device Parameters", u"PortName");
            if (cls && plat::EqualNoCase(*cls, u"Ports") && port && plat::EqualNoCase(*port, name))
                return n.get();
        }
        return nullptr;
    }

    static std::string PairedScannerOf(const std::string &name)
    {
        if (!DriverGlobals.portTable)
            return "";
        for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot) {
            const PortTableEntry &entry = DriverGlobals.portTable[slot];
            if (entry.port && entry.scanner &&
                plat::EqualNoCase(plat::FromUnicodeString(&entry.port->portName), plat::FromUtf8(name)))
                return Narrow(entry.scanner->serialNumber);
        }
        return "";
    }

    // The key of `show reg`: one word as written (quotes removed), or the
    // rest of the line, blanks inside kept, for a key name with blanks.
    static std::string KeyOf(const Command &c)
    {
        if (c.words.size() == 3)
            return c.words[2];
        std::string key = StripComment(c.text.substr(c.text.find("reg") + 3));
        size_t first = key.find_first_not_of(" \t");
        size_t last = key.find_last_not_of(" \t\r");
        return key.substr(first, last - first + 1);
    }

    // A port node whose driver refuses it would come alive at the next boot,
    // so it is uninstalled again; a second port of the same name is refused
    // before its node exists.
    bool AddPort(const Command &c, const std::string &name)
    {
        if (FindPortNode(plat::FromUtf8(name)))
            return Fail(c, "a port named " + name + " exists already");
        std::u16string instance = AddVirtualPortNode(*machine_, plat::FromUtf8(name));
        plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
        if (!node || NT_SUCCESS(node->addDeviceStatus))
            return true;
        NTSTATUS status = node->addDeviceStatus;
        plat::PnpManager::Get().RequestRemoval(node, true);
        return Fail(c, "port " + name + " was not added: AddDevice returned " + HexStatus(status) +
                           "; its device node " + plat::ToUtf8(instance) + " is removed");
    }

    static std::string AddFailure(const plat::DeviceNode &node)
    {
        return "device " + plat::ToUtf8(node.instancePath) + " was not added: AddDevice returned " +
               HexStatus(node.addDeviceStatus);
    }

    // AddDevice failures are what a user of the simulator wants to know about.
    void ReportAddDevice(const Command &c, const std::u16string &instance)
    {
        plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
        if (node && !NT_SUCCESS(node->addDeviceStatus))
            out_ << "line " << c.line << ": " << AddFailure(*node) << "\n";
    }

    // Every node the last boot could not add, prefixed with where it happened.
    void ReportFailedAdds(const std::string &where)
    {
        for (const auto &node : plat::PnpManager::Get().Nodes())
            if (!NT_SUCCESS(node->addDeviceStatus))
                out_ << where << ": " << AddFailure(*node) << "\n";
    }

    const RunOptions &options_;
    std::ostream &out_;
    std::ostream &err_;
    plat::Machine *machine_ = nullptr;
};

}  // namespace

bool ParseScript(std::istream &in, std::vector<Command> *commands, ScriptError *error)
{
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!plat::IsValidUtf8(line)) {
            *error = {number, "invalid UTF-8"};
            return false;
        }
        Command c;
        c.line = number;
        c.text = line;
        std::string problem;
        if (!SplitWords(StripComment(line), &c.words, &problem)) {
            *error = {number, problem};
            return false;
        }
        if (c.words.empty())
            continue;
        problem = Check(c.words);
        if (!problem.empty()) {
            *error = {number, problem};
            return false;
        }
        commands->push_back(c);
    }
    return true;
}

int RunScript(const std::vector<Command> &commands, const RunOptions &options, std::ostream &out, std::ostream &err)
{
    return Runner(options, out, err).Run(commands);
}

int RunScriptWithNarration(const std::vector<std::vector<Command>> &groups,
                           const std::function<void(size_t)> &narrate, const RunOptions &options,
                           std::ostream &out, std::ostream &err)
{
    return Runner(options, out, err).Run(groups, narrate);
}

std::vector<std::string> DescribeDevices()
{
    std::vector<std::string> lines;
    for (PDRIVER_OBJECT driver : plat::PnpManager::Get().LoadedDrivers()) {
        std::vector<PDEVICE_OBJECT> devices;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
            devices.insert(devices.begin(), d);  // the list is newest first
        for (PDEVICE_OBJECT d : devices) {
            PDEVICE_OBJECT bottom = d;
            while (plat::HeaderOf(bottom)->lower)
                bottom = plat::HeaderOf(bottom)->lower;
            plat::DeviceNode *node = plat::PnpManager::Get().NodeOfPdo(bottom);
            std::string name = plat::ToUtf8(plat::HeaderOf(d)->name);
            std::ostringstream line;
            line << (name.empty() ? "(unnamed)" : name);
            if (!node) {
                line << " class=- pnp=- power=-";
            } else {
                auto cls = plat::cm::Registry().GetString(node->EnumKeyPath(), u"Class");
                line << " node=" << plat::ToUtf8(node->instancePath) << " class=" << (cls ? plat::ToUtf8(*cls) : "-")
                     << " pnp=" << plat::NodeStateName(node->state) << " power=D"
                     << static_cast<int>(node->bus->devicePower) - 1;
            }
            lines.push_back(line.str());
        }
    }
    if (lines.empty())
        lines.push_back("no device objects");
    return lines;
}

std::vector<std::string> DescribePortTable()
{
    std::vector<std::string> lines;
    if (!DriverGlobals.driverObject || !DriverGlobals.portTable) {
        lines.push_back("no port table");
        return lines;
    }
    for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot) {
        const PortTableEntry &entry = DriverGlobals.portTable[slot];
        std::ostringstream line;
        line << "slot " << slot << " port=" << (entry.port ? Narrow(entry.port->deviceName) : "-")
             << " com=" << (entry.port && !entry.port->portName.IsEmpty() ? Narrow(entry.port->portName) : "-")
             << " scanner=" << (entry.scanner ? Narrow(entry.scanner->serialNumber) : "-");
        lines.push_back(line.str());
    }
    return lines;
}

}  // namespace sim
