#include "Jobs.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

int quotaProcessors(const std::string& cpuMax) {
    long long quota = 0, period = 0;
    char tail = '\0';
    if (std::sscanf(cpuMax.c_str(), "%lld %lld%c", &quota, &period, &tail) < 2 || quota <= 0 || period <= 0) return 0;
    if (tail != '\0' && tail != '\n') return 0;
    const long long processors = (quota + period - 1) / period;
    return static_cast<int>(std::min<long long>(processors, 1 << 20));
}

namespace {

std::string firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The limit of the CPU quota of the process's control group as a container
// sees it (v2's cpu.max, or v1's quota and period), 0 when there is none: a
// container given two processors' time on a 64-core machine would otherwise
// run 64 threads for the time of two.
int quotaLimit() {
    if (const int n = quotaProcessors(firstLine("/sys/fs/cgroup/cpu.max"))) return n;
    return quotaProcessors(firstLine("/sys/fs/cgroup/cpu/cpu.cfs_quota_us") + " " +
                           firstLine("/sys/fs/cgroup/cpu/cpu.cfs_period_us"));
}

}  // namespace

int availableProcessors() {
    int n = static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(CPU_COUNT(&set), 1);
    const int quota = quotaLimit();
    return quota > 0 ? std::min(n, quota) : n;
}

namespace {

// The state the threads of one runInOrder share, under one mutex.
class OrderedWork {
public:
    OrderedWork(std::size_t count, std::size_t window) : count_(count), window_(window), done_(count, false) {}

    // The next item to work on; false when there is none to start.
    bool start(std::size_t& k) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || next_ >= count_ || next_ < taken_ + window_; });
        if (stop_ || next_ >= count_) return false;
        k = next_++;
        return true;
    }
    void finished(std::size_t k) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_[k] = true;
        }
        changed_.notify_all();
    }
    // Waits until item k is finished; false when the work has stopped instead.
    bool waitFor(std::size_t k) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this, k] { return stop_ || done_[k]; });
        return !stop_;
    }
    void taken(std::size_t k) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            taken_ = k + 1;
        }
        changed_.notify_all();
    }
    // Ends the work; the first exception given is kept.
    void stop(std::exception_ptr error = nullptr) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (error && !error_) error_ = error;
            stop_ = true;
        }
        changed_.notify_all();
    }
    std::exception_ptr error() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::size_t count_, window_;
    std::size_t next_ = 0, taken_ = 0;
    std::vector<bool> done_;
    bool stop_ = false;
    std::exception_ptr error_;
};

}  // namespace

void runInOrder(std::size_t count, int jobs, std::size_t window, const std::function<void(std::size_t)>& work,
                const std::function<bool(std::size_t)>& take) {
    if (jobs <= 1 || count <= 1) {
        for (std::size_t k = 0; k < count; ++k) {
            work(k);
            if (!take(k)) return;
        }
        return;
    }
    OrderedWork shared(count, std::max<std::size_t>(window, 1));
    const auto worker = [&shared, &work] {
        std::size_t k;
        while (shared.start(k)) {
            try {
                work(k);
            } catch (...) {
                shared.stop(std::current_exception());
                return;
            }
            shared.finished(k);
        }
    };
    std::vector<std::thread> threads;
    try {
        const auto n = std::min(static_cast<std::size_t>(jobs), count);
        for (std::size_t t = 0; t < n; ++t) {
            try {
                threads.emplace_back(worker);
            } catch (const std::system_error&) {
                break;  // the threads started do all the work
            }
        }
        if (threads.empty()) {
            shared.stop();
            runInOrder(count, 1, window, work, take);
            return;
        }
        for (std::size_t k = 0; k < count && shared.waitFor(k); ++k) {
            if (!take(k)) break;
            shared.taken(k);
        }
    } catch (...) {
        shared.stop(std::current_exception());
    }
    shared.stop();
    for (std::thread& t : threads) t.join();
    if (const std::exception_ptr error = shared.error()) std::rethrow_exception(error);
}
