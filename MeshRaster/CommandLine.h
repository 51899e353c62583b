// The command line of a run: what to do, with which options, on which configuration file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "NodeColumns.h"

// The arguments read into one value; the options are only checked here, not acted on.
struct CommandLine {
    enum class Action {
        run,         // convert configName
        help,        // print the help text, exit 0
        version,     // print the version, exit 0
        usageError,  // print the usage text and problem, exit 2
    };
    Action action = Action::usageError;
    std::string problem;                       // the line naming a usage error; empty: the usage text alone
    std::string format;                        // the GDAL driver's short name; empty: the KORVEN-ASCII text
    bool textAsked = false;                    // --format named the KORVEN-ASCII text itself
    std::string output;                        // --output: the grid file, in place of the configuration's
    bool hasOutput = false;                    // --output was given
    bool quiet = false;                        // --quiet: no progress line or summary on a terminal
    std::string srs;                           // the reference system as given to --srs; empty: none written
    std::string nodata;                        // the --nodata value as given
    bool hasNodata = false;                    // --nodata was given
    double nodataValue = 0.0;                  // the --nodata value as a number
    std::vector<std::string> creationOptions;  // each --co NAME=VALUE, in the order given
    int jobs = 0;                              // --jobs; 0: one thread per processor available
    unsigned long long memory = 0;             // --memory in bytes; 0: the system's limit alone
    ColumnChoice columns;                      // each --column ROLE=COLUMN and the --variable
    bool hasTime = false;                      // --time was given
    bool lastTime = false;                     // --time last
    double time = 0.0;                         // else the --time value as a number
    std::string timeText;                      // the --time value as given
    std::string configName;                    // the configuration file
};

// The bytes of a --memory SIZE: a whole number with an optional binary
// suffix K, M, G or T (either case); false for anything else, for 0 and for
// a size beyond 2^64.
bool readMemorySize(const std::string& text, unsigned long long& bytes);

// Reads argv[1] to argv[argc - 1]; can be called any number of times.
CommandLine parseCommandLine(int argc, char** argv);

// The twelve usage lines: the command and the configuration file's tokens.
void printUsage(std::ostream& out);
// The usage lines, then one line of help for each option.
void printHelp(std::ostream& out);
// The program's name and version, its copyright and its licence.
void printVersion(std::ostream& out);
