// `vexsim demo`: a scanner keeps its COM port across unplugging, sleep and reboot.
#include "Demo.h"

#include <sstream>

#include "Scenario.h"

namespace sim {
namespace {

struct Step {
    const char *explanation;
    const char *script;
};

const Step kSteps[] = {
    {"A new machine with the driver installed. Three virtual COM ports are created, as setup\n"
     "and the service would create them; each takes the lowest free slot of the port table.\n"
     "Slot 0 holds the static port.",
     "port add COM3\nport add COM5\nport add COM6\nshow table\n"},
    {"Two scanners arrive. Each takes the lowest ordinary slot (1 and up) without a scanner and\n"
     "is paired with the port there; the pairing is written to its registry key.",
     "scanner plug SN-A100 product \"VX Barcode Scanner A\"\nscanner plug SN-B200\nshow table\n"
     "show reg HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\n"},
    {"Scanner SN-B200 is pulled out. Its device is surprise-removed, then removed; its port stays\n"
     "in its slot, free, and its registry key keeps the port name with an empty Flag. Plugged in\n"
     "again, it finds that port waiting.",
     "scanner unplug SN-B200\nshow table\nshow reg HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\SN-B200\n"
     "scanner plug SN-B200\nshow table\n"},
    {"The machine sleeps (S3): every device is asked, then put into a low-power state. On wake\n"
     "the system returns first and each device follows it back to D0.",
     "sleep S3\nshow devices\nwake\nshow devices\n"},
    {"The machine restarts. The ports are found first, then the USB bus reports the scanners in\n"
     "an order of its own; each scanner looks for the port it remembers in its registry key and\n"
     "gets it back, whichever of them arrives first.",
     "reboot\nshow table\n"},
};

}  // namespace

int RunDemo(std::ostream &out, std::ostream &err)
{
    std::vector<std::vector<Command>> groups;
    for (const auto &step : kSteps) {
        std::istringstream part(step.script);
        std::vector<Command> group;
        ScriptError error;
        if (!ParseScript(part, &group, &error)) {
            err << "demo script line " << error.line << ": " << error.message << "\n";
            return 2;
        }
        groups.push_back(group);
    }
    RunOptions options;
    options.echo = true;
    out << "vexsim demo: USB barcode scanners as COM ports, on a simulated machine.\n";
    int rc = RunScriptWithNarration(groups, [&](size_t i) { out << "\n" << kSteps[i].explanation << "\n\n"; },
                                    options, out, err);
    if (rc == 0)
        out << "\nEach scanner is back on the COM port it had before the restart.\n";
    return rc;
}

}  // namespace sim
