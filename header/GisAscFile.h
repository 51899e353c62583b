// Forward-only reader of whitespace-separated text: the configuration file and
// the Tecplot files are both read through it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Reads tokens, integers and floating-point numbers in the manner of formatted
// stream extraction, over a buffer of its own (the stream interface is what the
// callers rely on; the buffer is invisible to them).
//
// Failed-read rule: a read that fails leaves its argument unchanged and sets a
// state flag; no flag is ever cleared, so once good() is false every later read
// fails too. A token or number that ends exactly at the end of the input is
// still delivered, with the end-of-file flag set at once.
//
// Reading also stops, with the fail state but never the end-of-file one, on an
// error from the system, on a token longer than 1 MiB (an endless token, such
// as /dev/zero or a binary file, would otherwise take all memory) and when the
// buffer's memory cannot be had; readProblem() then says which. A token cut
// short by such a stop is not delivered.
class GisAscFile {
public:
    // Mode "r" opens name for reading; any other mode text creates or truncates it.
    GisAscFile(const std::string& name, const char* mode);
    // A second reader of file's open file from offset, which stands on line,
    // with its way of reading numbers: it reads by position (pread), so that
    // several threads can read parts of one file at once. Not good when file
    // is not open or offset cannot be read.
    GisAscFile(const GisAscFile& file, long long offset, long long line);
    // Closes the file.
    virtual ~GisAscFile();

    // True while no flag (end-of-file, fail, bad) is set.
    bool good() const { return state_ == 0; }
    // True once the input has been read to its end.
    bool eof() const { return (state_ & kEof) != 0; }
    // True once a read has failed (an open that failed, a non-number, nothing left).
    bool fail() const { return (state_ & (kFail | kBad)) != 0; }
    // True when a read failed on an integer or number beyond the range of its type.
    bool outOfRange() const { return (state_ & kRange) != 0; }
    // True when a read failed because only whitespace was left, not on a bad token.
    bool endedBeforeToken() const { return (state_ & kNoToken) != 0; }
    // True when the constructor opened the file.
    bool isOpen() const { return file_ >= 0; }
    // The name the file was opened by, for messages.
    const std::string& name() const { return name_; }
    // One-based number of the line the read position stands on.
    long long lineNumber() const { return line_; }
    // Why reading stopped when it was not a token or the end of the input (a
    // read error from the system, a token too long to hold, memory), in words
    // for a warning; empty otherwise.
    const std::string& readProblem() const { return problem_; }

    // Extracts one optionally signed decimal integer that fits in an int.
    void getAscInt(int& value);
    // Extracts one number: optional sign, digits, optional fraction and exponent.
    void getAscDouble(double& value);
    // Extracts one whitespace-delimited token of at most 1 MiB.
    void getString(std::string& word);
    // Discards the rest of the line and its newline, at most 100000 characters.
    void emptyLine();
    // Skips whitespace, as a read does, and returns up to count bytes of what
    // follows without taking them; fewer only at the end of the input, which
    // sets no flag here (the next read finds it).
    std::string peek(std::size_t count);
    // Moves a good input file back to its first byte.
    void rewind();
    // Byte offset in the file of the read position.
    long long offset() const { return base_ + static_cast<long long>(pos_); }
    // Moves the read position to offset, which stands on line, and takes back
    // the flags of a failed read and of the end of the input, to read a part
    // of the file again; false, and nothing moved, when reading has stopped or
    // the file cannot seek (a pipe: reading then stops with a seek error).
    bool seekTo(long long offset, long long line);
    // After a read that failed on a token that is not a number (fail alone
    // set) and that begins a word, up to count bytes of that token and what
    // follows, without taking them or changing the flags; empty otherwise.
    std::string peekFailedToken(std::size_t count);
    // Ends reading here, as a read that failed does: what follows is not read.
    void stopReading() { failRead(); }
    // After such a read, takes the failure back, so that the token can be read
    // as a word: the read position stands at its first byte. Nothing otherwise.
    void resumeAtFailedToken() {
        if (state_ == kFail) state_ = 0;
    }
    // With on, getAscDouble also reads the exponents Fortran writes: "1.0D+03"
    // and "1.0d3" as "1.0e+03", and a mantissa directly followed by a signed
    // exponent ("1.00000000-120") as one number. Off, as for the configuration.
    void readFortranNumbers(bool on) { fortran_ = on; }

