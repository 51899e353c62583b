// The columns of a node found by the VARIABLES names: the layouts other codes
// write, the names that only look like a role, and what is refused and why.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "NodeColumns.h"

namespace {

std::vector<std::string> split(const std::string& names) {
    std::vector<std::string> out;
    std::istringstream in(names);
    for (std::string n; std::getline(in, n, '|');) out.push_back(n);
    return out;
}

// "per 6 line: x1 y2 v4 a5 b6 (momentum)" with 1-based columns, or the problem.
std::string describe(const NodeColumns& c) {
    if (!c.problem.empty()) return c.problem;
    const char* const values[] = {"height", "momentum", "velocity", "variable"};
    std::string s = "per " + std::to_string(c.perNode) + (c.wholeLine ? " line" : "") + ": x" +
                    std::to_string(c.x + 1) + " y" + std::to_string(c.y + 1) + " v" + std::to_string(c.height + 1);
    if (c.first >= 0) s += " a" + std::to_string(c.first + 1) + " b" + std::to_string(c.second + 1);
    return s + " (" + values[static_cast<int>(c.value)] + ")";
}

struct Case {
    std::string names;  // "|"-separated; empty: no VARIABLES list
    bool velocity;
    std::string want;
};

const std::string kHow = "; choose with --column ROLE=NAME or --column ROLE=POSITION (see --help); nothing is read";

}  // namespace

// z read as the pile height, momenta taken from the wrong columns, u divided
// by h: each gave a wrong grid with exit status 0. Today's layouts still read
// five values a line, the rest of the line skipped.
TEST(NodeColumns, FoundByTheirNames) {
    const Case cases[] = {
        // As before: no list, names that tell nothing, today's names in today's order.
        {"", false, "per 5 line: x1 y2 v3 (height)"},
        {"", true, "per 5 line: x1 y2 v3 a4 b5 (momentum)"},
        {"A|B|C|D|E|F", true, "per 5 line: x1 y2 v3 a4 b5 (momentum)"},
        {"X|Y|H|HU|HV", true, "per 5 line: x1 y2 v3 a4 b5 (momentum)"},
        {"X|Y|PILE_HEIGHT|X_MOMENTUM|Y_MOMENTUM", true, "per 5 line: x1 y2 v3 a4 b5 (momentum)"},
        {"X|Y|PILE_HEIGHT|XMOMENTUM|YMOMENTUM", false, "per 5 line: x1 y2 v3 (height)"},
        {"x|y|h|hu|hv|T|P", true, "per 7: x1 y2 v3 a4 b5 (momentum)"},
        // Other codes' layouts.
        {"x|y|z|h|hu|hv", true, "per 6: x1 y2 v4 a5 b6 (momentum)"},
        {"x|y|z|h|hu|hv", false, "per 6: x1 y2 v4 (height)"},
        {"x|y|hu|hv|h", true, "per 5: x1 y2 v5 a3 b4 (momentum)"},
        {"x|y|h|u|v", true, "per 5 line: x1 y2 v3 a4 b5 (velocity)"},
        {"CoordinateX|CoordinateY|Elevation|Flow Depth [m]|Velocity_X (m/s)|Velocity_Y (m/s)", true,
         "per 6: x1 y2 v4 a5 b6 (velocity)"},
        {"x|y|depth|qx|qy|u|v", true, "per 7: x1 y2 v3 a4 b5 (momentum)"},  // momenta first
        {"x|y|h|hu|u|v", true, "per 6: x1 y2 v3 a5 b6 (velocity)"},         // one momentum: the velocities
        {"X|Y|H", false, "per 3: x1 y2 v3 (height)"},
        {"Bed|X|Y|thickness|xmom|ymom|T|P|rho|phi", true, "per 10: x2 y3 v4 a5 b6 (momentum)"},
        // Refused: a needed role missing or claimed twice.
        {"x|y|Density|u|v", false,
         "the VARIABLES names do not tell which column is the pile height: \"x\", \"y\", \"Density\", \"u\", \"v\"" +
             kHow},
        {"X|Y|H", true,
         "the VARIABLES names do not tell which column is the x and y momenta or velocities: \"X\", \"Y\", \"H\"" +
             kHow},
        {"A|B|Z|D|E", false,
         "the VARIABLES names do not tell which column is x, y and the pile height: \"A\", \"B\", \"Z\", \"D\", "
         "\"E\"" +
             kHow},
        {"x|y|h|depth|hu|hv", false,
         "the VARIABLES names give two columns for the pile height, 3 \"h\" and 4 \"depth\", among \"x\", \"y\", "
         "\"h\", \"depth\", \"hu\", \"hv\"" +
             kHow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names + (c.velocity ? " (velocity)" : " (pile height)"));
        EXPECT_EQ(describe(chooseNodeColumns(split(c.names), c.velocity, ColumnChoice())), c.want);
    }
}

