#include "CommandLine.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "OutputName.h"
#include "Version.h"

namespace {

// Printed alone for a call without a configuration file, and at the head of the help.
// The usage check of the docs tests compares these lines with the manual's.
const char* const kUsage[] = {
    "Use MeshRaster ConfigFile",
    "ConfigFile format:",
    "Velocity (for velocity values) or PileHeight",
    "xmin <Output Grid minimum X coordinate>",
    "ymin <Output Grid minimum Y coordinate>",
    "xmax <Output Grid maximum X coordinate>",
    "ymax <Output Grid maximum Y coordinate>",
    "resx <Output Grid resolution in X direction>",
    "resy <Output Grid resolution in Y direction>",
    "output <Output KORVEN-ASCII file>",
    "input <Tecplot file 1> <Tecplot file 2> ...",
    "... <Tecplot file n>",
};

const char* const kOptionHelp[] = {
    "Options:",
    "  -h, --help            print this text and exit",
    "  -V, --version         print the version and exit",
    "  -f, --format NAME     grid format: KORVEN-ASCII (default) or a GDAL driver",
    "  -o, --output NAME     grid file to write instead of the ConfigFile's output;",
    "                        without --format, a .tif or .tiff name writes a GeoTIFF",
    "                        (-o pileheight.tif)",
    "  -s, --srs DEFINITION  coordinate reference system (EPSG:32632, WKT, PROJ)",
    "  -j, --jobs N          threads to use (default: one per processor)",
    "  -q, --quiet           no progress line or summary on a terminal",
    "      --memory SIZE     use at most SIZE bytes of memory (suffix K, M, G or T);",
    "                        a larger grid is made in bands of rows",
    "      --nodata VALUE    declare VALUE as no-data; cells are not changed",
    "      --co NAME=VALUE   creation option for the GDAL driver (repeatable)",
    "      --column ROLE=COLUMN",
    "                        read ROLE (x, y, height, xmomentum, ymomentum,",
    "                        xvelocity, yvelocity) from the node column of that",
    "                        VARIABLES name or 1-based position (repeatable)",
    "      --variable NAME   rasterise the node variable NAME instead of the pile",
    "                        height or velocity",
    "      --time T|last     only the zones of SOLUTIONTIME T, or of each file's",
    "                        last time (default: every zone, the maximum)",
    "      --                end of options; the ConfigFile follows",
};

// The text format's name as the usage text writes it; any letter case names it too.
const char kTextFormat[] = "KORVEN-ASCII";

// Options without a short form get codes past every character, so that the
// option of a failure (getopt's optopt) tells them from the short ones.
enum : int { kNodata = 256, kCreationOption, kColumn, kVariable, kTime, kMemory };

const option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"format", required_argument, nullptr, 'f'},
    {"output", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"srs", required_argument, nullptr, 's'},
    {"jobs", required_argument, nullptr, 'j'},
    {"nodata", required_argument, nullptr, kNodata},
    {"co", required_argument, nullptr, kCreationOption},
    {"column", required_argument, nullptr, kColumn},
    {"variable", required_argument, nullptr, kVariable},
    {"time", required_argument, nullptr, kTime},
    {"memory", required_argument, nullptr, kMemory},
    {nullptr, 0, nullptr, 0},
};

// Options may stand before or after the configuration file, as with other GNU
// tools ("MeshRaster run.cfg --format GTiff" after editing a command from the
// history), so "MeshRaster run.cfg -x" refuses -x rather than taking it as a
// second file; a configuration named "-x" is given after "--". The leading "-"
// returns each plain argument in place (code 1) instead of permuting argv, and
// so does not depend on POSIXLY_CORRECT; the ":" after it reports a missing
// value as ':' apart from an unknown option, '?', without getopt's own message.
const char kShortOptions[] = "-:hVqf:o:s:j:";

const char kProgram[] = "MeshRaster: ";

// The name of a known option as the user spelled its kind: "--format" or "-f".
std::string optionName(int code, bool spelledLong) {
    if (spelledLong || code >= kNodata) {
        for (const option& o : kOptions) {
            if (o.name != nullptr && o.val == code) return std::string("--") + o.name;
        }
    }
    return std::string("-") + static_cast<char>(code);
}

