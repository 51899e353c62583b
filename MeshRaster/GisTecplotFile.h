// Reader of one Tecplot ASCII finite-element zone, and its rasteriser.
#pragma once

#include <string>
#include <vector>

#include "GisAscFile.h"
#include "GxCoord2D.h"
#include "GxGrid.h"
#include "NodeColumns.h"
#include "Rasteriser.h"
#include "ZoneRecord.h"

// Node values of a zone, parallel to its GxCoord2DVector.
using ValueVector = std::vector<double, MappedAllocator<double>>;

// How a run reads every Tecplot file, from the command line.
struct ReaderOptions {
    ColumnChoice columns;     // --column and --variable
    bool timeChosen = false;  // --time: only the zones of one solution time
    bool lastTime = false;    // --time last: the largest solution time of each file
    double time = 0.0;        // else that time
    std::string timeText;     // the time as given, for messages
    int threads = 1;          // the threads one file's zone may be read on
};

// Elements that one warning sums up (defined with the reader).
struct ElementTally;

// One problem the reading found, for the caller to print as "name:line: text".
struct TecplotWarning {
    long long line;    // line of the file the problem belongs to
    std::string text;  // what was wrong, in the user's terms
    bool lost;         // part of the file was not converted because of it
};

class GisTecplotFile : public GisAscFile {
public:
    // Opens name and, when that succeeded, reads the zone record up to the node table.
    GisTecplotFile(const std::string& name, const char* mode);
    // Releases the node arrays; the base then closes the file.
    ~GisTecplotFile() override = default;

    // The threads one zone's node table and elements may be read on: a large
    // section with one node (element) a line is cut into parts at line ends,
    // which threads read and rasterise at once, with the same result, warnings
    // and all, as one reader.
    void useThreads(int threads) { threads_ = threads < 1 ? 1 : threads; }
    // The user's choice of columns, used by getXYValue; by default the names decide.
    void chooseColumns(const ColumnChoice& choice) { choice_ = choice; }
    // Reads the node table: coordinates and per node the pile height or the
    // velocity (or the chosen variable). Columns whose names cannot be told
    // refuse the zone.
    void getXYValue(bool isVelocity);
    // Reads the element section and rasterises every element into outGrid; a
    // node table cut short leaves it unread.
    void toGrid(GxGrid& outGrid, GxGridParam& gridPar);
    // Moves on to the file's next zone, once toGrid has read this one's
    // elements up to its keyword (or this one was refused): reads its zone
    // record, as the constructor does the first; false when there is none, or
    // none can be reached.
    bool nextZone();
    // Leaves the current zone unread: nextZone passes over its data.
    void passOver() {
        refused_ = true;
        nvals_ = 0;
    }
    // Number of the zone being read: 1 for the first of the file.
    int zoneNumber() const { return zoneNumber_; }
    // Writes the outline of the element vert[0..3] (vert[0..2] in a triangle
    // zone) to standard output, closed, then "END".
    void toMeshLines(int* vert);

    // Zone time: the zone record's SOLUTIONTIME, 0 when it has none.
    double time() const { return time_; }
    // Node count from the zone record; 0 when the zone is not read.
    int nodeCount() const { return nvals_; }
    // Node numbers per element: 3 in a triangle zone, 4 in a quadrilateral one.
    int nodesPerElement() const { return nodesPerElement_; }
    // True when the zone record names a zone that is not read: nothing of the
    // file is, and the stream stays at the record's end.
    bool refused() const { return refused_; }
    // Node coordinates read so far; entry k - 1 belongs to node number k.
    const GxCoord2DVector& coords() const { return coordVector_; }
    // Node values, parallel to coords().
    const ValueVector& values() const { return valueVector_; }
    // West end of the node extent; set once getXYValue has read a node.
    double xmin() const { return xmin_; }
    // East end of the node extent.
    double xmax() const { return xmax_; }
    // South end of the node extent.
    double ymin() const { return ymin_; }
    // North end of the node extent.
    double ymax() const { return ymax_; }
    // The problems found so far, in the order they were found.
    const std::vector<TecplotWarning>& warnings() const { return warnings_; }

