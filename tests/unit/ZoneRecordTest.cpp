// The zone record and the VARIABLES list read from their text, without a file:
// the zone records other programs write, the ones read as before, and what is
// refused and why.
#include <gtest/gtest.h>

#include <string>

#include "ZoneRecord.h"

namespace {

// "9 nodes, 3 a element" and one line per problem: "ZONE: text" or
// "VARIABLES: text", with " (refused)" when it leaves the file unread.
std::string describe(const ZoneRecord& z) {
    std::string s = std::to_string(z.nodes) + " nodes, " + std::to_string(z.nodesPerElement) + " an element";
    for (const ZoneProblem& p : z.problems)
        s += std::string("\n") + (p.atVariables ? "VARIABLES: " : "ZONE: ") + p.text + (p.refuses ? " (refused)" : "");
    return s;
}

const std::string kTypes =
    " is not read; MeshRaster reads triangle and quadrilateral zones (ET=TRIANGLE, ET=QUADRILATERAL, "
    "ZONETYPE=FETRIANGLE or ZONETYPE=FEQUADRILATERAL); nothing is read (refused)";
const std::string kPacking =
    " is not read; MeshRaster reads point- and block-packed zones (F=FEPOINT, F=FEBLOCK, DATAPACKING=POINT or "
    "DATAPACKING=BLOCK); nothing is read (refused)";
const std::string kNotWhole = " is not a whole number from 0 to 2147483647; nothing is read (refused)";
const std::string kCellCentred =
    " is cell-centred (VARLOCATION); MeshRaster needs the first five variables at the nodes (NODAL); nothing is read "
    "(refused)";

struct Case {
    std::string record;
    std::string want;
};

template <std::size_t N>
void check(const Case (&cases)[N]) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        EXPECT_EQ(describe(parseZoneRecord(c.record, "")), c.want);
    }
}

}  // namespace

// The zone records of the issue, each taken from another program's writer:
// four were read as no nodes or not at all, and the triangle zone's elements
// were read four numbers at a time.
TEST(ZoneRecord, RecordsOtherProgramsWrite) {
    const Case cases[] = {
        {"ZONE N=9, E=8, DATAPACKING=POINT, ZONETYPE=FETRIANGLE", "9 nodes, 3 an element"},
        {"ZONE N=      9 , E =      8 , F=FEPOINT,ET=QUADRILATERAL", "9 nodes, 4 an element"},
        {"zone N=9, E=8, F=FEPOINT, ET=QUADRILATERAL", "9 nodes, 4 an element"},
        {"Zone N=9 E=8,Datapacking=Point, Zonetype=Fequadrilateral", "9 nodes, 4 an element"},
        {"ZONE T=\"flow, t=10 s\", N=9, E=8, DATAPACKING=POINT, ZONETYPE=FEQUADRILATERAL", "9 nodes, 4 an element"},
        // Over several lines, with parameters MeshRaster does not use.
        {"ZONE T=\"a = b\"\n  STRANDID=1, SOLUTIONTIME=10.5\n NODES=9, ELEMENTS=8, ZONETYPE=FETRIANGLE\n"
         "DT=(SINGLE SINGLE DOUBLE, SINGLE)  VARLOCATION=([6-7]=CELLCENTERED)",
         "9 nodes, 3 an element"},
        {"ZONE N = 9\tE=8 ET = triangle", "9 nodes, 3 an element"},
        {"ZONE N=9, E=8, F=POINT, ET=QUADRILATERAL, C=RED", "9 nodes, 4 an element"},
        // An auxiliary datum's name is the user's: AUXDATA N="3" is no node count.
        {"ZONE T=\"x\" AUXDATA N=\"3\", NODES=9", "9 nodes, 4 an element"},
        {"ZONE NODES=\"9\"", "9 nodes, 4 an element"},
        {"ZONE N=0", "0 nodes, 4 an element"},
        {"ZONE N=2147483647 E=1", "2147483647 nodes, 4 an element"},
        {"ZONE N=007 E=1", "7 nodes, 4 an element"},
        // A quote that is not closed ends with its line.
        {"ZONE T=\"open\n N=9", "9 nodes, 4 an element"},
        {"ZONE T=(a, \"b)\", N=4) N=9", "9 nodes, 4 an element"},
    };
    check(cases);
    EXPECT_EQ(parseZoneRecord("ZONE N=9, SOLUTIONTIME=10.5", "").time, 10.5);
    EXPECT_EQ(parseZoneRecord("ZONE N=9, SOLUTIONTIME=soon", "").time, 0.0);
}

