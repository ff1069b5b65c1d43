// IoIsWdmVersionAvailable and the machine's WDM version.
#include <wdm.h>

namespace plat {
namespace {
UCHAR wdmMajor = 6;
UCHAR wdmMinor = 0;
}  // namespace

void SetWdmVersion(UCHAR major, UCHAR minor)
{
    wdmMajor = major;
    wdmMinor = minor;
}

}  // namespace plat

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    return MajorVersion < plat::wdmMajor || (MajorVersion == plat::wdmMajor && MinorVersion <= plat::wdmMinor);
}
