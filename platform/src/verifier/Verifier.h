// Rule checks and fault injection of the simulated platform.
//
// A broken kernel rule is reported through the verifier handler. The default
// handler prints the message and aborts the process, so a test fails at once
// with the rule named; a test that provokes a violation on purpose installs
// its own handler (ScopedVerifierCapture) and inspects what was reported.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace plat {

using VerifierHandler = std::function<void(const std::string &message)>;

// Reports a broken rule: "VERIFIER: <rule>: <detail>".
void VerifierFail(const std::string &rule, const std::string &detail);
void SetVerifierHandler(VerifierHandler handler);  // empty handler restores the default

// Collects verifier reports while alive instead of aborting; the handler
// installed before it (a test fixture's, say) comes back when it ends.
class ScopedVerifierCapture {
public:
    ScopedVerifierCapture();
    ~ScopedVerifierCapture();
    const std::vector<std::string> &Messages() const { return messages_; }
    bool Contains(const std::string &fragment) const;

private:
    std::vector<std::string> messages_;
    VerifierHandler previous_;
};

enum class FaultSite {
    PoolAllocation,      // ExAllocatePoolWithTag
    CreateDevice,        // IoCreateDevice, IoCreateDeviceSecure
    CreateSymbolicLink,  // IoCreateSymbolicLink
    RegistryWrite,       // ZwCreateKey (creating), ZwSetValueKey, ZwDeleteValueKey,
                         // RtlWriteRegistryValue, RtlDeleteRegistryValue
    UsbTransfer,         // URBs answered by the simulated USB bus
};

// Makes the n-th future call at `site` fail (n = 1: the next one), `count`
// calls in a row.
void InjectFault(FaultSite site, int nth, int count = 1);
// Makes every pool allocation with this tag fail until cleared.
void FailPoolTag(ULONG tag);
void ClearFaults();
// Called by the platform at each site; true means "fail this call".
bool ShouldFail(FaultSite site, ULONG tag = 0);
// True when FailPoolTag was set for the tag; does not count as a call.
bool TagFails(ULONG tag);

}  // namespace plat