// A record that starts with "ZONE N=<count>," (any character in place of the
// comma) is read as before, whatever its other parameters say, so that every
// file read before gives the same count and the same warning.
TEST(ZoneRecord, CountTokenReadAsBefore) {
    const Case cases[] = {
        {"ZONE N=12,E=10, F=FEPOINT", "12 nodes, 4 an element"},
        {"ZONE N=4x5, E=1", "4 nodes, 4 an element"},
        {"ZONE N=1.5, E=1", "1 nodes, 4 an element"},
        {"ZONE\nN=4,\nE=1", "4 nodes, 4 an element"},
        {"ZONE N=99999999999,",
         "0 nodes, 4 an element\nZONE: node count in \"N=99999999999,\" does not fit in an int; no node is read"},
        {"ZONE N=2147483648, E=1",
         "0 nodes, 4 an element\nZONE: node count in \"N=2147483648,\" does not fit in an int; no node is read"},
        // Tokens that were read with a warning, and are now read by name.
        {"ZONE N=1234 E=1", "1234 nodes, 4 an element"},
        {"ZONE N=4,E=1", "4 nodes, 4 an element"},
        {"ZONE N=9", "9 nodes, 4 an element"},
        {"ZONE T=\"a\", N=3,", "3 nodes, 4 an element"},
    };
    check(cases);
}

TEST(ZoneRecord, NodeCountMissingOrNotAWholeNumber) {
    const std::string missing =
        "0 nodes, 4 an element\nZONE: the ZONE record has no node count (N=<count> or NODES=<count>); nothing is "
        "read (refused)";
    const Case cases[] = {
        {"ZONE", missing},
        {"ZONE X=3,", missing},
        {"ZONE T=\"N=9\", E=8", missing},
        {"ZONE E=8 ELEMENTS=8 NN=9", missing},
        {"ZONE N=-5,", "0 nodes, 4 an element\nZONE: node count \"N=-5\"" + kNotWhole},
        {"ZONE N=+3,", "0 nodes, 4 an element\nZONE: node count \"N=+3\"" + kNotWhole},
        {"ZONE N=9.0 E=8", "0 nodes, 4 an element\nZONE: node count \"N=9.0\"" + kNotWhole},
        {"ZONE N=, E=8", "0 nodes, 4 an element\nZONE: node count \"N=\"" + kNotWhole},
        {"ZONE N=2147483648 E=1", "0 nodes, 4 an element\nZONE: node count \"N=2147483648\"" + kNotWhole},
        {"ZONE NODES=99999999999999999999",
         "0 nodes, 4 an element\nZONE: node count \"NODES=99999999999999999999\"" + kNotWhole},
    };
    check(cases);
}

TEST(ZoneRecord, TypesThatAreNotRead) {
    const Case cases[] = {
        {"ZONE N=8, E=1, F=FEPOINT, ET=BRICK", "8 nodes, 0 an element\nZONE: zone type \"ET=BRICK\"" + kTypes},
        {"ZONE N=4, E=1, ET=TETRAHEDRON", "4 nodes, 0 an element\nZONE: zone type \"ET=TETRAHEDRON\"" + kTypes},
        {"ZONE N=9, E=8, ZONETYPE=FELINESEG", "9 nodes, 0 an element\nZONE: zone type \"ZONETYPE=FELINESEG\"" + kTypes},
        {"ZONE NODES=9, FACES=12, ZONETYPE=FEPOLYGON",
         "9 nodes, 0 an element\nZONE: zone type \"ZONETYPE=FEPOLYGON\"" + kTypes},
        {"ZONE I=3, J=3, ZONETYPE=ORDERED", "0 nodes, 0 an element\nZONE: zone type \"ZONETYPE=ORDERED\"" + kTypes},
        {"ZONE ET=QUAD", "0 nodes, 0 an element\nZONE: zone type \"ET=QUAD\"" + kTypes},
        // An ordered zone given by its dimensions needs no node count.
        {"ZONE I=3, J=3, F=POINT", "0 nodes, 0 an element\nZONE: ordered zone (I=, J=, K=)" + kTypes},
        {"ZONE T=\"o\" I=9", "0 nodes, 0 an element\nZONE: ordered zone (I=, J=, K=)" + kTypes},
        {"ZONE N=9, ET=TRIANGLE, ZONETYPE=FEQUADRILATERAL",
         "9 nodes, 0 an element\nZONE: zone types \"ET=TRIANGLE\" and \"ZONETYPE=FEQUADRILATERAL\" disagree; give one "
         "of them; nothing is read (refused)"},
        {"ZONE N=9, ET=TRIANGLE, ZONETYPE=FETRIANGLE", "9 nodes, 3 an element"},
    };
    check(cases);
}

