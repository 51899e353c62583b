#include "NodeColumns.h"

#include <algorithm>
#include <string>
#include <vector>

#include "CharClasses.h"
#include "ZoneRecord.h"

namespace {

// The spellings codes write for each role, normalised. One table: the manual
// lists it (INPUT FILES) and --column overrides it. A name that only looks
// like a role ("density" in the third column) is in no row, so it is never
// taken for the pile height; z and the like are known, as not the height.
struct Spellings {
    ColumnRole role;
    const char* const names[14];
};
const Spellings kSpellings[] = {
    {ColumnRole::x, {"x", "coordinatex", "xcoordinate", "xcoord", "coordx", "easting"}},
    {ColumnRole::y, {"y", "coordinatey", "ycoordinate", "ycoord", "coordy", "northing"}},
    {ColumnRole::height,
     {"h", "depth", "height", "pileheight", "flowdepth", "flowheight", "thickness", "flowthickness", "waterdepth"}},
    {ColumnRole::xMomentum,
     {"hu", "qx", "xmomentum", "momentumx", "xmom", "momx", "mx", "hvx", "uh", "xdischarge", "dischargex"}},
    {ColumnRole::yMomentum,
     {"hv", "qy", "ymomentum", "momentumy", "ymom", "momy", "my", "hvy", "vh", "ydischarge", "dischargey"}},
    {ColumnRole::xVelocity, {"u", "vx", "xvelocity", "velocityx", "velx", "xvel", "ux"}},
    {ColumnRole::yVelocity, {"v", "vy", "yvelocity", "velocityy", "vely", "yvel", "uy"}},
    {ColumnRole::notHeight,
     {"z", "elevation", "bed", "topography", "zb", "bedelevation", "zbed", "topo", "terrain", "bathymetry",
      "surfaceelevation", "waterlevel", "eta", "zs"}},
};

constexpr int kRoles = 7;  // x to yVelocity: the roles a column can be chosen for

// The roles as messages name them.
const char* const kRoleText[kRoles] = {
    "x", "y", "the pile height", "the x momentum", "the y momentum", "the x velocity", "the y velocity"};

// The names as a warning lists them: quoted, in order, at most 20.
std::string namesText(const std::vector<std::string>& names) {
    std::string s;
    const std::size_t shown = std::min<std::size_t>(names.size(), 20);
    for (std::size_t k = 0; k < shown; ++k) s += (k > 0 ? ", " : "") + shownToken(names[k], false);
    if (shown < names.size()) s += " and " + std::to_string(names.size() - shown) + " more";
    return s;
}

// "x", "x and y", "x, y and the pile height".
std::string joined(const std::vector<std::string>& words) {
    std::string s;
    for (std::size_t k = 0; k < words.size(); ++k)
        s += (k == 0 ? "" : k + 1 == words.size() ? " and " : ", ") + words[k];
    return s;
}

// The 0-based column that text names: a 1-based position, or a name of the
// list as normalised; -1 with problem set when there is none.
int chosenColumn(const std::string& option, const std::string& text, const std::vector<std::string>& names, int perNode,
                 std::string& problem) {
    const bool position = !text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), isDigit);
    if (position) {
        const int p = std::stoi(text);
        if (p >= 1 && p <= perNode) return p - 1;
        problem = option + " is not a column of the " + std::to_string(perNode) + " values of a node";
        return -1;
    }
    if (names.empty()) {
        problem = option + " names a column, but the file has no VARIABLES list; give its position instead";
        return -1;
    }
    const std::string wanted = normalisedName(text);
    for (std::size_t k = 0; k < names.size(); ++k)
        if (normalisedName(names[k]) == wanted) return static_cast<int>(k);
    problem = option + " names no column of the VARIABLES list " + namesText(names);
    return -1;
}

}  // namespace

