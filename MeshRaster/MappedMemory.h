// Large blocks mapped from the system and offered huge pages.
//
// Fresh mapped pages are already zero, and in huge pages a block of tens of
// MiB is faulted in a few pieces rather than thousands: on the virtual
// machines MeshRaster is measured on, a 4 KiB page fault costs about 6 us,
// which made the faults of the grid and the node tables a fifth of a run.
#pragma once

#include <cstddef>
#include <new>

// A zeroed block of at least bytes (> 0), on a huge-page boundary when it is
// at least one huge page; nullptr when it cannot be had.
void* mapMemory(std::size_t bytes);
// Returns a block of mapMemory(bytes).
void unmapMemory(void* block, std::size_t bytes);

// An allocator whose blocks of a huge page or more are mapped, for the node
// tables; smaller ones come from operator new.
template <class T>
struct MappedAllocator {
    using value_type = T;
    static constexpr std::size_t kMapped = std::size_t{1} << 21;

    MappedAllocator() = default;
    template <class U>
    MappedAllocator(const MappedAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapped) return static_cast<T*>(::operator new(bytes));
        void* block = mapMemory(bytes);
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* p, std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapped)
            ::operator delete(p);
        else
            unmapMemory(p, bytes);
    }
    template <class U>
    bool operator==(const MappedAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const MappedAllocator<U>&) const {
        return false;
    }
};