bool startsWithDashDash(const char* arg) { return std::strncmp(arg, "--", 2) == 0; }

// The argument that held the option getopt has just returned with its value:
// the one before the value when that came as an argument of its own.
const char* optionArgument(char** argv) { return optarg == argv[optind - 1] ? argv[optind - 2] : argv[optind - 1]; }

bool equalsIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The whole of text as a double. "nan" and "inf" pass: GDAL users declare NaN
// as the no-data value of a Float64 band. A value beyond the range of a double fails.
bool readNumber(const std::string& text, double& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    // from_chars takes no plus sign; a number written with one is still a number.
    if (first != last && *first == '+' && last - first > 1 && first[1] != '-' && first[1] != '+') ++first;
    const std::from_chars_result r = std::from_chars(first, last, value);
    return first != last && r.ec == std::errc() && r.ptr == last;
}

}  // namespace

bool readMemorySize(const std::string& text, unsigned long long& bytes) {
    const char* first = text.data();
    const char* last = first + text.size();
    unsigned long long n = 0;
    const std::from_chars_result r = std::from_chars(first, last, n);
    if (r.ec != std::errc() || r.ptr == first || n == 0) return false;
    int shift = 0;
    if (r.ptr != last) {
        if (last - r.ptr != 1) return false;
        switch (*r.ptr) {
            case 'K':
            case 'k':
                shift = 10;
                break;
            case 'M':
            case 'm':
                shift = 20;
                break;
            case 'G':
            case 'g':
                shift = 30;
                break;
            case 'T':
            case 't':
                shift = 40;
                break;
            default:
                return false;
        }
    }
    if (n > (~0ULL >> shift)) return false;
    bytes = n << shift;
    return true;
}