std::string normalisedName(const std::string& name) {
    std::string s = name;
    // A trailing unit in brackets: "h [m]", "velocity_x (m/s)".
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    if (!s.empty() && (s.back() == ']' || s.back() == ')')) {
        const std::size_t open = s.find_last_of(s.back() == ']' ? '[' : '(');
        if (open != std::string::npos && open > 0) s.erase(open);
    }
    std::string out;
    for (const char c : s) {
        if (c == ' ' || c == '\t' || c == '_' || c == '-' || c == '"' || c == '\'' || c == '.') continue;
        out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

ColumnRole roleOfName(const std::string& name) {
    const std::string n = normalisedName(name);
    for (const Spellings& s : kSpellings)
        for (const char* spelling : s.names)
            if (spelling && n == spelling) return s.role;
    return ColumnRole::unknown;
}

const char* roleWord(ColumnRole role) {
    static const char* const kWords[kRoles] = {"x", "y", "height", "xmomentum", "ymomentum", "xvelocity", "yvelocity"};
    const int k = static_cast<int>(role);
    return k < kRoles ? kWords[k] : "";
}

NodeColumns chooseNodeColumns(const std::vector<std::string>& names, bool isVelocity, const ColumnChoice& choice) {
    NodeColumns c;
    bool chosen = !choice.variable.empty();
    for (const std::string& r : choice.role) chosen = chosen || !r.empty();
    bool named = false;
    for (const std::string& n : names) named = named || roleOfName(n) != ColumnRole::unknown;
    // Without names that tell the columns, or a choice, today's positions.
    if (!named && !chosen) {
        c.value = isVelocity ? NodeColumns::Value::momentum : NodeColumns::Value::height;
        if (!isVelocity) c.first = c.second = -1;
        return c;
    }
    const std::string how = "; choose with --column ROLE=NAME or --column ROLE=POSITION (see --help); nothing is read";
    const int perNode = names.empty() ? 5 : static_cast<int>(names.size());

    // The columns of each role: those the user chose, else those its names give.
    int column[kRoles];
    bool byChoice[kRoles];
    std::vector<int> claims[kRoles];
    for (int r = 0; r < kRoles; ++r) {
        byChoice[r] = !choice.role[r].empty();
        column[r] = -1;
        if (!byChoice[r]) continue;
        const std::string option =
            std::string("--column ") + roleWord(static_cast<ColumnRole>(r)) + "=" + choice.role[r];
        column[r] = chosenColumn(option, choice.role[r], names, perNode, c.problem);
        if (column[r] < 0) {
            c.problem += "; nothing is read";
            return c;
        }
        for (int s = 0; s < r; ++s)
            if (byChoice[s] && column[s] == column[r]) {
                c.problem = std::string("--column gives column ") + std::to_string(column[r] + 1) + " to both " +
                            kRoleText[s] + " and " + kRoleText[r] + "; nothing is read";
                return c;
            }
    }
    const auto taken = [&](int k) {
        for (int r = 0; r < kRoles; ++r)
            if (byChoice[r] && column[r] == k) return true;
        return false;
    };
    // Names that tell nothing leave the five roles of today at their places.
    for (int k = 0; k < (named ? static_cast<int>(names.size()) : 5); ++k) {
        const int r = named ? static_cast<int>(roleOfName(names[static_cast<std::size_t>(k)])) : k;
        if (r < kRoles && !byChoice[r] && !taken(k)) claims[r].push_back(k);
    }
    for (int r = 0; r < kRoles; ++r) {
        if (byChoice[r] || claims[r].empty()) continue;
        if (claims[r].size() > 1) {
            const int a = claims[r][0], b = claims[r][1];
            c.problem = std::string("the VARIABLES names give two columns for ") + kRoleText[r] + ", " +
                        std::to_string(a + 1) + " " + shownToken(names[a], false) + " and " + std::to_string(b + 1) +
                        " " + shownToken(names[b], false) + ", among " + namesText(names) + how;
            return c;
        }
        column[r] = claims[r][0];
    }

    // The value: a chosen variable, the pile height, or the velocity from the
    // momenta (when both are there) or from the velocity components.
    const bool momenta = column[3] >= 0 && column[4] >= 0;
    const bool velocities = column[5] >= 0 && column[6] >= 0;
    std::vector<std::string> missing;
    if (column[0] < 0) missing.push_back("x");
    if (column[1] < 0) missing.push_back("y");
    int value = -1;
    if (!choice.variable.empty()) {
        value = chosenColumn("--variable " + choice.variable, choice.variable, names, perNode, c.problem);
        if (value < 0) {
            c.problem += "; nothing is read";
            return c;
        }
    } else {
        if (column[2] < 0) missing.push_back("the pile height");
        if (isVelocity && !momenta && !velocities) missing.push_back("the x and y momenta or velocities");
    }
    if (!missing.empty()) {
        c.problem =
            "the VARIABLES names do not tell which column is " + joined(missing) + ": " + namesText(names) + how;
        return c;
    }
    c.perNode = perNode;
    c.x = column[0];
    c.y = column[1];
    if (value >= 0) {
        c.value = NodeColumns::Value::variable;
        c.height = value;
        c.first = c.second = -1;
    } else {
        c.height = column[2];
        c.value = !isVelocity ? NodeColumns::Value::height
                  : momenta   ? NodeColumns::Value::momentum
                              : NodeColumns::Value::velocity;
        c.first = momenta ? column[3] : velocities ? column[5] : -1;
        c.second = momenta ? column[4] : velocities ? column[6] : -1;
        if (!isVelocity) c.first = c.second = -1;
    }
    // Today's five columns in today's order are read as before: five values,
    // the rest of the line skipped. Any other layout is perNode values,
    // whatever the line breaks, as Tecplot writes a node.
    c.wholeLine = names.empty() ||
                  (perNode == 5 && c.x == 0 && c.y == 1 && c.height == 2 && c.value != NodeColumns::Value::variable &&
                   (c.value != NodeColumns::Value::momentum || (c.first == 3 && c.second == 4)));
    return c;
}
