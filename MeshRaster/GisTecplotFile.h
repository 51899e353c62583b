// Reader of one Tecplot ASCII finite-element zone, and its rasteriser.
#pragma once

#include <string>
#include <vector>

#include "GisAscFile.h"
#include "GxCoord2D.h"
#include "GxGrid.h"

// Node values of a zone, parallel to its GxCoord2DVector.
using ValueVector = std::vector<double>;

// What went wrong while a file was read, kept so the caller can warn the user;
// nothing here changes what is read or rasterised.
struct TecplotReport {
    bool zoneFound = false;
    long long zoneLine = 0;         // line of the zone record
    std::string countToken;         // the node-count token as read
    bool countMalformed = false;    // not "N=" digits and one more character
    bool countTooLarge = false;     // digits beyond the range of int
    int nodesRead = 0;              // complete node lines
    bool nodeTableShort = false;    // ended or held a non-number before nvals_ nodes
    bool nodeTableAtEnd = false;    // ... because the input ended
    long long nodeTableLine = 0;    // line where it stopped
    long long elementsRead = 0;     // complete elements, skipped ones included
    long long elementsSkipped = 0;  // naming a node outside 1 to the nodes read
    long long firstSkipped = 0;     // element number of the first of them
    long long firstSkippedLine = 0;
    int cutShortAfter = 0;  // 1 to 3: numbers of the last, incomplete element
    long long cutShortLine = 0;
    bool stoppedAtToken = false;  // elements stopped at a token that is not an integer
    bool numberTooLarge = false;  // ... which was a node number beyond the range of int
    long long stoppedLine = 0;
};

class GisTecplotFile : public GisAscFile {
public:
    // Opens name and, when that succeeded, reads the zone record up to the node
    // table; the arrays get room for the announced nodes (at most what the file
    // could hold, so a corrupt count cannot exhaust memory).
    GisTecplotFile(const std::string& name, const char* mode);
    // Releases the node arrays; the base then closes the file.
    ~GisTecplotFile() override = default;

    // Reads the node table: the coordinates, and per node the pile height, or with
    // isVelocity the velocity magnitude |momentum| / pile height (0 where the pile
    // height is 0.01 or less). Leaves the stream at the element section.
    void getXYValue(bool isVelocity);
    // Reads the element section and rasterises every element into outGrid: an
    // axis-aligned rectangle bilinearly, any other element as triangles.
    void toGrid(GxGrid& outGrid, GxGridParam& gridPar);
    // Writes the outline of the element with node numbers vert[0..3] to standard
    // output as closed coordinate lines and "END".
    void toMeshLines(int* vert);

    // Zone time; no zone record read so far carries one, so it stays 0.
    double time() const { return time_; }
    // Node count from the zone record.
    int nodeCount() const { return nvals_; }
    const GxCoord2DVector& coords() const { return coordVector_; }
    const ValueVector& values() const { return valueVector_; }
    // Node extent; set once getXYValue has read a node.
    double xmin() const { return xmin_; }
    double xmax() const { return xmax_; }
    double ymin() const { return ymin_; }
    double ymax() const { return ymax_; }
    // What the reading found wrong, for the caller's warnings.
    const TecplotReport& report() const { return report_; }

    GisTecplotFile(const GisTecplotFile&) = delete;
    GisTecplotFile& operator=(const GisTecplotFile&) = delete;

private:
    // Scans to the zone record and returns the node count of its node-count token.
    int readNVals();
    // Looks up vert[0..3]; false when a number is outside 1 to the nodes read.
    bool nodesOf(const int* vert, const GxCoord2D* p[4]) const;

    double time_ = 0.0;
    int nvals_ = 0;
    double xmin_ = 0.0;
    double xmax_ = 0.0;
    double ymin_ = 0.0;
    double ymax_ = 0.0;
    GxCoord2DVector coordVector_;
    ValueVector valueVector_;
    TecplotReport report_;
};

// Rasterises the triangle triPt[0..2] with node values z[0..2]: every cell whose
// centre the triangle contains gets the plane's value there. ptI is the centre of
// cell (0, 0).
void fillGridTriangle(GxGrid& outGrid, GxCoord2D* triPt, double* z, GxGridParam& gridPar, GxCoord2D& ptI);
// True when pt lies inside the triangle triPt[0..2] or on its border, with a
// relative tolerance of 1e-5 on the doubled area.
bool containsPoint(GxCoord2D* triPt, GxCoord2D& pt);