namespace {

CommandLine usageError(CommandLine cl, const std::string& problem) {
    cl.action = CommandLine::Action::usageError;
    cl.problem = problem.empty() ? problem : kProgram + problem;
    return cl;
}

// The first option that only a GDAL format can carry, or nullptr.
const char* gdalOnlyOption(const CommandLine& cl) {
    if (!cl.srs.empty()) return "--srs";
    if (cl.hasNodata) return "--nodata";
    if (!cl.creationOptions.empty()) return "--co";
    return nullptr;
}

// Stores the value of an option that takes one; the problem with it, or empty.
std::string takeValue(int c, const std::string& value, CommandLine& cl) {
    if (c == 'f') {
        cl.textAsked = equalsIgnoringCase(value, kTextFormat);
        cl.format = cl.textAsked ? "" : value;
    }
    if (c == 'o') {
        cl.output = value;
        cl.hasOutput = true;
    }
    if (c == 's') cl.srs = value;
    if (c == 'j') {
        const char* last = value.data() + value.size();
        const std::from_chars_result r = std::from_chars(value.data(), last, cl.jobs);
        if (r.ec != std::errc() || r.ptr != last || cl.jobs < 1)
            return "option '--jobs' needs a whole number of threads, 1 or more, not '" + value + "'";
    }
    if (c == kMemory && !readMemorySize(value, cl.memory))
        return "option '--memory' needs a size in bytes, with K, M, G or T for KiB, MiB, GiB or TiB, not '" + value +
               "'";
    if (c == kNodata) {
        if (!readNumber(value, cl.nodataValue)) return "option '--nodata' needs a number, not '" + value + "'";
        cl.nodata = value;
        cl.hasNodata = true;
    }
    if (c == kCreationOption) {
        if (value.find('=') == std::string::npos || value[0] == '=') {
            return "option '--co' needs NAME=VALUE, not '" + value + "'";
        }
        cl.creationOptions.push_back(value);
    }
    if (c == kColumn) {
        const std::size_t equals = value.find('=');
        const std::string role = value.substr(0, equals);
        int r = 0;
        while (r < 7 && !equalsIgnoringCase(role, roleWord(static_cast<ColumnRole>(r)))) ++r;
        if (equals == std::string::npos || equals + 1 == value.size() || r == 7)
            return "option '--column' needs ROLE=NAME or ROLE=POSITION, ROLE one of x, y, height, xmomentum, "
                   "ymomentum, xvelocity, yvelocity, not '" +
                   value + "'";
        cl.columns.role[r] = value.substr(equals + 1);
    }
    if (c == kVariable) cl.columns.variable = value;
    if (c == kTime) {
        cl.lastTime = equalsIgnoringCase(value, "last");
        if (!cl.lastTime && (!readNumber(value, cl.time) || !std::isfinite(cl.time)))
            return "option '--time' needs a solution time or last, not '" + value + "'";
        cl.hasTime = true;
        cl.timeText = value;
    }
    return "";
}

// The problem with an option getopt did not take; at is the argument it came from.
std::string unknownOption(char** argv, int at) {
    // "--help=x": getopt gives the option's own code.
    if ((optopt == 'h' || optopt == 'V' || optopt == 'q') && startsWithDashDash(argv[optind - 1])) {
        return "option '" + optionName(optopt, true) + "' doesn't allow a value";
    }
    // An unknown long option, with any "=value" as typed.
    if (optopt == 0) return "unrecognized option '" + std::string(argv[optind - 1]) + "'";
    // An unknown character of a short option: named alone when it prints as one.
    if (optopt > ' ' && optopt < 127) return "unrecognized option '-" + std::string(1, static_cast<char>(optopt)) + "'";
    return "unrecognized option '" + std::string(argv[at]) + "'";
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine cl;
    std::vector<std::string> plain;
    // Index 0 makes getopt start afresh, so that every call reads the whole of argv.
    optind = 0;
    opterr = 0;
    for (;;) {
        // The element a short option comes from; getopt moves optind past it
        // only once its last character is read.
        const int at = optind == 0 ? 1 : optind;
        const int c = getopt_long(argc, argv, kShortOptions, kOptions, nullptr);
        if (c == -1) break;
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
            case 1:
                plain.push_back(value);
                break;
            case 'h':
                cl.action = CommandLine::Action::help;
                return cl;
            case 'V':
                cl.action = CommandLine::Action::version;
                return cl;
            case 'q':
                cl.quiet = true;
                break;
            case 'f':
            case 'o':
            case 's':
            case 'j':
            case kNodata:
            case kCreationOption:
            case kColumn:
            case kVariable:
            case kTime:
            case kMemory:
                if (value.empty()) {
                    return usageError(cl, "option '" + optionName(c, startsWithDashDash(optionArgument(argv))) +
                                              "' requires a value");
                }
                if (const std::string problem = takeValue(c, value, cl); !problem.empty()) {
                    return usageError(cl, problem);
                }
                break;
            case ':':
                // A missing value can only be that of the last argument.
                return usageError(
                    cl, "option '" + optionName(optopt, startsWithDashDash(argv[argc - 1])) + "' requires a value");
            default:
                return usageError(cl, unknownOption(argv, at));
        }
    }
    // After "--" every argument is a plain one.
    for (int i = optind; i < argc; ++i) plain.emplace_back(argv[i]);

    // A .tif name given here asks for GeoTIFF as --format GTiff would; one
    // from the configuration is not known yet, and needs --format.
    const bool geoTiffNamed = cl.hasOutput && !cl.textAsked && namesGeoTiff(cl.output);
    if (const char* name = gdalOnlyOption(cl); name != nullptr && cl.format.empty() && !geoTiffNamed) {
        return usageError(
            cl, std::string("option '") + name + "' needs a GDAL format; the " + kTextFormat + " text cannot hold it");
    }
    // No argument at all, or several plain ones: the usage text alone, as it
    // has always been.
    if (argc <= 1 || plain.size() > 1) return usageError(cl, "");
    if (plain.empty()) return usageError(cl, "no configuration file given");
    cl.configName = plain.front();
    cl.action = CommandLine::Action::run;
    return cl;
}

void printUsage(std::ostream& out) {
    for (const char* line : kUsage) out << line << '\n';
}

void printHelp(std::ostream& out) {
    printUsage(out);
    out << '\n';
    for (const char* line : kOptionHelp) out << line << '\n';
}

void printVersion(std::ostream& out) {
    out << "MeshRaster " << MESHRASTER_VERSION << '\n'
        << "Copyright (C) 2026 The MeshRaster developers\n"
        << "License MIT <https://opensource.org/license/mit>.\n"
        << "This is free software: you are free to change and redistribute it.\n"
        << "There is NO WARRANTY, to the extent permitted by law.\n";
}
