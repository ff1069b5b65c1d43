// Frames that catch a raised status, written as the driver writes them: a
// raise returns straight to the innermost frame of the thread with its
// status, runs no destructor on the way, and leaves the outer frames armed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Portability.h"

namespace {

// What happened, in order, with the status a handler saw.
struct Trace {
    std::vector<std::string> events;
    void Add(const char *event) { events.push_back(event); }
    void Add(const char *event, NTSTATUS status)
    {
        char text[16];
        std::snprintf(text, sizeof text, " %08X", static_cast<unsigned>(status));
        events.push_back(event + std::string(text));
    }
};

// Records whether its destructor ran; owns nothing, so skipping it leaks
// nothing.
struct Marker {
    bool *destroyed;
    ~Marker() { *destroyed = true; }
};

void RaiseWithMarker(bool *destroyed, NTSTATUS status)
{
    Marker marker{destroyed};
    ExRaiseStatus(status);
}

void CallWithMarker(bool *destroyed, bool *innerDestroyed, NTSTATUS status)
{
    Marker marker{destroyed};
    RaiseWithMarker(innerDestroyed, status);
}

NTSTATUS ReturnFromInsideAFrame()
{
    KERNEL_TRY {
        return STATUS_SUCCESS;
    } KERNEL_EXCEPT {
        return KernelExceptionCode();
    }
}

TEST(RaiseFrameTest, RaiseInNestedCallsReturnsToTheFrameWithItsStatusAndSkipsTheDestructorsBetween)
{
    bool outerMarker = false, innerMarker = false;
    Trace trace;
    KERNEL_TRY {
        CallWithMarker(&outerMarker, &innerMarker, STATUS_DEVICE_REMOVED);
        trace.Add("the raise came back");
    } KERNEL_EXCEPT {
        trace.Add("handler", KernelExceptionCode());
    }
    EXPECT_EQ(std::vector<std::string>{"handler C00002B6"}, trace.events);
    EXPECT_FALSE(outerMarker) << "a destructor between the raise and the frame ran";
    EXPECT_FALSE(innerMarker) << "a destructor between the raise and the frame ran";
}

TEST(RaiseFrameTest, NestedFramesEachCatchTheRaisesOfTheirOwnBody)
{
    Trace trace;
    KERNEL_TRY {
        KERNEL_TRY {
            trace.Add("inner body");
            ExRaiseStatus(STATUS_INVALID_PARAMETER);
        } KERNEL_EXCEPT {
            trace.Add("inner handler", KernelExceptionCode());
        }
        trace.Add("outer body goes on");
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    } KERNEL_EXCEPT {
        trace.Add("outer handler", KernelExceptionCode());
    }
    EXPECT_EQ((std::vector<std::string>{"inner body", "inner handler C000000D", "outer body goes on",
                                        "outer handler C000009A"}),
              trace.events);
}

TEST(RaiseFrameTest, RaiseInAHandlerGoesToTheOuterFrame)
{
    Trace trace;
    KERNEL_TRY {
        KERNEL_TRY {
            ExRaiseStatus(STATUS_INVALID_PARAMETER);
        } KERNEL_EXCEPT {
            trace.Add("inner handler", KernelExceptionCode());
            ExRaiseStatus(STATUS_DEVICE_REMOVED);
        }
        trace.Add("outer body after the inner frame");
    } KERNEL_EXCEPT {
        trace.Add("outer handler", KernelExceptionCode());
    }
    EXPECT_EQ((std::vector<std::string>{"inner handler C000000D", "outer handler C00002B6"}), trace.events);
}

// A frame whose body returns, or ends, is gone: the next raise goes to the
// frame around it, not back into a routine that has returned.
TEST(RaiseFrameTest, FrameLeftByReturnOrByItsEndPopsItself)
{
    Trace trace;
    KERNEL_TRY {
        trace.Add("returned", ReturnFromInsideAFrame());
        KERNEL_TRY {
            trace.Add("inner body ends");
        } KERNEL_EXCEPT {
            trace.Add("inner handler", KernelExceptionCode());
        }
        ExRaiseStatus(STATUS_CANCELLED);
    } KERNEL_EXCEPT {
        trace.Add("outer handler", KernelExceptionCode());
    }
    EXPECT_EQ((std::vector<std::string>{"returned 00000000", "inner body ends", "outer handler C0000120"}),
              trace.events);
}

TEST(RaiseFrameTest, CallInFrameGivesTheBodysStatusOrTheRaisedOne)
{
    EXPECT_EQ(STATUS_PENDING, CallInFrame([] { return STATUS_PENDING; }));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CallInFrame([]() -> NTSTATUS {
                  ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
                  return STATUS_SUCCESS;
              }));
}

// With no frame of its own on the thread, a raise reaches the platform's
// last-chance handler (the Plug and Play manager's around AddDevice, say).
TEST(RaiseFrameTest, RaiseWithoutAFrameReachesTheLastChanceHandler)
{
    NTSTATUS caught = STATUS_SUCCESS;
    try {
        ExRaiseStatus(STATUS_DEVICE_REMOVED);
    } catch (const SIMULATED_RAISED_STATUS &raised) {
        caught = raised.Status;
    }
    EXPECT_EQ(STATUS_DEVICE_REMOVED, caught);
}

}  // namespace
