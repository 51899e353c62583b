#include "GisTecplotFile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "CharClasses.h"
#include "Jobs.h"
#include "LineStarts.h"
#include "GxBox.h"
#include "ZoneRecord.h"

// Elements that one warning sums up: those that name a node outside the table,
// or those that offered values that are not finite.
struct ElementTally {
    long long count = 0;
    long long first = 0;  // element number of the first of them
    long long firstLine = 0;

    void add(long long n, long long element, long long line) {
        if (count == 0) {
            first = element;
            firstLine = line;
        }
        count += n;
    }
};

namespace {

// The first room made in the node arrays: 2097152 nodes, 48 MiB. A corrupt
// count cannot claim more before its nodes arrive, and the largest tables met
// in practice (two million nodes) still need no second allocation.
constexpr long long kFirstNodeStep = 1LL << 21;
// The shortest node line: five one-digit numbers, four separators, a newline.
constexpr long long kShortestNodeLine = 10;
// The bytes of a line read again to find the token the elements stopped at.
constexpr std::size_t kStopLineBytes = 1 << 16;
// The characters of a zone record line taken after its first token, as the
// reader's emptyLine takes them.
constexpr std::size_t kRecordLineChars = 100000;
// The bytes of a zone record, and of a VARIABLES list, past which no more is
// read into them: the longest token the reader takes.
constexpr std::size_t kLongestRecord = 1 << 20;
// The smallest node table or element section read on several threads: below
// it, starting the threads costs more than they save.
constexpr long long kItemsAtOnce = 1 << 16;
// The bytes looked at to tell whether a section has one item a line.
constexpr std::size_t kFirstLineBytes = 4096;
// The elements of one part read at once: their node numbers are held until
// every earlier part is known to be read as one reader would read it.
constexpr long long kElementsAPart = 1 << 18;
// The elements read at once at most: their numbers count in a long long, and
// what an element's line number adds to its part's must stay far from overflow.
constexpr long long kMostElementsAtOnce = 1LL << 40;

std::string skippedText(const ElementTally& skipped, std::size_t nodes) {
    return std::to_string(skipped.count) + (skipped.count == 1 ? " element" : " elements") +
           " skipped for node numbers outside 1 to " + std::to_string(nodes) + ", the first is element " +
           std::to_string(skipped.first);
}

std::string notFiniteText(const ElementTally& notFinite) {
    return std::to_string(notFinite.count) + (notFinite.count == 1 ? " value" : " values") +
           " kept out of the grid for not being finite, the first from element " + std::to_string(notFinite.first);
}

std::string shortElementText(long long element, int numbersRead, int nodesPerElement) {
    return "element " + std::to_string(element) + " has only " + std::to_string(numbersRead) + " of its " +
           std::to_string(nodesPerElement) + " node numbers and is dropped";
}

std::string shortTableText(bool atEnd, int nodesRead, int nodes) {
    const std::string of = " of " + std::to_string(nodes);
    return atEnd ? "node table ends after " + std::to_string(nodesRead) + of + " nodes; no element is read"
                 : "node " + std::to_string(nodesRead + 1) + of +
                       " holds a value that is not a number; no element is read";
}

// A node's value: its pile height z, or with isVelocity the velocity
// magnitude |momentum| / z, 0 where z is 0.01 or less.
double nodeValue(bool isVelocity, double z, double mx, double my) {
    if (!isVelocity) return z;
    if (!(z > 0.01)) return 0.0;
    const double v = std::sqrt(mx * mx + my * my) / z;
    // The squares of finite momenta can overflow where the magnitude does
    // not; only then is it found without them.
    return std::isfinite(v) ? v : std::hypot(mx, my) / z;
}

// A node's speed from its velocity components, 0 where the pile height z is
// 0.01 or less, as for the momenta.
double speedValue(double z, double u, double v) {
    if (!(z > 0.01)) return 0.0;
    const double s = std::sqrt(u * u + v * v);
    return std::isfinite(s) ? s : std::hypot(u, v);
}

}  // namespace

// The node arrays get their room in getXYValue, as the nodes arrive.
GisTecplotFile::GisTecplotFile(const std::string& name, const char* mode) : GisAscFile(name, mode), name_(name) {
    readFortranNumbers(true);
    if (!good()) return;
    nvals_ = readZoneRecord();
}

int GisTecplotFile::readZoneRecord() {
    std::string variables;
    long long variablesLine = 0;
    std::string keyword;
    if (!readPreamble(variables, variablesLine, keyword)) return 0;
    variablesLine_ = variablesLine;
    return readZone(keyword, variables, variablesLine);
}

namespace {

// A refusal of a zone after the first, or of the first in a file of several:
// it names the zone, and the other zones are still read.
std::string zoneRefusal(const std::string& zone, const std::string& text) {
    const std::string file = "; nothing is read";
    const bool whole = text.size() >= file.size() && text.compare(text.size() - file.size(), file.size(), file) == 0;
    return zone + ": " + (whole ? text.substr(0, text.size() - file.size()) + "; the zone is not read" : text);
}

}  // namespace

int GisTecplotFile::readZone(const std::string& keyword, const std::string& variables, long long variablesLine) {
    std::string record = keyword;
    const long long zoneLine = lineNumber();
    if (!readRecordLines(record)) return 0;
    const ZoneRecord zone = parseZoneRecord(record, variables);
    titled_ = zone.titled;
    title_ = zone.title;
    for (const ZoneProblem& p : zone.problems) {
        if (p.refuses && zoneNumber_ == 1) firstZoneRefusals_.push_back(warnings_.size());
        addWarning(p.atVariables ? variablesLine : zoneLine,
                   zoneNumber_ == 1 ? p.text : zoneRefusal(zoneName(), p.text), true);
        // The VARIABLES list is the file's: no zone of it can be read.
        fileRefused_ = fileRefused_ || (p.atVariables && p.refuses);
    }
    time_ = zone.time;
    if (zoneNumber_ == 1) names_ = zone.names;
    refused_ = zone.refused();
    places_.emplace_back();
    if (refused_) return 0;
    const std::string sharing = placeZone(zone);
    if (!sharing.empty()) {
        addWarning(
            zoneLine,
            zoneNumber_ == 1 ? sharing + "; nothing is read" : zoneRefusal(zoneName(), sharing + "; nothing is read"),
            true);
        if (zoneNumber_ == 1) firstZoneRefusals_.push_back(warnings_.size() - 1);
        refused_ = true;
        return 0;
    }
    nodesPerElement_ = zone.nodesPerElement;
    pointPacked_ = zone.pointPacked;
    cellCentredVariables_ = zone.cellCentredVariables;
    elementsStated_ = zone.elements;
    elementsWritten_ = zone.elementsWritten;
    return zone.nodes;
}

