// IoWMIRegistrationControl and the registered providers.
#include "wmi/Wmi.h"

#include <algorithm>
#include <vector>

namespace plat {
namespace {

std::vector<PDEVICE_OBJECT> &registrations()
{
    static std::vector<PDEVICE_OBJECT> list;
    return list;
}

}  // namespace

bool WmiRegistered(PDEVICE_OBJECT device)
{
    auto &list = registrations();
    return std::find(list.begin(), list.end(), device) != list.end();
}

void WmiReset() { registrations().clear(); }

}  // namespace plat

using namespace plat;

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    auto &list = registrations();
    auto it = std::find(list.begin(), list.end(), DeviceObject);
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (it != list.end())
            return STATUS_OBJECT_NAME_COLLISION;
        list.push_back(DeviceObject);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (it == list.end())
            return STATUS_INVALID_PARAMETER;
        list.erase(it);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_UPDATE_GUIDS:
    case WMIREG_ACTION_REREGISTER:
        return it == list.end() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
