// A growable array in non-paged pool, owned by the object that holds it.
#pragma once

#include "Pool.h"

// Elements are moved by copying their bytes when the storage grows, so T must
// be trivially copyable; an array of arrays works because KArray itself is
// (its owner calls Free, there is no destructor).
template <typename T> struct KArray {
    static_assert(__is_trivially_copyable(T), "KArray moves its elements bytewise");

    T *items = nullptr;  // null while nothing was ever stored
    LONG count = 0;
    LONG capacity = 0;
    LONG increment = 4;

    // Grows the storage to hold at least `needed` elements: capacity +
    // increment, or count + increment when that is still too few. False when
    // pool runs out; the array is unchanged then.
    bool Reserve(LONG needed)
    {
        if (needed <= capacity)
            return true;
        LONG step = increment > 0 ? increment : 1;
        LONGLONG grown = LONGLONG(capacity) + step;
        if (grown < needed)
            grown = LONGLONG(count) + step;
        if (grown < needed)
            grown = needed;
        if (grown > MAXLONG || ULONGLONG(grown) > ~SIZE_T(0) / sizeof(T))
            return false;
        auto *storage = static_cast<T *>(AllocatePool(SIZE_T(grown) * sizeof(T)));
        if (!storage)
            return false;
        if (items) {
            RtlCopyMemory(storage, items, SIZE_T(count) * sizeof(T));
            FreePool(items);
        }
        items = storage;
        capacity = static_cast<LONG>(grown);
        return true;
    }

    // Raises STATUS_INSUFFICIENT_RESOURCES when the storage cannot grow; the
    // array is unchanged then.
    void Append(const T &item)
    {
        if (!Reserve(count + 1))
            ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        items[count++] = item;
    }

    T &operator[](LONG index) { return items[index]; }
    const T &operator[](LONG index) const { return items[index]; }

    void Free()
    {
        FreePool(items);
        items = nullptr;
        count = 0;
        capacity = 0;
    }
};
