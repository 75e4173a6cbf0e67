// A binary min-heap of pointers in a vector, each item keeping its own
// position so that it can leave the heap from anywhere in O(log n). The
// kernel's armed timers and timed waits live in such heaps: the next
// deadline is the top, not a scan of every timer and thread.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace hosted {

// Traits: static bool Less(const T*, const T*); static size_t& Index(T*).
template <typename T, typename Traits> class IndexedHeap {
public:
    static constexpr size_t Absent = ~size_t(0);

    // Checks the slot too, so that an item whose index is garbage (never
    // pushed, memory never initialised) is not taken for a member.
    static bool Contains(const std::vector<T*>& heap, T* item)
    {
        size_t at = Traits::Index(item);
        return at < heap.size() && heap[at] == item;
    }

    static void Push(std::vector<T*>& heap, T* item)
    {
        Traits::Index(item) = heap.size();
        heap.push_back(item);
        SiftUp(heap, heap.size() - 1);
    }

    // Takes `item` out wherever it is; nothing when it is not in the heap.
    static void Remove(std::vector<T*>& heap, T* item)
    {
        if (!Contains(heap, item))
            return;
        size_t at = Traits::Index(item);
        Traits::Index(item) = Absent;
        T* last = heap.back();
        heap.pop_back();
        if (last == item)
            return;
        heap[at] = last;
        Traits::Index(last) = at;
        SiftDown(heap, at);
        SiftUp(heap, Traits::Index(last));
    }

private:
    static void Swap(std::vector<T*>& heap, size_t a, size_t b)
    {
        std::swap(heap[a], heap[b]);
        Traits::Index(heap[a]) = a;
        Traits::Index(heap[b]) = b;
    }

    static void SiftUp(std::vector<T*>& heap, size_t at)
    {
        while (at > 0) {
            size_t parent = (at - 1) / 2;
            if (!Traits::Less(heap[at], heap[parent]))
                return;
            Swap(heap, at, parent);
            at = parent;
        }
    }

    static void SiftDown(std::vector<T*>& heap, size_t at)
    {
        for (;;) {
            size_t smallest = at;
            for (size_t child = 2 * at + 1; child <= 2 * at + 2 && child < heap.size(); ++child)
                if (Traits::Less(heap[child], heap[smallest]))
                    smallest = child;
            if (smallest == at)
                return;
            Swap(heap, at, smallest);
            at = smallest;
        }
    }
};

} // namespace hosted
