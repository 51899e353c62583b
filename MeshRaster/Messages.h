// The lines a run prints, through one sink: messages on standard output (or
// on standard error when the grid itself goes to standard output), warnings on
// standard error after what standard output holds, each line whole and out as
// soon as it is printed, with a terminal's progress line held off.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One message line, without its newline.
void printMessage(const std::string& line);
// One warning line (or several, joined by newlines), without its last newline.
void printWarning(const std::string& line);
// From now on messages go to standard error: standard output is the grid file.
void messagesToStandardError();
// False when a message could not be written to standard output or standard
// error (closed, a pipe without a reader, a full disk); says so on standard
// error for standard output. Checked after the grid file, which comes first.
bool messagesWritten();

// Text of the user's (a name, a word, a token) as a message shows it: control
// characters as \n, \t, \r or \xhh, so that no byte of it can act on a
// terminal or forge a line; at most maxBytes of it, cut where a character
// begins, then "..." (also when more says the text went on); with quoted, in
// double quotes, a quote or backslash in it escaped.
std::string shownText(const std::string& text, std::size_t maxBytes = std::string::npos, bool quoted = false,
                      bool more = false);
// name as standard error shows it: shownText whole.
inline std::string printableName(const std::string& name) { return shownText(name); }

// The lines the conversion of one file prints. A file converted alone prints
// each line as it comes; files converted at once keep theirs until the files
// before them have printed, so that both streams hold the lines of a
// one-file-at-a-time run, in list order.
class FileMessages {
public:
    explicit FileMessages(bool immediate) : immediate_(immediate) {}

    // A message line, without its newline.
    void out(std::string line) { add(false, std::move(line)); }
    // A warning line, without its newline.
    void err(std::string line) { add(true, std::move(line)); }
    // Prints the lines kept, in order.
    void print();
    // Appends the lines kept to packed, as bytes that unpack takes back in
    // another process of the run.
    void pack(std::string& packed) const;
    // Keeps the lines pack wrote from at, up to end; returns where they end,
    // or nullptr when the bytes are not what pack writes.
    const char* unpack(const char* at, const char* end);

private:
    struct Line {
        bool toErr;
        std::string text;
    };
    void add(bool toErr, std::string text);

    bool immediate_;
    std::vector<Line> lines_;
};
