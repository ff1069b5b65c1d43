// Verifier reports and fault injection.
#include "verifier/Verifier.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace plat {
namespace {

VerifierHandler &handler()
{
    static VerifierHandler h;
    return h;
}

struct FaultState {
    struct Plan {
        int skip = 0;   // calls still to let through
        int fail = 0;   // calls to fail after those
    };
    std::map<FaultSite, Plan> plans;
    std::map<ULONG, bool> failingTags;
};

FaultState &faults()
{
    static FaultState f;
    return f;
}

}  // namespace

void VerifierFail(const std::string &rule, const std::string &detail)
{
    std::string message = "VERIFIER: " + rule + ": " + detail;
    if (handler()) {
        handler()(message);
        return;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void SetVerifierHandler(VerifierHandler h) { handler() = std::move(h); }

ScopedVerifierCapture::ScopedVerifierCapture() : previous_(handler())
{
    SetVerifierHandler([this](const std::string &m) { messages_.push_back(m); });
}

ScopedVerifierCapture::~ScopedVerifierCapture() { SetVerifierHandler(std::move(previous_)); }

bool ScopedVerifierCapture::Contains(const std::string &fragment) const
{
    for (const auto &m : messages_)
        if (m.find(fragment) != std::string::npos)
            return true;
    return false;
}

bool TagFails(ULONG tag) { return faults().failingTags.count(tag) != 0; }

void InjectFault(FaultSite site, int nth, int count)
{
    faults().plans[site] = FaultState::Plan{nth > 0 ? nth - 1 : 0, count};
}

void FailPoolTag(ULONG tag) { faults().failingTags[tag] = true; }

void ClearFaults()
{
    faults().plans.clear();
    faults().failingTags.clear();
}

bool ShouldFail(FaultSite site, ULONG tag)
{
    if (site == FaultSite::PoolAllocation && faults().failingTags.count(tag))
        return true;
    auto it = faults().plans.find(site);
    if (it == faults().plans.end() || it->second.fail == 0)
        return false;
    if (it->second.skip > 0) {
        --it->second.skip;
        return false;
    }
    --it->second.fail;
    return true;
}

}  // namespace plat
