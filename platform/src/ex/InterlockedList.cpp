// ExInterlockedInsertHeadList, ExInterlockedInsertTailList, ExInterlockedRemoveHeadList.
#include <wdm.h>

extern "C" {

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return first;
}

}
