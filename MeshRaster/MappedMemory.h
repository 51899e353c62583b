// Large blocks mapped from the system and offered huge pages.
//
// Fresh mapped pages are already zero, and in huge pages a block of tens of
// MiB is faulted in a few pieces rather than thousands: on the virtual
// machines MeshRaster is measured on, a 4 KiB page fault costs about 6 us,
// which made the faults of the grid and the node tables a fifth of a run.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <thread>

// A zeroed block of at least bytes (> 0), on a huge-page boundary when it is
// at least one huge page; nullptr when it cannot be had.
void* mapMemory(std::size_t bytes);
// Returns a block of mapMemory(bytes).
void unmapMemory(void* block, std::size_t bytes);

// Makes the pages of a block of mapMemory present and writable on a thread of
// its own, from the first, without changing a byte of them: the system zeroes
// each page as it first gives it, and a grid's zeroing done so overlaps the
// reading of the node tables instead of holding up the threads that fill the
// grid, which would otherwise wait for one another's page faults (a third of
// the filling of one file on two threads). The destructor stops it and waits.
// On a system that cannot (before Linux 5.14) it does nothing.
class PagesMadePresent {
public:
    PagesMadePresent(const void* block, std::size_t bytes);
    ~PagesMadePresent();
    PagesMadePresent(const PagesMadePresent&) = delete;
    PagesMadePresent& operator=(const PagesMadePresent&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
