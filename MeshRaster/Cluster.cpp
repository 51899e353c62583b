#include "Cluster.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <numeric>
#include <stdexcept>
#include <utility>

#ifdef MESHRASTER_HAVE_MPI
#include <mpi.h>
#endif

namespace {

int gRank = 0;
int gProcesses = 1;

#ifdef MESHRASTER_HAVE_MPI
bool gJoined = false;
int gCaptured = -1;  // where a process other than 0 keeps what it prints
// The launcher's own output channels of a process other than 0, held open
// until it exits, as every process of a parallel run holds them. Replacing
// them alone closed them, and under Open MPI's mpirun they hung up while the
// run went on; once, mpirun then printed a stray "[warn] Epoll MOD(1) on fd
// 23 failed" about such a channel among the messages.
int gLauncherOut = -1, gLauncherErr = -1;

// Whether the launcher of an MPI run started this process: Open MPI's
// mpirun, a Hydra (MPICH) launcher or a PMIx one (srun). Started by hand, the
// program runs alone without starting MPI at all, as a build without it does.
bool startedByLauncher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}
#endif

}  // namespace

void startProcesses(int& argc, char**& argv) {
#ifdef MESHRASTER_HAVE_MPI
    if (!startedByLauncher()) return;
    // The threads of a process take turns at MPI (BandExchange holds a lock
    // around every call), so serialised calls suffice.
    int provided = MPI_THREAD_SINGLE;
    if (MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided) != MPI_SUCCESS) return;
    gJoined = true;
    MPI_Comm_rank(MPI_COMM_WORLD, &gRank);
    MPI_Comm_size(MPI_COMM_WORLD, &gProcesses);
    if (provided < MPI_THREAD_SERIALIZED && gProcesses > 1) {
        std::fprintf(stderr, "MeshRaster: this MPI cannot take calls from several threads\n");
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    if (gRank > 0) {
        // Process 0 prints for all; what another prints is kept, for the one
        // case where it alone knows why the run cannot start.
        std::cout.flush();
        std::fflush(nullptr);
        gCaptured = ::memfd_create("meshraster-messages", MFD_CLOEXEC);
        if (gCaptured >= 0) {
            gLauncherOut = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
            gLauncherErr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
            ::dup2(gCaptured, STDOUT_FILENO);
            ::dup2(gCaptured, STDERR_FILENO);
        }
    }
#else
    (void)argc;
    (void)argv;
#endif
}

int endProcesses(int status) {
#ifdef MESHRASTER_HAVE_MPI
    if (gJoined) MPI_Finalize();
#endif
    return status;
}

int processCount() { return gProcesses; }
int processRank() { return gRank; }

std::vector<std::size_t> filesOfProcess(const std::vector<unsigned long long>& sizes, int processes, int rank) {
    std::vector<std::size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
    // Bytes, then files, so far: files of no size (not found, a pipe) are shared by their count.
    std::vector<std::pair<unsigned long long, std::size_t>> load(static_cast<std::size_t>(std::max(processes, 1)));
    std::vector<std::size_t> mine;
    for (const std::size_t k : order) {
        const auto least = static_cast<int>(std::min_element(load.begin(), load.end()) - load.begin());
        load[static_cast<std::size_t>(least)].first += sizes[k];
        ++load[static_cast<std::size_t>(least)].second;
        if (least == rank) mine.push_back(k);
    }
    std::sort(mine.begin(), mine.end());
    return mine;
}

#ifdef MESHRASTER_HAVE_MPI

