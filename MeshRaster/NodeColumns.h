// The columns of a node record: which of a node's values are x, y, the pile
// height and the momenta or velocities, found by the names of the VARIABLES
// list, or by position where the names say nothing.
#pragma once

#include <string>
#include <vector>

// What a column of the node table holds, as its name tells.
enum class ColumnRole { x, y, height, xMomentum, yMomentum, xVelocity, yVelocity, notHeight, unknown };

// The user's choice of columns, from the command line: for each role (of x to
// yVelocity) a VARIABLES name or a 1-based position, and a variable to
// rasterise in place of the pile height or velocity. Empty: the names decide.
struct ColumnChoice {
    std::string role[7];   // indexed by ColumnRole, x to yVelocity
    std::string variable;  // --variable: a node variable's name
};

// The columns a node is read from: 0-based positions within the node's
// perNode values.
struct NodeColumns {
    enum class Value { height, momentum, velocity, variable };

    int perNode = 5;        // values of one node
    bool wholeLine = true;  // after them, the rest of the line is skipped (no VARIABLES names to count on)
    int x = 0, y = 1;
    int height = 2;  // the pile height, or the chosen variable
    int first = 3;   // x momentum or x velocity; -1 when not read
    int second = 4;  // y momentum or y velocity; -1 when not read
    Value value = Value::height;
    std::string problem;  // why the zone is refused; empty when the columns are found

    // True for today's five columns in today's order, one node a line.
    bool positional() const { return wholeLine && perNode == 5 && x == 0 && y == 1 && height == 2; }
};

// A name as the table compares it: lower case, without spaces, "_", "-",
// quotes and dots, and without a trailing unit in brackets ("Pile Height [m]"
// is "pileheight").
std::string normalisedName(const std::string& name);
// The role a VARIABLES name gives its column; unknown for a name not in the table.
ColumnRole roleOfName(const std::string& name);
// The columns to read, from the VARIABLES names (none: no list), the value
// mode and the user's choice; problem set when they cannot be told.
NodeColumns chooseNodeColumns(const std::vector<std::string>& names, bool isVelocity, const ColumnChoice& choice);
// The word of a role as --column takes it ("height", "xmomentum").
const char* roleWord(ColumnRole role);