std::string GisTecplotFile::placeZone(const ZoneRecord& zone) {
    ZonePlace& place = places_.back();
    const int perNode = names_.empty() ? 5 : static_cast<int>(names_.size());
    place.dataOffset = offset();
    place.dataLine = lineNumber();
    place.elements = zone.elements;
    place.pointPacked = zone.pointPacked;
    place.nodes = zone.nodes;
    place.cellCentred = zone.cellCentredVariables;
    place.owner.assign(static_cast<std::size_t>(perNode), zoneNumber_);
    // A zone shares from one before it that was read, and through it from
    // the zone that holds the values.
    const auto source = [this](int from) { return from == 0 ? zoneNumber_ - 1 : from; };
    const auto named = [](int from) {
        return from < 1 ? std::string("a zone before the first") : "zone " + std::to_string(from);
    };
    for (const auto& shared : zone.sharedVariables) {
        const int from = source(shared.second);
        if (from < 1 || from >= zoneNumber_ || !places_[static_cast<std::size_t>(from - 1)].readable)
            return "variable " + std::to_string(shared.first) + " is shared with " + named(from) +
                   " (VARSHARELIST), which is not read before it";
        if (shared.first > perNode) continue;  // a variable the nodes do not hold
        const ZonePlace& other = places_[static_cast<std::size_t>(from - 1)];
        if (other.nodes != place.nodes)
            return "variable " + std::to_string(shared.first) + " is shared with zone " + std::to_string(from) +
                   " (VARSHARELIST), which has " + std::to_string(other.nodes) + " nodes, not " +
                   std::to_string(place.nodes);
        place.owner[static_cast<std::size_t>(shared.first - 1)] =
            other.owner[static_cast<std::size_t>(shared.first - 1)];
    }
    if (zone.elementsFrom >= 0) {
        const int from = source(zone.elementsFrom);
        if (from < 1 || from >= zoneNumber_ || places_[static_cast<std::size_t>(from - 1)].elementsOffset < 0)
            return "the elements are shared with " + named(from) +
                   " (CONNECTIVITYSHAREZONE or D=(FECONNECT)), which is not read before it";
        const ZonePlace& other = places_[static_cast<std::size_t>(from - 1)];
        place.ownElements = false;
        place.elementsOffset = other.elementsOffset;
        place.elementsLine = other.elementsLine;
        place.elements = other.elements;
    }
    place.readable = true;
    return "";
}

// The elements are read where the zone that holds them has them, as many as
// it states (or up to what ends them), then reading goes on after this
// zone's data.
inline void GisTecplotFile::valuesOf(const int* vert, long long element, double* z) const {
    if (cellValues_)
        std::fill(z, z + 4, elementValues_[static_cast<std::size_t>(element - 1)]);
    else
        for (int k = 0; k < 4; ++k) z[k] = valueVector_[static_cast<std::size_t>(vert[k] - 1)];
}

void GisTecplotFile::sharedElementsToGrid(GxGrid& outGrid, GxGridParam& gridPar) {
    const ZonePlace& place = places_.back();
    const long long back = offset(), backLine = lineNumber();
    if (!seekTo(place.elementsOffset, place.elementsLine)) {
        warnReadProblem();
        return;
    }
    ElementRasteriser raster(outGrid, gridPar);
    long long elementsRead = 0;
    ElementTally skipped, notFinite;
    int vert[4];
    while ((place.elements < 0 || elementsRead < place.elements) && readElement(vert) == nodesPerElement_) {
        ++elementsRead;
        const GxCoord2D* node[4];
        if (!nodesOf(vert, node)) {
            skipped.add(1, elementsRead, lineNumber());
            continue;
        }
        double z[4];
        valuesOf(vert, elementsRead, z);
        const long long n = raster.fill(node, z, vert[2] == vert[3]);
        if (n > 0) notFinite.add(n, elementsRead, lineNumber());
        if (!good()) break;
    }
    // Problems of the elements themselves were reported with the zone that holds them.
    if (notFinite.count > 0) addWarning(backLine, notFiniteText(notFinite), true);
    if (skipped.count > 0) addWarning(backLine, skippedText(skipped, coordVector_.size()), true);
    if (!seekTo(back, backLine)) {
        warnReadProblem();
        return;
    }
    const std::string next = peek(5);
    atNextZone_ = isZoneKeyword(next.substr(0, std::min(next.find_first_of(" \t\n\v\f\r"), next.size())));
    if (atNextZone_) return;
    // Only another zone or the end of the file may follow a zone without elements of its own.
    std::string rest;
    getString(rest);
    if (fail()) return;
    addWarning(
        lineNumber(),
        "elements end at " + shownToken(rest, false) + ", which is not a node number; the rest of the file is not read",
        true);
    stopReading();  // as the warning says, and as toGrid leaves a section that ends so
}

// The elements of a zone end at the keyword of the next (toGrid notes it);
// the data of a refused zone is passed over, token by token, up to it.
bool GisTecplotFile::nextZone() {
    if (fileRefused_ || nodesCut_) return false;
    std::string keyword;
    if (refused_) {
        for (;;) {
            getString(keyword);
            if (fail()) return false;
            if (isZoneKeyword(keyword)) break;
        }
    } else if (atNextZone_) {
        resumeAtFailedToken();
        getString(keyword);
        if (fail() || !isZoneKeyword(keyword)) return false;
    } else {
        return false;
    }
    // Zone 1's refusals said "nothing is read" of a file that has more.
    if (zoneNumber_ == 1)
        for (const std::size_t k : firstZoneRefusals_) warnings_[k].text = zoneRefusal(zoneName(), warnings_[k].text);
    ++zoneNumber_;
    coordVector_.clear();
    valueVector_.clear();
    nodesPerElement_ = 4;
    pointPacked_ = true;
    cellCentredVariables_.clear();
    elementValues_.clear();
    cellValues_ = false;
    elementsStated_ = -1;
    elementsWritten_.clear();
    atNextZone_ = false;
    refused_ = false;
    nvals_ = readZone(keyword, "", 0);
    return true;
}