TEST(NodeColumns, NamesAreNormalised) {
    const std::pair<const char*, ColumnRole> cases[] = {
        {"X", ColumnRole::x},
        {"Pile Height [m]", ColumnRole::height},
        {"pile_height(m)", ColumnRole::height},
        {"X-Momentum", ColumnRole::xMomentum},
        {"velocity.y", ColumnRole::yVelocity},
        {"Z", ColumnRole::notHeight},
        {"Density", ColumnRole::unknown},
        {"hh", ColumnRole::unknown},
        {"[m]", ColumnRole::unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(roleOfName(c.first), c.second) << c.first;
}

// The user's choice of columns overrides the names, by name or position.
TEST(NodeColumns, ChosenByTheUser) {
    struct ChoiceCase {
        std::string names;
        bool velocity;
        std::vector<std::pair<ColumnRole, std::string>> roles;
        std::string variable;
        std::string want;
    };
    const ChoiceCase cases[] = {
        {"x|y|Density|u|v", false, {{ColumnRole::height, "density"}}, "", "per 5 line: x1 y2 v3 (height)"},
        {"x|y|Density|u|v", true, {{ColumnRole::height, "3"}}, "", "per 5 line: x1 y2 v3 a4 b5 (velocity)"},
        {"x|y|h|depth|hu|hv", false, {{ColumnRole::height, "depth"}}, "", "per 6: x1 y2 v4 (height)"},
        {"a|b|c|d|e|f", true, {{ColumnRole::height, "6"}}, "", "per 6: x1 y2 v6 a4 b5 (momentum)"},
        {"", false, {{ColumnRole::height, "4"}}, "", "per 5 line: x1 y2 v4 (height)"},
        {"x|y|h|hu|hv|T", false, {}, "t", "per 6: x1 y2 v6 (variable)"},
        {"x|y|h|hu|hv|Temperature [K]", true, {}, "temperature", "per 6: x1 y2 v6 (variable)"},
        // Refused.
        {"x|y|h|hu|hv",
         false,
         {{ColumnRole::height, "depth"}},
         "",
         "--column height=depth names no column of the VARIABLES list \"x\", \"y\", \"h\", \"hu\", \"hv\"; nothing "
         "is read"},
        {"x|y|h|hu|hv",
         false,
         {{ColumnRole::height, "6"}},
         "",
         "--column height=6 is not a column of the 5 values of a node; nothing is read"},
        {"",
         false,
         {{ColumnRole::height, "depth"}},
         "",
         "--column height=depth names a column, but the file has no VARIABLES list; give its position instead; "
         "nothing is read"},
        {"x|y|h|hu|hv",
         false,
         {{ColumnRole::x, "2"}, {ColumnRole::y, "2"}},
         "",
         "--column gives column 2 to both x and y; nothing is read"},
        {"x|y|h|hu|hv",
         false,
         {},
         "T",
         "--variable T names no column of the VARIABLES list \"x\", \"y\", \"h\", \"hu\", \"hv\"; nothing is read"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.names);
        ColumnChoice choice;
        for (const auto& r : c.roles) choice.role[static_cast<int>(r.first)] = r.second;
        choice.variable = c.variable;
        EXPECT_EQ(describe(chooseNodeColumns(split(c.names), c.velocity, choice)), c.want);
    }
}