    GisTecplotFile(const GisTecplotFile&) = delete;
    GisTecplotFile& operator=(const GisTecplotFile&) = delete;

private:
    // Reads the preamble and the zone record up to the node table; returns the
    // node count, 0 when the zone is not read.
    int readZoneRecord();
    // Reads the zone record after its keyword, given, and takes what it says
    // for the zone; returns the node count, 0 when the zone is not read.
    int readZone(const std::string& keyword, const std::string& variables, long long variablesLine);
    // Reads up to the keyword ZONE into keyword, keeping the VARIABLES list
    // and its line; false, with a warning, when there is no keyword.
    bool readPreamble(std::string& variables, long long& variablesLine, std::string& keyword);
    // Appends the rest of the zone record, which ends before the first line of
    // a node or of another zone, to record; false, with a warning, when the
    // file ends (or reading stops) within it.
    bool readRecordLines(std::string& record);
    // Makes room for node i, one more in both arrays; false, with a warning,
    // when memory cannot be had.
    bool growNodeArrays(int i);
    // The values of element (1-based) with the node numbers vert, into z[0..3]:
    // its one value when the values are cell-centred, else its nodes'.
    void valuesOf(const int* vert, long long element, double* z) const;
    // Where a zone's data lies in the file, to read what another zone shares
    // of it again rather than hold it.
    struct ZonePlace {
        bool readable = false;
        long long dataOffset = 0, dataLine = 0;           // its own data, after its record
        long long elementsOffset = -1, elementsLine = 0;  // its elements (another zone's, when shared)
        long long elements = -1;                          // their count as stated
        bool pointPacked = true;
        bool wholeLine = false;  // its nodes were read a line each, the columns after its values skipped
        int nodes = 0;
        std::vector<int> cellCentred;  // 1-based variables at the cell centres
        std::vector<int> owner;        // per variable: the zone (1-based) whose data holds it
        bool ownElements = true;
    };
    // Reads a block-packed zone's values, each variable's in turn, or a zone
    // that shares variables, and from them the node arrays (and
    // elementValues_ for cell-centred values).
    void readBlock(const NodeColumns& columns, bool isVelocity);
    // Reads the data of the zone at place (zone number zone) from the read
    // position: every variable it holds, keeping in kept[slot] those of
    // slotOf whose values the current zone takes from it; false, with a
    // warning, when the data ends or holds a word.
    bool readData(const ZonePlace& place, int zone, const std::vector<int>& slotOf, std::vector<double>* kept);
    // Resolves the sharing the record states into the current zone's place;
    // the problem, or empty.
    std::string placeZone(const ZoneRecord& zone);
    // Rasterises the elements another zone holds, read again there.
    void sharedElementsToGrid(GxGrid& outGrid, GxGridParam& gridPar);
    // Takes node i with coordinates (x, y) into the node arrays and the extent;
    // false, with a warning, when memory runs out.
    bool addNode(int i, double x, double y, double v);
    // Where a part of a section begins: its byte offset and line, and its first item (0-based).
    struct SectionPart {
        long long offset, line, first;
    };
    // The parts that threads read of the section of items from the next
    // token on, each of at most partItems, when it can be cut at line ends:
    // its first line holds perLine tokens (at least, with atLeast), and the
    // file holds as many lines. One more entry marks the end: where item
    // items begins. Empty when the section is too small to gain, or its first
    // line or the file does not fit.
    std::vector<SectionPart> cutSection(long long items, int perLine, bool atLeast, long long partItems);
    // True when in, having read a part, stands where the part ending at end
    // leaves one reader: right at end after reading whole lines (lineRead),
    // else with only whitespace before the next token, which is at end or after.
    static bool partEndsWhereTheNextBegins(GisAscFile& in, long long end, bool lineRead);
    // Reads nodes 1 to nvals_ - 1 (all but the last) on threads_ threads,
    // when cutSection can cut the table: returns how many were read as one
    // reader would read them, the read position then following the last of
    // them; 0 when none.
    template <class ReadNode, class ValueOf>
    int readNodesAtOnce(const ReadNode& readNode, const ValueOf& valueOf, const NodeColumns& columns);
    // Reads and rasterises elements 1 to elementsStated_ - 1 the same way,
    // adding to the tallies; returns how many.
    long long elementsAtOnce(GxGrid& outGrid, GxGridParam& gridPar, ElementTally& skipped, ElementTally& notFinite);
    // Reads up to nodesPerElement_ node numbers into vert; returns how many were
    // read. In a triangle zone vert[3] repeats vert[2], as in a four-node triangle.
    int readElement(int* vert);
    // Looks up the nodes vert[0..3]; false when a number is outside 1 to the nodes read.
    bool nodesOf(const int* vert, const GxCoord2D** node) const;
    // Records why the element section ended, when it did not end with the input.
    void warnSectionEnd(int numbersRead, long long elementsRead);
    // Records, at line, an element count that differs from the record's: found
    // complete elements, or with extraNumbers > 0 the stated ones and that many
    // node numbers more.
    void warnElementCount(long long line, long long found, long long extraNumbers);
    // The zone as a warning names it: "zone 1", then its title in quotes.
    std::string zoneName() const;
    // The whitespace-delimited word of line that holds the token the element
    // section stopped at, read again from the file, at most its first bytes
    // (longer tells when there are more); empty when it cannot be read again.
    std::string stopWord(long long line, bool& longer) const;
    // Records the reader's problem, once, when reading stopped on one; true then.
    bool warnReadProblem();
    // Records a problem found at line.
    void addWarning(long long line, std::string text, bool lost);