TEST(ZoneRecord, PackingAndCellCentredVariables) {
    const Case cases[] = {
        // Block packing is read; a packing MeshRaster does not know is refused.
        {"ZONE N=9, E=8, F=FEBLOCK, ET=QUADRILATERAL", "9 nodes, 4 an element"},
        {"ZONE N=9, E=8, DATAPACKING=BLOCK, ZONETYPE=FETRIANGLE", "9 nodes, 3 an element"},
        {"ZONE N=9, F=BLOCK", "9 nodes, 4 an element"},
        {"ZONE N=9, F=FESURFACE", "9 nodes, 4 an element\nZONE: zone packing \"F=FESURFACE\"" + kPacking},
        {"ZONE N=9, F=fepoint, DATAPACKING=Point", "9 nodes, 4 an element"},
        // Cell-centred values need block packing.
        {"ZONE N=9, DATAPACKING=BLOCK, VARLOCATION=([3-5]=CELLCENTERED)", "9 nodes, 4 an element"},
        {"ZONE N=9, VARLOCATION=([1,2]=NODAL, [5]=CELLCENTERED)",
         "9 nodes, 4 an element\nZONE: variable 5" + kCellCentred},
        {"ZONE N=9, VARLOCATION=([ 7, 2 - 4 ] = cellcentered)",
         "9 nodes, 4 an element\nZONE: variable 2" + kCellCentred},
        {"ZONE N=9, VARLOCATION=(NODAL, NODAL, NODAL, NODAL, CELLCENTERED)",
         "9 nodes, 4 an element\nZONE: variable 5" + kCellCentred},
        {"ZONE N=9, VARLOCATION=(NODAL NODAL NODAL NODAL NODAL CELLCENTERED)", "9 nodes, 4 an element"},
        {"ZONE N=9, VARLOCATION=([6-99999999999]=CELLCENTERED, [1-5]=NODAL)", "9 nodes, 4 an element"},
        // Each problem is its own warning, the type's first.
        {"ZONE N=8, ET=BRICK, F=FESURFACE", "8 nodes, 0 an element\nZONE: zone type \"ET=BRICK\"" + kTypes +
                                                "\nZONE: zone packing \"F=FESURFACE\"" + kPacking},
    };
    check(cases);
    // Every cell-centred variable is kept, in the order the list gives them.
    std::string centred;
    for (const int v : parseZoneRecord("ZONE N=9, F=FEBLOCK, VARLOCATION=([4-5]=CELLCENTERED, [2]=CELLCENTERED)", "")
                           .cellCentredVariables)
        centred += std::to_string(v) + " ";
    EXPECT_EQ(centred, "4 5 2 ");
}

// The names of a VARIABLES list; fewer than five of them refuse the file only
// when none tells a column by its name (the node's columns are then read by
// position, and five values are read of every node).
// A zone that takes its variables or elements from another: which, and from
// where (0: the previous zone), for the reader to read them again there.
TEST(ZoneRecord, SharedDataIsFoundOrRefused) {
    struct SharedCase {
        std::string record;
        std::string shared;  // "variable<zone ..., elements<zone", or the problem
    };
    const SharedCase cases[] = {
        {"ZONE N=9, E=4, VARSHARELIST=([1,2]=1), CONNECTIVITYSHAREZONE=1", "1<1 2<1 e<1"},
        {"ZONE N=9, E=4, VARSHARELIST=([1-2, 5]=3, [4])", "1<3 2<3 5<3 4<0 e<-1"},
        {"ZONE N=9, E=4, F=FEPOINT, D=(1,2,FECONNECT)", "1<0 2<0 e<0"},
        {"ZONE N=9, E=4, D=(FECONNECT)", "e<0"},
        {"ZONE T=\"VARSHARELIST=1\", N=9, E=4", "e<-1"},
        {"ZONE N=9, E=4, VARSHARELIST=([1,2]=first)",
         "shared data \"VARSHARELIST=([1,2]=first)\" is not read; MeshRaster reads VARSHARELIST=([variables]=zone); "
         "nothing is read"},
        {"ZONE N=9, E=4, CONNECTIVITYSHAREZONE=0",
         "shared data \"CONNECTIVITYSHAREZONE=0\" is not read; MeshRaster reads CONNECTIVITYSHAREZONE=zone; nothing "
         "is read"},
    };
    for (const SharedCase& c : cases) {
        SCOPED_TRACE(c.record);
        const ZoneRecord z = parseZoneRecord(c.record, "");
        std::string shared;
        for (const auto& v : z.sharedVariables)
            shared += std::to_string(v.first) + "<" + std::to_string(v.second) + " ";
        shared += "e<" + std::to_string(z.elementsFrom);
        EXPECT_EQ(z.refused() ? z.problems.at(0).text : shared, c.shared);
    }
}