namespace {

enum Tag { kElements = 1, kText = 2, kAsk = 3, kBand = 4 };

// The most elements of one message: MPI counts in int.
constexpr std::size_t kPiece = std::size_t{1} << 27;

void sendText(const std::string& text, int to) {
    long long size = static_cast<long long>(text.size());
    MPI_Send(&size, 1, MPI_LONG_LONG, to, kText, MPI_COMM_WORLD);
    for (std::size_t at = 0; at < text.size(); at += kPiece)
        MPI_Send(text.data() + at, static_cast<int>(std::min(kPiece, text.size() - at)), MPI_CHAR, to, kText,
                 MPI_COMM_WORLD);
}

std::string errorText(int code) {
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) return "MPI error " + std::to_string(code);
    return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

long long largestOfAll(long long value) {
    long long all = value;
    MPI_Allreduce(&value, &all, 1, MPI_LONG_LONG, MPI_MAX, MPI_COMM_WORLD);
    return all;
}

unsigned long long smallestOfAll(unsigned long long value) {
    unsigned long long all = value;
    MPI_Allreduce(&value, &all, 1, MPI_UNSIGNED_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
    return all;
}

long long sumOfAll(long long value) {
    long long all = value;
    MPI_Allreduce(&value, &all, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    return all;
}

std::vector<long long> valuesOfAll(long long value) {
    std::vector<long long> all(static_cast<std::size_t>(gProcesses));
    MPI_Allgather(&value, 1, MPI_LONG_LONG, all.data(), 1, MPI_LONG_LONG, MPI_COMM_WORLD);
    return all;
}

void sendTextToFirst(const std::string& text) { sendText(text, 0); }

std::string textFrom(int process) {
    long long size = 0;
    MPI_Recv(&size, 1, MPI_LONG_LONG, process, kText, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::string text(static_cast<std::size_t>(size), '\0');
    for (std::size_t at = 0; at < text.size(); at += kPiece)
        MPI_Recv(&text[at], static_cast<int>(std::min(kPiece, text.size() - at)), MPI_CHAR, process, kText,
                 MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    return text;
}

std::vector<std::string> textsAtFirst(const std::string& mine) {
    std::vector<std::string> texts;
    if (gRank != 0) {
        sendText(mine, 0);
        return texts;
    }
    texts.push_back(mine);
    for (int p = 1; p < gProcesses; ++p) texts.push_back(textFrom(p));
    return texts;
}

std::string textOfFirst(const std::string& mine) {
    long long size = static_cast<long long>(mine.size());
    MPI_Bcast(&size, 1, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    std::string text = gRank == 0 ? mine : std::string(static_cast<std::size_t>(size), '\0');
    for (std::size_t at = 0; at < text.size(); at += kPiece)
        MPI_Bcast(&text[at], static_cast<int>(std::min(kPiece, text.size() - at)), MPI_CHAR, 0, MPI_COMM_WORLD);
    return text;
}

std::string printedHere() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::string text;
    if (gCaptured < 0) return text;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(gCaptured, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
    return text;
}

// ---- The elements on their way to their bands -------------------------------

namespace {

// All the buffers of one process together stay within this, whatever the
// number of processes; each buffer within the bounds below.
constexpr std::size_t kAllBuffers = std::size_t{16} << 20;
constexpr std::size_t kMostBuffer = std::size_t{1} << 20;
constexpr std::size_t kLeastBuffer = std::size_t{8} << 10;
// Sends in flight to one process at most, the one being filled aside.
constexpr std::size_t kMostInFlight = 2;

std::size_t bufferDoubles(int processes) {
    const std::size_t bytes =
        std::clamp(kAllBuffers / static_cast<std::size_t>(std::max(processes, 1)), kLeastBuffer, kMostBuffer);
    return std::max<std::size_t>(bytes / kSpillRecord, 1) * kSpillDoubles;
}

}  // namespace

struct BandExchange::InFlight {
    MPI_Request request = MPI_REQUEST_NULL;
    std::vector<double> records;
    int to = 0;
};

BandExchange::BandExchange(const GxGridParam& gridPar, int rowsPerBand, Take take)
    : ElementSink(gridPar, rowsPerBand),
      take_(std::move(take)),
      rank_(gRank),
      processes_(gProcesses),
      bufferDoubles_(bufferDoubles(gProcesses)),
      out_(static_cast<std::size_t>(gProcesses)),
      inFlightTo_(static_cast<std::size_t>(gProcesses), 0) {}

BandExchange::~BandExchange() = default;

void BandExchange::add(const std::vector<double>& entries) {
    // This process's own records are taken after the lock is let go, so that
    // its threads fill at once (the band is shared while they do).
    std::vector<double> mine;
    {
        const std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t at = 0; at < entries.size(); at += 1 + kSpillDoubles) {
            const int to = static_cast<int>(entries[at]);
            std::vector<double>& buffer = to == rank_ ? mine : out_[static_cast<std::size_t>(to)];
            if (to != rank_ && buffer.capacity() == 0) {
                if (!spare_.empty()) {
                    buffer.swap(spare_.back());
                    spare_.pop_back();
                } else {
                    buffer.reserve(bufferDoubles_);
                }
            }
            buffer.insert(buffer.end(), entries.begin() + static_cast<std::ptrdiff_t>(at + 1),
                          entries.begin() + static_cast<std::ptrdiff_t>(at + 1 + kSpillDoubles));
            if (to != rank_ && buffer.size() >= bufferDoubles_) send(to);
        }
        receive();
    }
    if (!mine.empty()) take_(mine.data(), mine.size() / kSpillDoubles);
}

void BandExchange::send(int to) {
    drain(to, kMostInFlight - 1);
    auto f = std::make_unique<InFlight>();
    f->records.swap(out_[static_cast<std::size_t>(to)]);
    f->to = to;
    MPI_Isend(f->records.data(), static_cast<int>(f->records.size()), MPI_DOUBLE, to, kElements, MPI_COMM_WORLD,
              &f->request);
    ++inFlightTo_[static_cast<std::size_t>(to)];
    inFlight_.push_back(std::move(f));
}

void BandExchange::drain(int to, std::size_t most) {
    const auto waiting = [&] { return to < 0 ? inFlight_.size() : inFlightTo_[static_cast<std::size_t>(to)]; };
    while (waiting() > most) {
        bool progressed = false;
        for (auto it = inFlight_.begin(); it != inFlight_.end();) {
            int done = 0;
            MPI_Test(&(*it)->request, &done, MPI_STATUS_IGNORE);
            if (!done) {
                ++it;
                continue;
            }
            --inFlightTo_[static_cast<std::size_t>((*it)->to)];
            // Its room is kept for the next buffer: a fresh one a send took
            // its pages from the system, zeroed, every time.
            (*it)->records.clear();
            if ((*it)->records.capacity() > 0) spare_.push_back(std::move((*it)->records));
            it = inFlight_.erase(it);
            progressed = true;
        }
        // The process sent to may itself wait for room to send here.
        if (!receive() && !progressed) sched_yield();
    }
}

bool BandExchange::receive() {
    bool any = false;
    for (;;) {
        int arrived = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, kElements, MPI_COMM_WORLD, &arrived, &status);
        if (!arrived) return any;
        int count = 0;
        MPI_Get_count(&status, MPI_DOUBLE, &count);
        in_.resize(static_cast<std::size_t>(count));
        MPI_Recv(in_.data(), count, MPI_DOUBLE, status.MPI_SOURCE, kElements, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        any = true;
        // An empty message says its sender is done; messages from one sender
        // arrive in the order sent, so all its records came before it.
        if (count == 0)
            ++doneFrom_;
        else
            take_(in_.data(), in_.size() / kSpillDoubles);
    }
}

void BandExchange::finish() {
    const std::lock_guard<std::mutex> hold(lock_);
    for (int to = 0; to < processes_; ++to) {
        if (to == rank_) continue;
        if (!out_[static_cast<std::size_t>(to)].empty()) send(to);
        send(to);  // empty: done
    }
    drain(-1, 0);
    while (doneFrom_ < processes_ - 1)
        if (!receive()) sched_yield();
    std::vector<double>().swap(in_);
    std::vector<std::vector<double>>().swap(spare_);
}

// ---- The output ----------------------------------------------------------------

std::string writeTextTogether(const std::string& fileName, const ProcessText& text) {
    long long mine = static_cast<long long>(text.head.size() + text.tail.size()) + text.fileBytes;
    if (text.rows) mine += static_cast<long long>(text.rows->size());
    long long offset = 0;
    MPI_Exscan(&mine, &offset, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    if (gRank == 0) offset = 0;  // MPI_Exscan leaves process 0's undefined

    std::string reason = text.failed;
    MPI_File file;
    const int opened = MPI_File_open(MPI_COMM_WORLD, fileName.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file);
    if (opened != MPI_SUCCESS && reason.empty()) reason = errorText(opened);
    if (largestOfAll(opened != MPI_SUCCESS)) {
        if (opened == MPI_SUCCESS) MPI_File_close(&file);
    } else {
        const auto put = [&](const char* data, std::size_t size) {
            if (!reason.empty()) return;
            MPI_Status status;
            const int wrote = MPI_File_write_at(file, offset, data, static_cast<int>(size), MPI_BYTE, &status);
            int count = 0;
            if (wrote == MPI_SUCCESS) MPI_Get_count(&status, MPI_BYTE, &count);
            if (wrote != MPI_SUCCESS)
                reason = errorText(wrote);
            else if (count != static_cast<int>(size))
                reason = "a write was cut short";
            offset += static_cast<long long>(size);
        };
        // Each part in as few writes as MPI's int counts allow: the
        // processes of one machine take turns at the file's lock for each.
        const auto putText = [&](const char* data, std::size_t size) {
            for (std::size_t at = 0; at < size; at += kPiece) put(data + at, std::min(kPiece, size - at));
        };
        putText(text.head.data(), text.head.size());
        if (text.rows) putText(text.rows->data(), text.rows->size());
        std::vector<char> buffer(text.fd >= 0 ? std::size_t{8} << 20 : 0);
        for (long long at = 0; at < text.fileBytes && reason.empty();) {
            const ssize_t got = ::pread(text.fd, buffer.data(),
                                        static_cast<std::size_t>(std::min<long long>(
                                            text.fileBytes - at, static_cast<long long>(buffer.size()))),
                                        at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                reason = got < 0 ? std::strerror(errno) : "the band's text was cut short";
                break;
            }
            put(buffer.data(), static_cast<std::size_t>(got));
            at += got;
        }
        putText(text.tail.data(), text.tail.size());
        // On its disk before process 0 gives it the name.
        const int synced = MPI_File_sync(file);
        if (synced != MPI_SUCCESS && reason.empty()) reason = errorText(synced);
        const int closed = MPI_File_close(&file);
        if (closed != MPI_SUCCESS && reason.empty()) reason = errorText(closed);
    }
    // The first process's reason that has one, for all.
    std::string first;
    for (const std::string& r : textsAtFirst(reason))
        if (first.empty()) first = r;
    return textOfFirst(first);
}

std::unique_ptr<GxGrid> bandFrom(int p, int nrows, int ncols, int first, int end, int& error) {
    std::unique_ptr<GxGrid> grid;
    try {
        grid = std::make_unique<GxGrid>(nrows, ncols, first, end);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
        return nullptr;
    } catch (const std::length_error&) {
        error = ENOMEM;
        return nullptr;
    }
    int go = 1;
    MPI_Send(&go, 1, MPI_INT, p, kAsk, MPI_COMM_WORLD);
    int made = 0;
    MPI_Recv(&made, 1, MPI_INT, p, kBand, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    if (made != 0) {
        error = made;
        return nullptr;
    }
    double* cells = grid->data();
    for (std::size_t at = 0; at < grid->cellCount(); at += kPiece)
        MPI_Recv(cells + at, static_cast<int>(std::min(kPiece, grid->cellCount() - at)), MPI_DOUBLE, p, kBand,
                 MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    return grid;
}

void noMoreBands() {
    int stop = 0;
    for (int p = 1; p < gProcesses; ++p) MPI_Send(&stop, 1, MPI_INT, p, kAsk, MPI_COMM_WORLD);
}

bool bandAsked() {
    int go = 0;
    MPI_Recv(&go, 1, MPI_INT, 0, kAsk, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    return go != 0;
}

void sendBand(const GxGrid* band, int error) {
    int made = band ? 0 : (error != 0 ? error : EIO);
    MPI_Send(&made, 1, MPI_INT, 0, kBand, MPI_COMM_WORLD);
    if (!band) return;
    for (std::size_t at = 0; at < band->cellCount(); at += kPiece)
        MPI_Send(band->data() + at, static_cast<int>(std::min(kPiece, band->cellCount() - at)), MPI_DOUBLE, 0, kBand,
                 MPI_COMM_WORLD);
}

#endif