// Quoted text is one unit: a "ZONE" or "VARIABLES" inside a title is not one.
// A line whose first token begins with "#" is a comment, skipped whole, so
// that a "zone" in a comment ahead of the record does not begin it. The
// VARIABLES list is kept as its tokens, a space or a line end between two,
// which is all that counting its names needs.
bool GisTecplotFile::readPreamble(std::string& variables, long long& variablesLine, std::string& keyword) {
    bool quoted = false;  // within double quotes opened on quoteLine
    long long quoteLine = 0, lastLine = 0;
    std::string token;
    for (;;) {
        getString(token);
        if (fail()) {
            if (!warnReadProblem()) addWarning(lineNumber(), "no ZONE record; nothing is read", true);
            return false;
        }
        const long long line = lineNumber();
        if (quoted && line != quoteLine) quoted = false;  // quoted text ends with its line
        if (!quoted && line != lastLine && token[0] == '#') {
            lastLine = line;
            emptyLine();
            continue;
        }
        if (!quoted && isZoneKeyword(token)) {
            keyword = token;
            return true;
        }
        if (variablesLine > 0) {
            if (variables.size() < kLongestRecord) variables += (line != lastLine ? '\n' : ' ') + token;
        } else if (!quoted && beginsVariablesList(token)) {
            variablesLine = line;
            variables = token;
        }
        for (const char c : token)
            if (c == '"') {
                quoted = !quoted;
                quoteLine = line;
            }
        lastLine = line;
    }
}

// As when only its first line was read, the rest of a line is taken up to
// 100000 characters, counted from the end of the first token after the
// keyword, and from the start of every later line: a longer line ends the
// record there, and the node table is read from the character after. A record
// that reaches kLongestRecord ends with its line. Comment lines ("#") within
// the record are left out of it.
bool GisTecplotFile::readRecordLines(std::string& record) {
    bool inToken = false, afterToken = false;  // the first token after the keyword
    bool comment = false;
    std::size_t counted = 0;
    for (;;) {
        char c = '\0';
        getChar(&c);
        if (fail()) break;
        if (!afterToken && !comment) {
            if (!isSpace(c))
                inToken = true;
            else if (inToken)
                afterToken = true;  // the first character of the rest of its line
        }
        counted += afterToken;
        if (c != '\n') {
            if (!comment) record += c;
            if (counted == kRecordLineChars) return true;
            continue;
        }
        if (record.size() >= kLongestRecord) return true;
        const std::string next = peek(5);
        if (!good()) break;
        const std::size_t word = std::min(next.find_first_of(" \t\n\v\f\r"), next.size());
        if (next.empty() || beginsNumber(next) || isZoneKeyword(next.substr(0, word))) {
            // Nothing after the keyword but the end of the file: the record
            // is cut short, as it was when the count token was read.
            if (next.empty() && !inToken) break;
            return true;
        }
        comment = next[0] == '#';
        if (!comment) record += '\n';
        counted = 0;
    }
    if (!warnReadProblem()) {
        char end = '\0';
        if (good()) getChar(&end);  // at the end of the input: fails, as reading on would
        addWarning(lineNumber(), "the file ends within its ZONE record", true);
    }
    return false;
}

