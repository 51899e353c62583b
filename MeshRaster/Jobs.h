// Work spread over threads, its results taken in order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// The processors this process may run on (its CPU affinity), at most as many
// as a CPU quota of its control group gives it time for; at least 1.
int availableProcessors();

// The processors' worth of time a control group's CPU quota allows, rounded
// up, from the text of cgroup v2's cpu.max ("150000 100000": 2); 0 when it
// sets no limit ("max 100000") or cannot be read.
int quotaProcessors(const std::string& cpuMax);

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
