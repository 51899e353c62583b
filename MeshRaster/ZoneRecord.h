// The zone record of a Tecplot file and the VARIABLES list before it, read
// from their text: what MeshRaster takes from them and what it cannot use.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// A problem of the zone record or of the VARIABLES list, as its warning says it.
struct ZoneProblem {
    bool atVariables;  // belongs to the line of VARIABLES; else to that of ZONE
    std::string text;  // what is wrong and what MeshRaster reads instead
    bool refuses;      // nothing of the file is read because of it
};

// What the zone record says about the zone, as MeshRaster reads it.
struct ZoneRecord {
    enum class Count { missing, whole, notWhole, tooLarge };

    Count count = Count::missing;           // the state of the node count (N= or NODES=)
    int nodes = 0;                          // the node count to read; 0 unless it is whole
    int nodesPerElement = 4;                // 3 in a triangle zone, 4 in a quadrilateral one, 0 for any other type
    bool pointPacked = true;                // F=FEPOINT, DATAPACKING=POINT or no packing; false for block packing
    int variables = -1;                     // names in the VARIABLES list; -1 when there is none
    std::vector<std::string> names;         // those names, in order
    int cellCentred = 0;                    // the first of variables 1 to 5 that VARLOCATION puts at cell centres, or 0
    std::vector<int> cellCentredVariables;  // every variable, 1-based, that VARLOCATION puts at cell centres
    long long elements = -1;                // the element count (E= or ELEMENTS=); -1 unless it is digits alone
    std::string elementsWritten;            // that parameter as written, "E=1512"
    bool titled = false;                    // the record gives a title (T=)
    std::string title;                      // the title, without its quotes
    double time = 0.0;                      // SOLUTIONTIME, when it is a number
    std::vector<std::pair<int, int>>
        sharedVariables;                // (variable, zone it is read from), 1-based; zone 0: the previous
    int elementsFrom = -1;              // the zone whose elements this one shares (0: the previous); -1: its own
    std::vector<ZoneProblem> problems;  // in the order of their lines

    // True when a problem leaves the whole file unread.
    bool refused() const {
        for (const ZoneProblem& p : problems)
            if (p.refuses) return true;
        return false;
    }
};

// Reads record, the text from the keyword ZONE to the end of the record's last
// line, and variables, the preamble's text from the word VARIABLES up to the
// keyword (empty when the preamble has no VARIABLES list).
ZoneRecord parseZoneRecord(const std::string& record, const std::string& variables);
// The names of variables, a VARIABLES list from its word VARIABLES on, in order.
std::vector<std::string> variableNames(const std::string& variables);
// The number of names in variables.
int countVariables(const std::string& variables);
// True when token is the word that begins a VARIABLES list, in any letter case.
bool beginsVariablesList(const std::string& token);
// True when token is the keyword ZONE, in any letter case, alone or directly
// followed by a comma and the record's first parameters ("ZONE,", "ZONE,N=9").
bool isZoneKeyword(const std::string& token);
// True when text begins with a number as the reader takes one: an optional
// sign, then a digit, or a point and a digit.
bool beginsNumber(const std::string& text);
// The bytes of a token shown in a warning; a longer one is cut and marked "...".
constexpr std::size_t kShownTokenBytes = 40;
// Text of a file as a warning shows it (shownText): in double quotes, cut
// after kShownTokenBytes and then marked "..." (also when longer says there is
// more); "a token" when it is empty.
std::string shownToken(const std::string& word, bool longer);