    int threads_ = 1;
    std::string name_;                // the file's name, for reading a line again
    std::vector<std::string> names_;  // the VARIABLES names; none without a list
    long long variablesLine_ = 0;     // the line of the word VARIABLES
    ColumnChoice choice_;
    double time_ = 0.0;
    int nvals_ = 0;
    double xmin_ = 0.0;
    double xmax_ = 0.0;
    double ymin_ = 0.0;
    double ymax_ = 0.0;
    GxCoord2DVector coordVector_;
    ValueVector valueVector_;
    std::vector<TecplotWarning> warnings_;
    int nodesPerElement_ = 4;
    long long elementsStated_ = -1;  // the record's element count; -1 when it gives none
    std::string elementsWritten_;    // that count as written, "E=1512"
    bool titled_ = false;
    std::string title_;                      // the record's title (T=)
    bool pointPacked_ = true;                // else block packing
    std::vector<int> cellCentredVariables_;  // 1-based, from VARLOCATION
    std::vector<double> elementValues_;      // one value an element, for cell-centred values
    bool cellValues_ = false;                // the values are elementValues_
    std::vector<ZonePlace> places_;          // of every zone so far, by zone number - 1
    int zoneNumber_ = 1;
    bool atNextZone_ = false;                     // the elements stopped at the keyword of another zone
    bool fileRefused_ = false;                    // no zone of the file can be read (its VARIABLES list)
    std::vector<std::size_t> firstZoneRefusals_;  // warnings_ that refused zone 1, worded for a file of one zone
    bool refused_ = false;                        // the zone record names a zone that is not read
    bool nodesCut_ = false;                       // memory ran out within the node table
    bool problemReported_ = false;                // the reader's problem is among warnings_
};

// What readZones did with a file's zones.
struct ZonesRead {
    bool anyConverted = false;  // some zone went into the grid (its node table begun)
    bool timeFound = true;      // false when a time was chosen and no zone that can be read has it
};

// Reads every zone of file, from the first, into outGrid (those of the
// chosen solution time only, with reading.timeChosen).
ZonesRead readZones(GisTecplotFile& file, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar,
                    const ReaderOptions& reading);