// The first room is bounded whatever the count says, and by what the file
// could hold; after that the room doubles, up to the count, as nodes arrive.
bool GisTecplotFile::growNodeArrays(int i) {
    const auto count = static_cast<std::size_t>(nvals_);
    std::size_t want = coordVector_.capacity() * 2;
    if (coordVector_.capacity() == 0) {
        const long long size = fileSize();
        const long long room = size >= 0 ? std::min(size / kShortestNodeLine + 1, kFirstNodeStep) : kFirstNodeStep;
        want = static_cast<std::size_t>(room);
    }
    want = std::max(std::min(want, count), coordVector_.size() + 1);
    try {
        coordVector_.reserve(want);
        valueVector_.reserve(want);
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {}
    addWarning(
        lineNumber(),
        "out of memory for node " + std::to_string(i + 1) + " of " + std::to_string(nvals_) + "; no element is read",
        true);
    nodesCut_ = true;
    return false;
}

// The value is the pile height, or with isVelocity the velocity magnitude
// |momentum| / pile height, or |velocity| (0 where the pile height is 0.01
// or less), or the chosen variable. Leaves the stream at the element section.
void GisTecplotFile::getXYValue(bool isVelocity) {
    if (refused_ || nvals_ <= 0) return;
    const NodeColumns columns = chooseNodeColumns(names_, isVelocity, choice_);
    if (!columns.problem.empty()) {
        // At the VARIABLES line, unless a problem of a later line came first.
        const bool first = warnings_.empty() && variablesLine_ > 0;
        addWarning(first ? variablesLine_ : lineNumber(), columns.problem, true);
        refused_ = true;
        fileRefused_ = true;
        nvals_ = 0;
        return;
    }
    const ZonePlace& place = places_.back();
    const bool sharesVariables =
        std::any_of(place.owner.begin(), place.owner.end(), [this](int owner) { return owner != zoneNumber_; });
    if (!pointPacked_ || sharesVariables) {
        readBlock(columns, isVelocity);
        return;
    }
    // A zone that shares these nodes reads them again the same way.
    places_.back().wholeLine = columns.wholeLine;
    // Today's five columns take the same five reads as ever; any other layout
    // goes through the map of columns, made once for the zone.
    const bool fiveColumns = columns.positional();
    std::vector<signed char> slotOf;
    if (!fiveColumns) {
        slotOf.assign(static_cast<std::size_t>(columns.perNode), -1);
        const int slotColumns[5] = {columns.x, columns.y, columns.height, columns.first, columns.second};
        for (int k = 0; k < 5; ++k)
            if (slotColumns[k] >= 0) slotOf[static_cast<std::size_t>(slotColumns[k])] = static_cast<signed char>(k);
    }
    const auto valueOf = [&columns, isVelocity](const double* v5) {
        return columns.value == NodeColumns::Value::velocity   ? speedValue(v5[2], v5[3], v5[4])
               : columns.value == NodeColumns::Value::variable ? v5[2]
                                                               : nodeValue(isVelocity, v5[2], v5[3], v5[4]);
    };
    // The loop is made once for each way of reading a node, so that today's
    // five columns cost what they always did (callgrind, benchmark data). A
    // large table is read on several threads first, all but its last node.
    const auto storeNodes = [&](const auto& readNode) {
        for (int i = readNodesAtOnce(readNode, valueOf, columns); i < nvals_; ++i) {
            double v5[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
            readNode(*this, v5);
            if (fail()) {
                // Later nodes cannot be read from a failed stream and no element is
                // read after it, so no placeholder entries are appended for them.
                if (!warnReadProblem()) addWarning(lineNumber(), shortTableText(eof(), i, nvals_), true);
                return;
            }
            if (!addNode(i, v5[0], v5[1], valueOf(v5))) return;
            if (columns.wholeLine) emptyLine();  // extra columns after the fifth number are ignored
        }
    };
    if (fiveColumns) {
        storeNodes([](GisAscFile& in, double* v5) {
            in.getAscDouble(v5[0]);
            in.getAscDouble(v5[1]);
            in.getAscDouble(v5[2]);
            in.getAscDouble(v5[3]);
            in.getAscDouble(v5[4]);
        });
    } else {
        storeNodes([&slotOf](GisAscFile& in, double* v5) {
            for (const signed char slot : slotOf) {
                double v = 0.0;
                in.getAscDouble(v);
                if (slot >= 0) v5[slot] = v;
            }
        });
    }
}

namespace {

// The smallest section read on several threads: kItemsAtOnce, or the count in
// the environment variable MESHRASTER_ITEMS_AT_ONCE, with which the tests read
// the small files of their cases in parts too.
long long itemsAtOnce() {
    static const long long items = [] {
        const char* text = std::getenv("MESHRASTER_ITEMS_AT_ONCE");
        if (text == nullptr) return kItemsAtOnce;
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        return end != text && *end == '\0' && value >= 1 ? value : kItemsAtOnce;
    }();
    return items;
}

}  // namespace

std::vector<GisTecplotFile::SectionPart> GisTecplotFile::cutSection(long long items, int perLine, bool atLeast,
                                                                    long long partItems) {
    std::vector<SectionPart> parts;
    if (threads_ < 2 || items < itemsAtOnce() || fileSize() < 0 || !good()) return parts;
    // The first line shows whether the section has one item a line; a
    // section that has not is read by one thread without a wasted pass.
    const std::string first = peek(kFirstLineBytes);
    const std::size_t lineEnd = first.find('\n');
    if (lineEnd == std::string::npos) return parts;
    int tokens = 0;
    for (std::size_t k = 0; k < lineEnd; ++k) tokens += !isSpace(first[k]) && (k == 0 || isSpace(first[k - 1]));
    if (atLeast ? tokens < perLine : tokens != perLine) return parts;
    const long long start = offset(), line = lineNumber();
    const long long size = std::max<long long>(1, std::min(partItems, (items + threads_ - 1) / threads_));
    std::vector<long long> counts;
    for (long long k = size; k < items; k += size) counts.push_back(k);
    counts.push_back(items);
    std::vector<long long> starts;
    if (!findLineStarts(descriptor(), start, counts, threads_, starts)) return parts;
    parts.push_back(SectionPart{start, line, 0});
    for (std::size_t k = 0; k < counts.size(); ++k)
        parts.push_back(SectionPart{starts[k], line + counts[k], counts[k]});
    return parts;
}

bool GisTecplotFile::partEndsWhereTheNextBegins(GisAscFile& in, long long end, bool lineRead) {
    if (!in.good()) return false;
    const long long after = in.offset();
    if (lineRead) return after == end;
    if (after > end) return false;
    in.peek(1);
    return in.good() && in.offset() >= end;
}

template <class ReadNode, class ValueOf>
int GisTecplotFile::readNodesAtOnce(const ReadNode& readNode, const ValueOf& valueOf, const NodeColumns& columns) {
    const std::vector<SectionPart> parts = cutSection(nvals_ - 1, columns.perNode, columns.wholeLine, nvals_);
    if (parts.empty()) return 0;
    try {
        coordVector_.reserve(static_cast<std::size_t>(nvals_));
        valueVector_.reserve(static_cast<std::size_t>(nvals_));
        coordVector_.resize(static_cast<std::size_t>(nvals_ - 1));
        valueVector_.resize(static_cast<std::size_t>(nvals_ - 1));
    } catch (const std::bad_alloc&) {
        return 0;  // read one by one, which says how far memory went
    } catch (const std::length_error&) {
        return 0;
    }
    struct PartRead {
        bool good = false;
        long long endOffset = 0, endLine = 0;
        double xmin = 0, xmax = 0, ymin = 0, ymax = 0;
    };
    std::vector<PartRead> read(parts.size() - 1);
    const auto readPart = [&](std::size_t p) {
        GisAscFile in(*this, parts[p].offset, parts[p].line);
        PartRead& r = read[p];
        for (auto i = static_cast<std::size_t>(parts[p].first); i < static_cast<std::size_t>(parts[p + 1].first); ++i) {
            double v5[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
            readNode(in, v5);
            if (in.fail()) return;
            const double x = v5[0], y = v5[1];
            if (i == static_cast<std::size_t>(parts[p].first)) {
                r.xmin = r.xmax = x;
                r.ymin = r.ymax = y;
            } else {
                if (r.xmin > x) r.xmin = x;
                if (r.ymin > y) r.ymin = y;
                if (r.xmax < x) r.xmax = x;
                if (r.ymax < y) r.ymax = y;
            }
            coordVector_[i] = GxCoord2D(x, y);
            valueVector_[i] = valueOf(v5);
            if (columns.wholeLine) in.emptyLine();
        }
        r.endOffset = in.offset();
        r.endLine = in.lineNumber();
        r.good = partEndsWhereTheNextBegins(in, parts[p + 1].offset, columns.wholeLine);
    };
    runInOrder(read.size(), threads_, read.size(), readPart, [](std::size_t) { return true; });
    // The parts read right from the first are the nodes one reader would have
    // read; reading goes on after the last of them.
    std::size_t good = 0;
    while (good < read.size() && read[good].good) {
        const PartRead& r = read[good];
        if (good == 0) {
            xmin_ = r.xmin, xmax_ = r.xmax, ymin_ = r.ymin, ymax_ = r.ymax;
        } else {
            xmin_ = std::min(xmin_, r.xmin), xmax_ = std::max(xmax_, r.xmax);
            ymin_ = std::min(ymin_, r.ymin), ymax_ = std::max(ymax_, r.ymax);
        }
        ++good;
    }
    const long long done = parts[good].first;
    coordVector_.resize(static_cast<std::size_t>(done));
    valueVector_.resize(static_cast<std::size_t>(done));
    // A seek that fails stops the reader, and the next node read says so.
    if (done > 0) seekTo(read[good - 1].endOffset, read[good - 1].endLine);
    return static_cast<int>(done);
}

bool GisTecplotFile::readData(const ZonePlace& place, int zone, const std::vector<int>& slotOf,
                              std::vector<double>* kept) {
    const int perNode = static_cast<int>(place.owner.size());
    const auto present = [&](int c) { return place.owner[static_cast<std::size_t>(c)] == zone; };
    const auto take = [&](int c, double v) {
        // A zone read again may hold more variables than the current zone
        // names (another VARIABLES list came between): those are not kept.
        const int slot = static_cast<std::size_t>(c) < slotOf.size() ? slotOf[static_cast<std::size_t>(c)] : -1;
        if (slot < 0) return true;
        try {
            kept[slot].push_back(v);
        } catch (const std::bad_alloc&) {
            addWarning(lineNumber(),
                       "out of memory for node " + std::to_string(kept[slot].size() + 1) + " of " +
                           std::to_string(place.nodes) + "; no element is read",
                       true);
            nodesCut_ = true;
            return false;
        }
        return true;
    };
    if (place.pointPacked) {
        for (int i = 0; i < place.nodes; ++i) {
            for (int c = 0; c < perNode; ++c) {
                if (!present(c)) continue;
                double v = 0.0;
                getAscDouble(v);
                if (fail()) {
                    if (!warnReadProblem()) addWarning(lineNumber(), shortTableText(eof(), i, place.nodes), true);
                    nodesCut_ = true;
                    return false;
                }
                if (!take(c, v)) return false;
            }
            // Read as the zone's own nodes were, or the columns it skipped
            // would be taken for values.
            if (place.wholeLine) emptyLine();
        }
        return true;
    }
    for (int c = 0; c < perNode; ++c) {
        if (!present(c)) continue;
        const bool centred =
            std::find(place.cellCentred.begin(), place.cellCentred.end(), c + 1) != place.cellCentred.end();
        const long long count = centred ? place.elements : place.nodes;
        for (long long i = 0; i < count; ++i) {
            double v = 0.0;
            getAscDouble(v);
            if (fail()) {
                if (!warnReadProblem())
                    addWarning(lineNumber(),
                               eof() ? "variable " + std::to_string(c + 1) + " ends after " + std::to_string(i) +
                                           " of its " + std::to_string(count) + " values; no element is read"
                                     : "value " + std::to_string(i + 1) + " of " + std::to_string(count) +
                                           " of variable " + std::to_string(c + 1) +
                                           " is not a number; no element is read",
                               true);
                nodesCut_ = true;
                return false;
            }
            if (!take(c, v)) return false;
        }
    }
    return true;
}

inline bool GisTecplotFile::addNode(int i, double x, double y, double v) {
    if (i == 0) {
        xmin_ = xmax_ = x;
        ymin_ = ymax_ = y;
    } else {
        if (xmin_ > x) xmin_ = x;
        if (ymin_ > y) ymin_ = y;
        if (xmax_ < x) xmax_ = x;
        if (ymax_ < y) ymax_ = y;
    }
    // The warning is growNodeArrays', so that this stays small enough to be
    // inlined into the node loop (0.7 % of the benchmark's instructions).
    if ((coordVector_.size() == coordVector_.capacity() || valueVector_.size() == valueVector_.capacity()) &&
        !growNodeArrays(i))
        return false;
    coordVector_.emplace_back(x, y);
    valueVector_.push_back(v);
    return true;
}

// Block packing: each variable's values in turn, N of a node-centred one and
// E of a cell-centred one (VARLOCATION), free-form across lines; only the
// columns needed are kept. x and y must be at the nodes, and the values all
// at the nodes or all at the cell centres, where each element takes its one
// value at every cell centre it covers.
void GisTecplotFile::readBlock(const NodeColumns& columns, bool isVelocity) {
    const auto centred = [this](int column) {
        return std::find(cellCentredVariables_.begin(), cellCentredVariables_.end(), column + 1) !=
               cellCentredVariables_.end();
    };
    const int slotColumns[5] = {columns.x, columns.y, columns.height, columns.first, columns.second};
    const bool cellValues = centred(columns.height);
    std::string problem;
    if (centred(columns.x) || centred(columns.y))
        problem = "x and y must be at the nodes, not at the cell centres (VARLOCATION)";
    for (int k = 3; k < 5 && problem.empty(); ++k)
        if (slotColumns[k] >= 0 && centred(slotColumns[k]) != cellValues)
            problem = "the values are at both the nodes and the cell centres (VARLOCATION)";
    if (problem.empty() && cellValues && elementsStated_ < 0)
        problem = "cell-centred values (VARLOCATION) need the element count (E=)";
    if (!problem.empty()) {
        addWarning(lineNumber(), zoneName() + ": " + problem + "; the zone is not read", true);
        refused_ = true;
        nvals_ = 0;
        return;
    }
    std::vector<double> kept[5];
    const ZonePlace here = places_.back();
    std::vector<int> slotOf(static_cast<std::size_t>(columns.perNode), -1);
    for (int k = 0; k < 5; ++k)
        if (slotColumns[k] >= 0 && slotColumns[k] < columns.perNode)
            slotOf[static_cast<std::size_t>(slotColumns[k])] = k;
    if (!readData(here, zoneNumber_, slotOf, kept)) return;
    // Shared columns are read again where the zone that holds them has them.
    const long long back = offset(), backLine = lineNumber();
    bool moved = false;
    for (int owner = 1; owner < zoneNumber_; ++owner) {
        std::vector<int> theirs(slotOf.size(), -1);
        bool any = false;
        for (std::size_t c = 0; c < slotOf.size(); ++c)
            if (slotOf[c] >= 0 && here.owner[c] == owner) {
                theirs[c] = slotOf[c];
                any = true;
            }
        if (!any) continue;
        const ZonePlace& there = places_[static_cast<std::size_t>(owner - 1)];
        moved = true;
        if (!seekTo(there.dataOffset, there.dataLine) || !readData(there, owner, theirs, kept)) {
            warnReadProblem();
            nodesCut_ = true;
            return;
        }
    }
    if (moved && !seekTo(back, backLine)) {
        warnReadProblem();
        nodesCut_ = true;
        return;
    }
    for (int k = 0; k < 5; ++k) {
        const std::size_t want =
            k < 2 || !cellValues ? static_cast<std::size_t>(nvals_) : static_cast<std::size_t>(elementsStated_);
        if (slotColumns[k] >= 0 && kept[k].size() != want) {
            addWarning(lineNumber(),
                       zoneName() + ": variable " + std::to_string(slotColumns[k] + 1) + " holds " +
                           std::to_string(kept[k].size()) + " values, not " + std::to_string(want) +
                           "; the zone is not read",
                       true);
            refused_ = true;
            nvals_ = 0;
            return;
        }
    }
    // The value of each node, or of each element.
    const auto valueAt = [&](std::size_t i) {
        const double z = kept[2][i];
        const double a = kept[3].empty() ? 0.0 : kept[3][i], b = kept[4].empty() ? 0.0 : kept[4][i];
        return columns.value == NodeColumns::Value::velocity   ? speedValue(z, a, b)
               : columns.value == NodeColumns::Value::variable ? z
                                                               : nodeValue(isVelocity, z, a, b);
    };
    cellValues_ = cellValues;
    if (cellValues) {
        elementValues_.resize(kept[2].size());
        for (std::size_t e = 0; e < kept[2].size(); ++e) elementValues_[e] = valueAt(e);
    }
    for (int i = 0; i < nvals_; ++i)
        if (!addNode(i, kept[0][static_cast<std::size_t>(i)], kept[1][static_cast<std::size_t>(i)],
                     cellValues ? 0.0 : valueAt(static_cast<std::size_t>(i))))
            return;
}

int GisTecplotFile::readElement(int* vert) {
    int got = 0;
    while (got < nodesPerElement_) {
        getAscInt(vert[got]);
        if (fail()) break;  // a number that ends the input is still read
        ++got;
    }
    if (got == 3 && nodesPerElement_ == 3) vert[3] = vert[2];
    return got;
}

bool GisTecplotFile::nodesOf(const int* vert, const GxCoord2D** node) const {
    const long long count = static_cast<long long>(coordVector_.size());
    for (int k = 0; k < 4; ++k) {
        if (vert[k] < 1 || vert[k] > count) return false;
        node[k] = &coordVector_[static_cast<std::size_t>(vert[k] - 1)];
    }
    return true;
}

// An axis-aligned rectangle is filled bilinearly, any other element as
// triangles. Problems are recorded when the section ends.
void GisTecplotFile::toGrid(GxGrid& outGrid, GxGridParam& gridPar) {
    if (nodesCut_ || refused_) return;
    if (!places_.empty() && !places_.back().ownElements) {
        if (!fail()) sharedElementsToGrid(outGrid, gridPar);
        return;
    }
    // Where the elements begin, for a later zone that shares them.
    if (!places_.empty() && good()) {
        places_.back().elementsOffset = offset();
        places_.back().elementsLine = lineNumber();
    }
    if (!good()) {
        // The node table's last line may have met a problem, or its last
        // number the end of the file: then none of the stated elements is there.
        if (!warnReadProblem() && !fail() && elementsStated_ > 0) warnElementCount(lineNumber(), 0, 0);
        return;
    }
    // The elements of a grid without cells are still read, for what they hold wrong.
    ElementRasteriser raster(outGrid, gridPar);
    long long elementsRead = 0;          // complete elements, skipped ones included
    long long extraNumbers = 0;          // node numbers after the elements the record states
    bool cutAtEnd = false;               // the last element's last number ended the file
    long long countLine = lineNumber();  // where the stated elements end (here, when none is stated)
    ElementTally skipped, notFinite;
    int vert[4];
    int got;
    elementsRead = elementsAtOnce(outGrid, gridPar, skipped, notFinite);
    // Line ends do not delimit elements: numbers are taken nodesPerElement_ at a
    // time. Past the count the record states, they are only counted.
    while ((got = readElement(vert)) == nodesPerElement_) {
        if (elementsRead == elementsStated_) {
            extraNumbers += got;
            if (!good()) break;
            continue;
        }
        ++elementsRead;
        // A number that ends the file without a line end may have been cut
        // ("10" of "104"): where the record states the count, its element is
        // dropped rather than filled from another node. Without a count, the
        // file is read as before.
        if (elementsStated_ >= 0 && eof()) {
            cutAtEnd = true;
            break;
        }
        const GxCoord2D* node[4];
        if (nodesOf(vert, node)) {
            double z[4];
            valuesOf(vert, elementsRead, z);
            const long long n = raster.fill(node, z, vert[2] == vert[3]);
            if (n > 0) notFinite.add(n, elementsRead, lineNumber());
        } else {
            skipped.add(1, elementsRead, lineNumber());
        }
        if (elementsRead == elementsStated_) countLine = lineNumber();
        if (!good()) break;
    }
    if (elementsRead == elementsStated_ && got > 0 && got < nodesPerElement_) {
        extraNumbers += got;  // an element beyond the count, cut short, is only counted too
        got = 0;
    }
    // One line sums up the skipped elements and one the values not stored, in
    // the order of their first elements, ahead of the reason the section ended.
    const bool skippedFirst = skipped.count > 0 && (notFinite.count == 0 || skipped.first < notFinite.first);
    if (skippedFirst) addWarning(skipped.firstLine, skippedText(skipped, coordVector_.size()), true);
    if (notFinite.count > 0) addWarning(notFinite.firstLine, notFiniteText(notFinite), true);
    if (skipped.count > 0 && !skippedFirst)
        addWarning(skipped.firstLine, skippedText(skipped, coordVector_.size()), true);
    // Numbers past the count are found where the stated elements end, ahead
    // of the reason the section ended.
    if (extraNumbers > 0) warnElementCount(countLine, elementsRead, extraNumbers);
    if (cutAtEnd)
        addWarning(lineNumber(),
                   "element " + std::to_string(elementsRead) +
                       " ends the file within a number, without a line end: the file looks cut; the element is "
                       "dropped",
                   true);
    // The keyword of another zone ends the section: that zone is read next.
    const std::string next = peekFailedToken(5);
    atNextZone_ = isZoneKeyword(next.substr(0, std::min(next.find_first_of(" \t\n\v\f\r"), next.size())));
    if (!warnReadProblem() && got < nodesPerElement_ && !(atNextZone_ && got == 0)) {
        if (atNextZone_)
            addWarning(lineNumber(), shortElementText(elementsRead + 1, got, nodesPerElement_), true);
        else
            warnSectionEnd(got, elementsRead);
    }
    // An element cut short is reported above: when it is the last one stated,
    // that says all.
    const bool lastCut = got > 0 && elementsRead + 1 == elementsStated_;
    if (elementsStated_ >= 0 && !lastCut && elementsRead < elementsStated_)
        warnElementCount(lineNumber(), elementsRead, 0);
}

long long GisTecplotFile::elementsAtOnce(GxGrid& outGrid, GxGridParam& gridPar, ElementTally& skipped,
                                         ElementTally& notFinite) {
    if (elementsStated_ < 2 || elementsStated_ - 1 > kMostElementsAtOnce) return 0;
    const std::vector<SectionPart> parts = cutSection(elementsStated_ - 1, nodesPerElement_, false, kElementsAPart);
    if (parts.empty()) return 0;
    struct PartRead {
        bool good = false;
        long long endOffset = 0, endLine = 0;
        std::vector<int> vert;  // four node numbers an element, the third repeated in a triangle
        ElementTally skipped, notFinite;
    };
    const auto threads = static_cast<std::size_t>(threads_);
    const std::size_t count = parts.size() - 1;
    long long done = 0, endOffset = 0, endLine = 0;
    // A round reads as many parts as there are threads, then rasterises those
    // read right from the first: no element is in the grid before every
    // element ahead of it is known to be one a single reader would reach.
    for (std::size_t round = 0; round < count; round += threads) {
        const std::size_t n = std::min(threads, count - round);
        std::vector<PartRead> read(n);
        const auto readPart = [&](std::size_t k) {
            const SectionPart& part = parts[round + k];
            PartRead& r = read[k];
            const auto items = static_cast<std::size_t>(parts[round + k + 1].first - part.first);
            try {
                r.vert.resize(items * 4);
            } catch (const std::bad_alloc&) {
                return;
            }
            GisAscFile in(*this, part.offset, part.line);
            for (std::size_t e = 0; e < items; ++e) {
                int* vert = &r.vert[e * 4];
                for (int v = 0; v < nodesPerElement_; ++v) in.getAscInt(vert[v]);
                // One element a line, so that each element's line is known.
                if (in.fail() || in.lineNumber() != part.line + static_cast<long long>(e)) return;
                if (nodesPerElement_ == 3) vert[3] = vert[2];
            }
            r.endOffset = in.offset();
            r.endLine = in.lineNumber();
            r.good = partEndsWhereTheNextBegins(in, parts[round + k + 1].offset, false);
        };
        runInOrder(n, threads_, n, readPart, [](std::size_t) { return true; });
        std::size_t good = 0;
        while (good < n && read[good].good) ++good;
        const auto fillPart = [&](std::size_t k) {
            const SectionPart& part = parts[round + k];
            PartRead& r = read[k];
            ElementRasteriser raster(outGrid, gridPar);
            const std::size_t items = r.vert.size() / 4;
            for (std::size_t e = 0; e < items; ++e) {
                const int* vert = &r.vert[e * 4];
                const long long element = part.first + static_cast<long long>(e) + 1;
                const long long line = part.line + static_cast<long long>(e);
                const GxCoord2D* node[4];
                if (nodesOf(vert, node)) {
                    double z[4];
                    valuesOf(vert, element, z);
                    const long long values = raster.fill(node, z, vert[2] == vert[3]);
                    if (values > 0) r.notFinite.add(values, element, line);
                } else {
                    r.skipped.add(1, element, line);
                }
            }
        };
        runInOrder(good, threads_, good, fillPart, [](std::size_t) { return true; });
        for (std::size_t k = 0; k < good; ++k) {
            const PartRead& r = read[k];
            if (r.skipped.count > 0) skipped.add(r.skipped.count, r.skipped.first, r.skipped.firstLine);
            if (r.notFinite.count > 0) notFinite.add(r.notFinite.count, r.notFinite.first, r.notFinite.firstLine);
        }
        if (good > 0) {
            done = parts[round + good].first;
            endOffset = read[good - 1].endOffset;
            endLine = read[good - 1].endLine;
        }
        if (good < n) break;
    }
    // One reader goes on after the last element read, from the element a
    // part could not read, or from the last, which may end the file.
    if (done > 0) seekTo(endOffset, endLine);
    return done;
}

void GisTecplotFile::warnElementCount(long long line, long long found, long long extraNumbers) {
    const std::string stated = zoneName() + " states " + std::to_string(elementsStated_) +
                               (elementsStated_ == 1 ? " element" : " elements") + " (" + elementsWritten_ + ")";
    if (extraNumbers == 0) {
        addWarning(line, stated + " and holds " + std::to_string(found) + "; the elements read are converted", true);
        return;
    }
    const long long expected = elementsStated_ * nodesPerElement_;
    addWarning(line,
               stated + " of " + std::to_string(nodesPerElement_) + " node numbers and holds more: " +
                   std::to_string(expected + extraNumbers) + " node numbers where " + std::to_string(expected) +
                   " belong; what follows element " + std::to_string(elementsStated_) + " is not converted",
               true);
}

std::string GisTecplotFile::zoneName() const {
    const std::string zone = "zone " + std::to_string(zoneNumber_);
    return titled_ ? zone + " " + shownToken(title_, false) : zone;
}

// Any token but the keyword of another zone stops the section short of
// elements the file holds.
void GisTecplotFile::warnSectionEnd(int numbersRead, long long elementsRead) {
    const std::string element = "element " + std::to_string(elementsRead + 1);
    const std::string rest = ", which is not a node number; the rest of the file is not read";
    if (outOfRange()) {
        addWarning(lineNumber(), element + " names a node number beyond 2147483647; the rest of the file is not read",
                   true);
    } else if (endedBeforeToken()) {
        if (numbersRead > 0)
            addWarning(lineNumber(), shortElementText(elementsRead + 1, numbersRead, nodesPerElement_), true);
    } else {
        bool longer = false;
        const std::string word = stopWord(lineNumber(), longer);
        if (numbersRead == 0)
            addWarning(lineNumber(), "elements end at " + shownToken(word, longer) + rest, true);
        else
            addWarning(lineNumber(), element + " is cut short at " + shownToken(word, longer) + rest, true);
    }
}

// The reader keeps no text of a read that failed, so the line is read again
// from the file, and the integer reads of the element section are repeated on
// it from its start (elements start on a fresh line after the node table): the
// first text where no integer can be read is where the section stopped, and
// the word around it is what the user wrote there ("8.0" rather than the ".0"
// that was left after the 8). A pipe cannot be read again.
std::string GisTecplotFile::stopWord(long long line, bool& longer) const {
    longer = false;
    if (fileSize() < 0) return "";
    GisAscFile again(name_, "r");
    while (again.good() && again.lineNumber() < line) again.emptyLine();
    if (!again.good() || again.lineNumber() != line) return "";
    std::string text;
    char c = '\0';
    while (text.size() < kStopLineBytes) {
        again.getChar(&c);
        if (again.fail() || c == '\n') break;
        text += c;
    }
    const bool cut = text.size() == kStopLineBytes;
    std::size_t p = 0;
    for (;;) {
        while (p < text.size() && isSpace(text[p])) ++p;
        if (p == text.size()) return "";  // no stop on this line: the file has changed
        const std::size_t digits = p + (text[p] == '+' || text[p] == '-');
        std::size_t end = digits;
        while (end < text.size() && isDigit(text[end])) ++end;
        if (end == digits) break;  // no digit: the read fails here
        if (end == text.size() && cut) return "";
        p = end;
    }
    std::size_t first = p, last = p;
    while (first > 0 && !isSpace(text[first - 1])) --first;
    while (last < text.size() && !isSpace(text[last])) ++last;
    longer = (last == text.size() && cut) || last - first > kShownTokenBytes;
    return text.substr(first, std::min(last - first, kShownTokenBytes + 1));
}

bool GisTecplotFile::warnReadProblem() {
    if (readProblem().empty()) return false;
    if (!problemReported_) addWarning(lineNumber(), readProblem() + "; the rest of the file is not read", true);
    problemReported_ = true;
    return true;
}

void GisTecplotFile::addWarning(long long line, std::string text, bool lost) {
    warnings_.push_back(TecplotWarning{line, std::move(text), lost});
}

namespace {

// The largest solution time of the zones of the file name that can be read,
// found by a first pass that reads them into a grid without cells (a zone
// may share an earlier one's elements, whose place that pass finds); false
// when there is none.
bool lastSolutionTime(const std::string& name, double& last) {
    GisTecplotFile scan(name, "r");
    bool found = false;
    if (!scan.good()) return false;
    GxGrid none(0, 0);
    GxGridParam nonePar(0, 0, 0, 0, 1, 1);
    do {
        if (!scan.refused() && (!found || scan.time() > last)) last = scan.time();
        found = found || !scan.refused();
        scan.getXYValue(false);
        scan.toGrid(none, nonePar);
    } while (scan.nextZone());
    return found;
}

}  // namespace

ZonesRead readZones(GisTecplotFile& file, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar,
                    const ReaderOptions& reading) {
    file.chooseColumns(reading.columns);
    file.useThreads(reading.threads);
    double wanted = reading.time;
    if (reading.lastTime && !lastSolutionTime(file.name(), wanted)) wanted = 0.0;
    bool readable = false, matched = false;
    // A zone of another time is read into a grid without cells, which takes
    // nothing: a later zone may share its nodes or elements.
    GxGrid none(0, 0);
    GxGridParam nonePar(0, 0, 0, 0, 1, 1);
    // Every zone in turn; each cell keeps the largest value of any.
    do {
        readable = readable || !file.refused();
        const bool other = reading.timeChosen && !file.refused() && file.time() != wanted;
        matched = matched || (!other && !file.refused());
        file.getXYValue(isVelocity);
        if (other)
            file.toGrid(none, nonePar);
        else
            file.toGrid(outGrid, gridPar);
    } while (file.nextZone());
    return ZonesRead{matched, !reading.timeChosen || matched || !readable};
}

void GisTecplotFile::toMeshLines(int* vert) {
    std::cout.precision(11);
    // A triangle of a triangle zone is drawn as the four-node triangle a b c c.
    const int element[4] = {vert[0], vert[1], vert[2], nodesPerElement_ == 3 ? vert[2] : vert[3]};
    const GxCoord2D* node[4];
    if (!nodesOf(element, node)) return;  // a node outside the zone: nothing to draw
    const int count = isAxisRectangle(node) || element[2] != element[3] ? 4 : 3;
    for (int k = 0; k <= count; ++k) {
        const GxCoord2D& p = *node[k % count];
        std::cout << p.x() << ' ' << p.y() << std::endl;
    }
    std::cout << "END" << std::endl;
}