    // Reads up to count - 1 characters of the line into buf, stopping before delim
    // (which is consumed); buf is always NUL-terminated when count > 0.
    void getline(char* buf, int count, char delim);
    // Reads the next character, whitespace included.
    void getChar(char* c);
    // The mode text given at construction.
    std::string mode() const { return mode_; }

    // Size in bytes of the open input file, or -1 when unknown.
    long long fileSize() const;
    // The descriptor of the open file, -1 when none; for reading parts of it
    // by position, never for moving its offset.
    int descriptor() const { return file_; }

    // Converts text that is wholly one number, as getAscDouble reads it; false,
    // with value unchanged, for any other text ("6OO400", "2,5", "0x10", "1e400").
    static bool wholeNumber(const std::string& text, double& value);

    GisAscFile(const GisAscFile&) = delete;
    GisAscFile& operator=(const GisAscFile&) = delete;

private:
    enum : unsigned { kEof = 1, kFail = 2, kBad = 4, kNoToken = 8, kRange = 16 };

    // The text of one number and what its scan found (defined in the source).
    struct NumberText;

    // Loads more input after end_; false at the end of input and when reading
    // stops (see stop). The unread bytes, from pos_ on, stay and move to the
    // buffer's start, so a token being read starts at pos_ until it is taken
    // whole; they are that token's first part.
    bool refill();
    // Makes room for more input after a token that fills the buffer; the buffer
    // itself is first allocated here, so that its memory is a read's problem.
    bool grow();
    // Ends reading on what is not the end of the input: sets fail and bad and
    // keeps why, followed by the system's reason for error when it is not 0.
    void stop(const char* why, int error = 0);
    // True once reading has stopped (stop); no read then finds the end of the input.
    bool stopped() const { return (state_ & kBad) != 0; }
    // Sets the flags of the end of the input, unless reading stopped short of it.
    void reachEnd(unsigned flags) {
        if (!stopped()) state_ |= flags;
    }
    // Fails a read on a stream that is not good. After a token that ended the
    // input, nothing but the end is left: that failure, too, found no token.
    void failRead() { state_ |= state_ == kEof ? (kFail | kNoToken) : kFail; }
    // Skips whitespace, counting newlines; false (eof and fail set) at the end.
    bool skipSpace();
    // Begins a token read: fails it on a stream that is not good, else skips
    // whitespace; true when a token starts at pos_.
    bool startToken();
    // On a good stream, skips the loaded whitespace and takes the number there
    // (an int's when real is false) if the byte after it is loaded too; else
    // takes no number.
    NumberText loadedNumber(bool real);
    // Takes the number at the read position, loading input as needed; sets the
    // flags and takes no number when the stream is not good or nothing is left.
    NumberText loadNumber(bool real);
    // Extracts an int or a double: the number in the loaded bytes, or else
    // through getNumberLoading, which loads more.
    template <class T>
    void getNumber(T& value);
    template <class T>
    void getNumberLoading(T& value);

    int file_ = -1;            // descriptor of the open file, -1 when none
    bool positional_ = false;  // reads by position: a second reader of another's file
    std::string name_;
    std::string mode_;
    unsigned state_ = 0;
    std::string problem_;     // see readProblem()
    bool exhausted_ = false;  // the file has no bytes beyond end_
    long long line_ = 1;
    bool fortran_ = false;   // see readFortranNumbers
    std::vector<char> buf_;  // read-ahead; bytes [pos_, end_) are unread
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    long long base_ = 0;  // file offset of buf_[0]
};