// The names of a VARIABLES list; fewer than five of them refuse the file only
// when none tells a column by its name (the node's columns are then read by
// position, and five values are read of every node).
TEST(ZoneRecord, VariablesListOfFewerThanFiveNames) {
    struct VariablesCase {
        std::string list;
        std::string names;  // joined by "|"
        bool refused;
    };
    const VariablesCase cases[] = {
        {"VARIABLES = \"X\", \"Y\", \"PILE_HEIGHT\", \"X_MOMENTUM\", \"Y_MOMENTUM\"",
         "X|Y|PILE_HEIGHT|X_MOMENTUM|Y_MOMENTUM", false},
        {"VARIABLES = X, Y, H, MX, MY", "X|Y|H|MX|MY", false},
        {"VARIABLES = \"X\" \"Y\"\n\"H\"\n\"MX\" \"MY\" \"T\" \"P\"", "X|Y|H|MX|MY|T|P", false},
        {"VARIABLES=\"X\",\"Y\",\"H\"", "X|Y|H", false},
        {"Variables = X Y\nDATASETAUXDATA Common.Time=\"10\"", "X|Y", false},
        {"VARIABLES = \"pile height, m\" \"x = east\"", "pile height, m|x = east", true},
        {"VARIABLES = \"X\" \"Y\"\nFILETYPE = FULL", "X|Y", false},
        {"VARIABLES = \"X\" \"Y\"\n# \"Z\" is left out\n\"H\"", "X|Y|H", false},
        {"VARIABLES = \"X\n\"Y\"", "X|Y", false},
        {"VARIABLES X Y Z", "X|Y|Z", false},
        {"VARIABLES = A B C D", "A|B|C|D", true},
        {"VARIABLES =", "", true},
    };
    for (const VariablesCase& c : cases) {
        SCOPED_TRACE(c.list);
        std::string names;
        for (const std::string& n : variableNames(c.list)) names += (names.empty() ? "" : "|") + n;
        EXPECT_EQ(names, c.names);
        const ZoneRecord z = parseZoneRecord("ZONE N=9, E=8", c.list);
        EXPECT_EQ(z.variables, countVariables(c.list));
        EXPECT_EQ(z.refused(), c.refused);
    }
    EXPECT_EQ(describe(parseZoneRecord("ZONE N=9, E=8", "VARIABLES = \"A\" \"B\" \"C\"")),
              "9 nodes, 4 an element\nVARIABLES: VARIABLES names 3 variables; MeshRaster needs five values per node "
              "(x, y, pile height, x momentum, y momentum); nothing is read (refused)");
    EXPECT_EQ(parseZoneRecord("ZONE N=9, E=8", "VARIABLES = A").problems.at(0).text.substr(0, 26),
              "VARIABLES names 1 variable");
    EXPECT_EQ(parseZoneRecord("ZONE N=9, E=8", "").variables, -1);
}

TEST(ZoneRecord, WordsOfThePreambleAndTheLineStarts) {
    // "ZONE," is the keyword and a comma, as Fortran habit writes it.
    for (const char* word : {"ZONE", "zone", "Zone", "zOnE", "ZONE,", "zone,N=9,"})
        EXPECT_TRUE(isZoneKeyword(word)) << word;
    for (const char* word : {"ZONES", "ZON", "\"ZONE", "ZONE=", "", "ZONES,", ",ZONE"})
        EXPECT_FALSE(isZoneKeyword(word)) << word;
    for (const char* word : {"VARIABLES", "Variables=", "VARIABLES=\"X\",", "variables"})
        EXPECT_TRUE(beginsVariablesList(word)) << word;
    for (const char* word : {"VARIABLE", "VARIABLESX", "\"VARIABLES\"", "VAR"})
        EXPECT_FALSE(beginsVariablesList(word)) << word;
    // A node line begins with a number as the reader takes one.
    for (const char* text : {"3.5 0", "-1", "+.5e", ".5", "-.5", "0x", "9"}) EXPECT_TRUE(beginsNumber(text)) << text;
    for (const char* text : {"N=9", ".", "-", "+.", "-.x", "e5", "", "#1", "ZONE"})
        EXPECT_FALSE(beginsNumber(text)) << text;
}

// A NUL byte ended no word and began none, so the scan of the record stood
// still and filled memory with empty words (found by fuzz_tecplot). It is
// part of a word like any other byte.
TEST(ZoneRecord, NulByteIsPartOfAWord) {
    const std::string nul(1, '\0');
    EXPECT_EQ(describe(parseZoneRecord("ZONE N=9, E=8, DATAPACKING=" + nul + "\x02POINT", "")),
              "9 nodes, 4 an element\nZONE: zone packing \"DATAPACKING=\\x00\\x02POINT\"" + kPacking);
    EXPECT_EQ(describe(parseZoneRecord("ZONE " + nul + " NODES=9" + nul, "")),
              "0 nodes, 4 an element\nZONE: node count \"NODES=9\\x00\"" + kNotWhole);
    EXPECT_EQ(countVariables("VARIABLES = X" + nul + " Y " + nul + " H MX MY"), 6);
}
