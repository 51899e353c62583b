// Work spread over threads, its results taken in order.
#pragma once

#include <cstddef>
#include <functional>

// The processors this process may run on (its CPU affinity), at least 1.
int availableProcessors();

// Runs work(k) for k = 0, 1, ... count - 1 on up to jobs threads, started in
// order of k, and calls take(k) on the calling thread in order of k, each as
// soon as work(k) has finished. No work(k) starts while window or more of the
// earlier ones have not been taken yet, so window bounds the results held at
// once. When take returns false, no further work starts and nothing more is
// taken. With jobs 1 (or one item), work and take alternate on the calling
// thread, no thread is started. An exception from work or take stops the rest
// and is thrown again on the calling thread once every thread has ended.
void runInOrder(std::size_t count, int jobs, std::size_t window, const std::function<void(std::size_t)>& work,
                const std::function<bool(std::size_t)>& take);
