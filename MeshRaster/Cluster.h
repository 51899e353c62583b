// A run across the processes that mpirun starts (MPI): the input files are
// shared among the processes by size, the grid's rows among them as one band
// each, every element read goes to the processes whose bands it touches, and
// all write the one output. Process 0 speaks for all: it prints the messages,
// in list order, and publishes the output. Without MPI built in, or under
// mpirun -n 1, a run is the one process it always was.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AscGrid.h"
#include "Bands.h"
#include "GxGrid.h"

// Joins the processes mpirun started, when the program is built with MPI and
// its environment says it was started so; a process other than 0 keeps what
// it prints to itself (printedHere). Call it first in main.
void startProcesses(int& argc, char**& argv);
// Leaves them; returns status.
int endProcesses(int status);
// The processes of the run, and this one's number: 1 and 0 for one process.
int processCount();
int processRank();

// The files (by number) that process rank of processes reads, of files whose
// sizes in bytes are given: the largest first, each to the process with the
// fewest bytes so far (then the fewest files, then the lowest number), so
// that each reads about as much; in list order.
std::vector<std::size_t> filesOfProcess(const std::vector<unsigned long long>& sizes, int processes, int rank);

// The rows each process holds of a grid of rows (the last ones fewer, or
// none): at least 1.
inline int bandRowsPerProcess(int rows, int processes) { return rows <= 0 ? 1 : (rows + processes - 1) / processes; }

#ifdef MESHRASTER_HAVE_MPI

// Collective: every process of the run calls them, in the same order.
// The largest, and the sum, of every process's value; the smallest.
long long largestOfAll(long long value);
long long sumOfAll(long long value);
unsigned long long smallestOfAll(unsigned long long value);
// Every process's value, by process number.
std::vector<long long> valuesOfAll(long long value);
// On process 0, the text each process gives, by process number; empty elsewhere.
std::vector<std::string> textsAtFirst(const std::string& mine);
// Process 0's text, on every process.
std::string textOfFirst(const std::string& mine);

// What this process has printed to its standard output and standard error
// since startProcesses (a process other than 0).
std::string printedHere();
// Point to point: sends text to process 0; takes there the text that
// process sent.
void sendTextToFirst(const std::string& text);
std::string textFrom(int process);

// The elements of a run across processes on their way to the bands they touch.
// Each process sends the records of every other process's band in buffers of
// a bounded size, a bounded number of them at once, and hands the records it
// receives to take(records, count); its own band's records it hands over at
// once, on the thread that adds them. While it waits for room to send, it
// takes what it receives, so that no process waits for another that waits
// for it.
class BandExchange : public ElementSink {
public:
    using Take = std::function<void(const double* records, std::size_t count)>;
    // The bands of rowsPerBand rows of the grid of gridPar, one a process.
    BandExchange(const GxGridParam& gridPar, int rowsPerBand, Take take);
    ~BandExchange() override;

    void add(const std::vector<double>& entries) override;
    // Sends what is left, tells every process that this one is done, and
    // takes what the others send until each has said so.
    void finish();

private:
    struct InFlight;
    void send(int to);
    // Takes what has arrived; true when something had.
    bool receive();
    // Waits until at most most sends to process to (or to any, for -1) are in flight.
    void drain(int to, std::size_t most);

    Take take_;
    const int rank_, processes_;
    const std::size_t bufferDoubles_;
    std::mutex lock_;
    std::vector<std::vector<double>> out_;  // records gathered for each process
    std::deque<std::unique_ptr<InFlight>> inFlight_;
    std::vector<std::size_t> inFlightTo_;     // sends in flight to each process
    std::vector<std::vector<double>> spare_;  // buffers sent, kept for their room
    std::vector<double> in_;
    int doneFrom_ = 0;  // processes that said they are done
};

// A process's part of the grid file's text: head, its rows' text, then
// fileBytes of the file fd (the text of rows made a part at a time), then
// tail. failed, when not empty, is why the text could not be made.
struct ProcessText {
    std::string head, tail;
    std::unique_ptr<GridRowsText> rows;
    int fd = -1;
    long long fileBytes = 0;
    std::string failed;
};

// Writes every process's text into fileName, which process 0 has made, all
// at once, each at the sum of the lengths before it. Empty, or the reason of
// the first process that failed, on every process.
std::string writeTextTogether(const std::string& fileName, const ProcessText& text);

// Process 0's side of the bands sent to it in order: the rows [first, end)
// of a grid of nrows x ncols, asked for from process p and received (nullptr,
// with error set, when p could not make them or their memory cannot be had);
// once the writer is done, every process is told that no more are wanted.
std::unique_ptr<GxGrid> bandFrom(int p, int nrows, int ncols, int first, int end, int& error);
void noMoreBands();
// The other side: true when process 0 asks for the next band, false when it
// wants no more; the band asked for is sent by sendBand, or the system's
// error number that kept it from being made.
bool bandAsked();
void sendBand(const GxGrid* band, int error);

#endif
