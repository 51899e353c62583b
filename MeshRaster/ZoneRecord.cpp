#include "ZoneRecord.h"

#include <algorithm>
#include <string>
#include <vector>

#include "CharClasses.h"
#include "GisAscFile.h"
#include "Messages.h"
#include "NodeColumns.h"

namespace {

// The variables whose place a VARLOCATION list is kept for; numbersAt reads
// larger numbers as 1000 anyway.
constexpr int kMostVariables = 999;

// What every refusal of a zone type says MeshRaster reads instead.
const char* const kTypesRead =
    "MeshRaster reads triangle and quadrilateral zones (ET=TRIANGLE, ET=QUADRILATERAL, ZONETYPE=FETRIANGLE or "
    "ZONETYPE=FEQUADRILATERAL); nothing is read";

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Base-10 conversion from the start of text: leading whitespace and one sign,
// then digits up to the first non-digit; no digits give 0. tooLarge reports
// digits beyond the range of int (the count is then 0).
int countFromText(const std::string& text, bool& tooLarge) {
    std::size_t k = 0;
    while (k < text.size() && isSpace(text[k])) ++k;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
    long long n = 0;
    for (; k < text.size() && isDigit(text[k]); ++k) {
        n = n * 10 + (text[k] - '0');
        if (n > 2147483648LL) {
            tooLarge = true;
            return 0;
        }
    }
    if (negative) n = -n;
    if (n > 2147483647LL) {
        tooLarge = true;
        return 0;
    }
    return static_cast<int>(n);
}

// One unit of a zone record: a word, a text in double quotes, a list in
// parentheses or brackets, or an equals sign. Commas and whitespace only
// separate units.
struct Unit {
    enum Kind { word, quoted, list, equals } kind;
    std::string text;     // a word; the text inside the quotes or the brackets
    std::string written;  // as the file has it
};

// Quoted text runs to the next double quote on its line, or to the line's end.
std::size_t quotedEnd(const std::string& s, std::size_t open) {
    std::size_t q = open + 1;
    while (q < s.size() && s[q] != '"' && s[q] != '\n') ++q;
    return q;
}

// A list runs to its matching closing bracket, nested lists and quoted text
// included, or to the end of the record.
std::size_t listEnd(const std::string& s, std::size_t open) {
    int depth = 0;
    for (std::size_t q = open; q < s.size(); ++q) {
        if (s[q] == '"') {
            q = quotedEnd(s, q);
            if (q == s.size()) break;
        } else if (s[q] == '(' || s[q] == '[') {
            ++depth;
        } else if ((s[q] == ')' || s[q] == ']') && --depth == 0) {
            return q;
        }
    }
    return s.size();
}

// Whitespace, a separator, a quote or a bracket ends a word; any other byte,
// NUL included, is part of it.
bool endsWord(char c) {
    return isSpace(c) || c == ',' || c == '=' || c == '"' || c == '(' || c == ')' || c == '[' || c == ']';
}

std::vector<Unit> unitsOf(const std::string& s) {
    std::vector<Unit> units;
    std::size_t p = 0;
    while (p < s.size()) {
        const char c = s[p];
        if (isSpace(c) || c == ',' || c == ')' || c == ']') {
            ++p;  // a separator, or a stray closing bracket
        } else if (c == '=') {
            units.push_back({Unit::equals, "=", "="});
            ++p;
        } else if (c == '"') {
            const std::size_t q = quotedEnd(s, p);
            const std::size_t end = q < s.size() && s[q] == '"' ? q + 1 : q;
            units.push_back({Unit::quoted, s.substr(p + 1, q - p - 1), s.substr(p, end - p)});
            p = end;
        } else if (c == '(' || c == '[') {
            const std::size_t q = listEnd(s, p);
            const std::size_t end = q < s.size() ? q + 1 : q;
            units.push_back({Unit::list, s.substr(p + 1, q - p - 1), s.substr(p, end - p)});
            p = end;
        } else {
            std::size_t q = p;
            while (q < s.size() && !endsWord(s[q])) ++q;
            units.push_back({Unit::word, s.substr(p, q - p), s.substr(p, q - p)});
            p = q;
        }
    }
    return units;
}

// A NAME=VALUE parameter of the record.
struct Parameter {
    std::string name;  // in upper case
    std::string value;
    std::string written;  // NAME=VALUE as the file has it, without the spaces around "="
};

// The parameters of the record's units in their order. A word not followed by
// "=" names no parameter; after AUXDATA it is the name of a datum, whose value
// is the user's and not a parameter.
std::vector<Parameter> parametersOf(const std::vector<Unit>& units) {
    std::vector<Parameter> parameters;
    bool auxiliary = false;
    for (std::size_t k = 0; k < units.size(); ++k) {
        const bool named = units[k].kind == Unit::word && k + 1 < units.size() && units[k + 1].kind == Unit::equals;
        if (!named) {
            auxiliary = units[k].kind == Unit::word && upper(units[k].text) == "AUXDATA";
            continue;
        }
        Parameter p{upper(units[k].text), "", units[k].text + "="};
        k += 1;
        // The value is the next unit, unless that names the next parameter ("N=, E=8").
        const bool hasValue =
            k + 1 < units.size() && units[k + 1].kind != Unit::equals &&
            !(units[k + 1].kind == Unit::word && k + 2 < units.size() && units[k + 2].kind == Unit::equals);
        if (hasValue) {
            ++k;
            p.value = units[k].text;
            p.written += units[k].written;
        }
        if (!auxiliary) parameters.push_back(p);
        auxiliary = false;
    }
    return parameters;
}

// The first parameter of that name, or nullptr.
const Parameter* find(const std::vector<Parameter>& parameters, const char* name) {
    for (const Parameter& p : parameters)
        if (p.name == name) return &p;
    return nullptr;
}

// Nodes per element of an element type; 0 for a type MeshRaster does not read.
int nodesOfType(const Parameter& type) {
    const std::string v = upper(type.value);
    if (type.name == "ET") return v == "TRIANGLE" ? 3 : v == "QUADRILATERAL" ? 4 : 0;
    return v == "FETRIANGLE" ? 3 : v == "FEQUADRILATERAL" ? 4 : 0;
}

// The number at p, moving p past its digits; a number above 1000 reads as 1000.
long long numberAt(const std::string& text, std::size_t& p) {
    long long n = 0;
    for (; p < text.size() && isDigit(text[p]); ++p) n = std::min(n * 10 + (text[p] - '0'), 1000LL);
    return n;
}

// Calls f with each variable, 1-based and at most kMostVariables, that a list
// of numbers and ranges ("1,2", "3-5", "1, 3 - 5") names, in order.
template <class F>
void forEachVariable(const std::string& r, F f) {
    for (std::size_t p = 0; p < r.size();) {
        if (!isDigit(r[p])) {
            ++p;
            continue;
        }
        const long long first = numberAt(r, p);
        long long last = first;
        std::size_t q = p;
        while (q < r.size() && isSpace(r[q])) ++q;
        if (q < r.size() && r[q] == '-') {
            ++q;
            while (q < r.size() && isSpace(r[q])) ++q;
            p = q;
            last = numberAt(r, p);
        }
        for (long long v = std::max(first, 1LL); v <= std::min<long long>(last, kMostVariables); ++v)
            f(static_cast<int>(v));
    }
}

// The variables, 1-based and at most kMostVariables, that a VARLOCATION list
// puts at cell centres, into all; returns the first of variables 1 to 5 of them, or 0. The list is either of ranges,
// "[3-5]=CELLCENTERED, [1,2]=NODAL", or of one location per variable, "NODAL, NODAL, CELLCENTERED".
int cellCentredOf(const std::string& list, std::vector<int>& all) {
    const std::vector<Unit> units = unitsOf(list);
    int first = 0;
    int position = 0;
    for (std::size_t k = 0; k < units.size(); ++k) {
        if (units[k].kind == Unit::word) {
            ++position;
            if (upper(units[k].text) != "CELLCENTERED") continue;
            if (first == 0 && position <= 5) first = position;
            if (position <= kMostVariables) all.push_back(position);
            continue;
        }
        if (units[k].kind != Unit::list) continue;
        // A range list gives the location after its "=" to each variable it names.
        const bool centred =
            k + 2 < units.size() && units[k + 1].kind == Unit::equals && upper(units[k + 2].text) == "CELLCENTERED";
        if (centred)
            forEachVariable(units[k].text, [&](int v) {
                if (v <= 5 && (first == 0 || v < first)) first = v;
                all.push_back(v);
            });
        if (k + 2 < units.size() && units[k + 1].kind == Unit::equals) k += 2;  // the "=" and the location
    }
    return first;
}

// The token right after the keyword, across line ends, as the node count was
// read before the record's parameters were: when it is "N=<count>," (any
// character in place of the comma) and its keyword is "ZONE", it still gives
// the count, from its third character to its last but one. Empty otherwise.
std::string countToken(const std::string& record) {
    if (record.compare(0, 4, "ZONE") != 0) return "";
    std::size_t p = 4;
    while (p < record.size() && isSpace(record[p])) ++p;
    std::size_t end = p;
    while (end < record.size() && !isSpace(record[end])) ++end;
    const std::string t = record.substr(p, end - p);
    const bool asBefore = t.size() >= 3 && t[0] == 'N' && t[1] == '=' && isDigit(t[2]) && !isDigit(t.back());
    return asBefore ? t : "";
}

}  // namespace

ZoneRecord parseZoneRecord(const std::string& record, const std::string& variables) {
    ZoneRecord zone;
    const auto refuse = [&zone](bool atVariables, std::string text) {
        zone.problems.push_back({atVariables, std::move(text), true});
    };
    if (!variables.empty()) {
        zone.names = variableNames(variables);
        zone.variables = static_cast<int>(zone.names.size());
        // Names that tell the columns need not be five; the node's columns
        // are then found by them (NodeColumns).
        const bool named = std::any_of(zone.names.begin(), zone.names.end(),
                                       [](const std::string& n) { return roleOfName(n) != ColumnRole::unknown; });
        if (zone.variables < 5 && !named)
            refuse(true, "VARIABLES names " + std::to_string(zone.variables) +
                             (zone.variables == 1 ? " variable" : " variables") +
                             "; MeshRaster needs five values per node (x, y, pile height, x momentum, y momentum); "
                             "nothing is read");
    }
    const std::size_t keyword = std::min<std::size_t>(record.size(), 4);
    const std::vector<Parameter> parameters = parametersOf(unitsOf(record.substr(keyword)));

    // The element type.
    const Parameter* et = find(parameters, "ET");
    const Parameter* zoneType = find(parameters, "ZONETYPE");
    const Parameter* count = find(parameters, "N");
    if (!count) count = find(parameters, "NODES");
    bool typeRefused = true;
    if (et && nodesOfType(*et) == 0) {
        refuse(false, "zone type " + shownToken(et->written, false) + " is not read; " + kTypesRead);
    } else if (zoneType && nodesOfType(*zoneType) == 0) {
        refuse(false, "zone type " + shownToken(zoneType->written, false) + " is not read; " + kTypesRead);
    } else if (et && zoneType && nodesOfType(*et) != nodesOfType(*zoneType)) {
        refuse(false, "zone types " + shownToken(et->written, false) + " and " + shownToken(zoneType->written, false) +
                          " disagree; give one of them; nothing is read");
    } else if (!et && !zoneType && !count &&
               (find(parameters, "I") || find(parameters, "J") || find(parameters, "K"))) {
        refuse(false, std::string("ordered zone (I=, J=, K=) is not read; ") + kTypesRead);
    } else {
        typeRefused = false;
        zone.nodesPerElement = et ? nodesOfType(*et) : zoneType ? nodesOfType(*zoneType) : 4;
    }
    if (typeRefused) zone.nodesPerElement = 0;

    // The packing, and where the variables lie.
    for (const char* name : {"F", "DATAPACKING"}) {
        const Parameter* packing = find(parameters, name);
        if (!packing) continue;
        const std::string v = upper(packing->value);
        if (v == "POINT" || v == "FEPOINT") continue;
        if (v == "BLOCK" || v == "FEBLOCK") {
            zone.pointPacked = false;
            continue;
        }
        refuse(false, "zone packing " + shownToken(packing->written, false) +
                          " is not read; MeshRaster reads point- and block-packed zones (F=FEPOINT, F=FEBLOCK, "
                          "DATAPACKING=POINT or DATAPACKING=BLOCK); nothing is read");
        break;
    }
    if (const Parameter* location = find(parameters, "VARLOCATION")) {
        zone.cellCentred = cellCentredOf(location->value, zone.cellCentredVariables);
        // Only block packing can hold values at the cell centres.
        if (zone.cellCentred > 0 && zone.pointPacked)
            refuse(false, "variable " + std::to_string(zone.cellCentred) +
                              " is cell-centred (VARLOCATION); MeshRaster needs the first five variables at the "
                              "nodes (NODAL); nothing is read");
    }

    // Variables and elements taken from another zone: absent from this one's
    // data, they are read again where that zone holds them.
    const auto wholeOrZero = [](const std::string& v) {
        bool over = false;
        return !v.empty() && std::all_of(v.begin(), v.end(), isDigit) ? countFromText(v, over) : -1;
    };
    if (const Parameter* shared = find(parameters, "VARSHARELIST")) {
        const std::vector<Unit> units = unitsOf(shared->value);
        for (std::size_t k = 0; k < units.size(); ++k) {
            if (units[k].kind != Unit::list) continue;
            const std::string& r = units[k].text;
            int from = 0;  // the previous zone, when the list names none
            if (k + 2 < units.size() && units[k + 1].kind == Unit::equals) {
                from = wholeOrZero(units[k + 2].text);
                if (from < 1) from = -1;
                k += 2;
            }
            forEachVariable(r, [&](int v) { zone.sharedVariables.push_back({v, from}); });
        }
        if (zone.sharedVariables.empty() || std::any_of(zone.sharedVariables.begin(), zone.sharedVariables.end(),
                                                        [](const std::pair<int, int>& v) { return v.second < 0; }))
            refuse(false, "shared data " + shownToken(shared->written, false) +
                              " is not read; MeshRaster reads VARSHARELIST=([variables]=zone); nothing is read");
    }
    if (const Parameter* shared = find(parameters, "CONNECTIVITYSHAREZONE")) {
        zone.elementsFrom = wholeOrZero(shared->value);
        if (zone.elementsFrom < 1)
            refuse(false, "shared data " + shownToken(shared->written, false) +
                              " is not read; MeshRaster reads CONNECTIVITYSHAREZONE=zone; nothing is read");
    }
    if (const Parameter* shared = find(parameters, "D")) {
        // The older form: variable numbers and FECONNECT, all from the previous zone.
        for (const Unit& u : unitsOf(shared->value)) {
            if (u.kind != Unit::word) continue;
            const int v = wholeOrZero(u.text);
            if (upper(u.text) == "FECONNECT")
                zone.elementsFrom = 0;
            else if (v >= 1 && v <= kMostVariables)
                zone.sharedVariables.push_back({v, 0});
        }
    }

    // The node count: as before when the record starts with "N=<count>,",
    // else the value of N or NODES.
    const std::string token = countToken(record);
    if (!token.empty()) {
        bool tooLarge = false;
        zone.nodes = countFromText(token.substr(2, token.size() - 3), tooLarge);
        zone.count = tooLarge ? ZoneRecord::Count::tooLarge : ZoneRecord::Count::whole;
        if (tooLarge)
            zone.problems.push_back(
                {false, "node count in \"" + token + "\" does not fit in an int; no node is read", false});
    } else if (count) {
        const std::string& v = count->value;
        const bool digits = !v.empty() && std::all_of(v.begin(), v.end(), isDigit);
        bool over = false;
        const int n = digits ? countFromText(v, over) : 0;
        zone.count = !digits ? ZoneRecord::Count::notWhole
                     : over  ? ZoneRecord::Count::tooLarge
                             : ZoneRecord::Count::whole;
        if (zone.count == ZoneRecord::Count::whole)
            zone.nodes = n;
        else if (!typeRefused)
            refuse(false, "node count " + shownToken(count->written, false) +
                              " is not a whole number from 0 to 2147483647; nothing is read");
    } else if (!typeRefused) {
        refuse(false, "the ZONE record has no node count (N=<count> or NODES=<count>); nothing is read");
    }

    // The element count, when it is digits alone: the number of elements the
    // section must hold. Any other value is ignored, as it was before.
    const Parameter* elements = find(parameters, "E");
    if (!elements) elements = find(parameters, "ELEMENTS");
    if (elements && !elements->value.empty() && elements->value.size() <= 15 &&
        std::all_of(elements->value.begin(), elements->value.end(), isDigit)) {
        zone.elements = 0;
        for (const char c : elements->value) zone.elements = zone.elements * 10 + (c - '0');
        zone.elementsWritten = elements->written;
    }
    if (const Parameter* title = find(parameters, "T")) {
        zone.titled = true;
        zone.title = title->value;
    }
    if (const Parameter* time = find(parameters, "SOLUTIONTIME")) GisAscFile::wholeNumber(time->value, zone.time);
    return zone;
}

std::vector<std::string> variableNames(const std::string& variables) {
    static const char* const kKeywords[] = {"TITLE",      "FILETYPE", "VARIABLES", "ZONE",        "DATASETAUXDATA",
                                            "VARAUXDATA", "TEXT",     "GEOMETRY",  "CUSTOMLABELS"};
    const std::string& s = variables;
    std::size_t p = std::min<std::size_t>(s.size(), 9);  // after the word VARIABLES
    while (p < s.size() && isSpace(s[p])) ++p;
    if (p < s.size() && s[p] == '=') ++p;
    std::vector<std::string> names;
    while (p < s.size()) {
        const char c = s[p];
        if (isSpace(c) || c == ',') {
            ++p;
        } else if (c == '"') {
            const std::size_t q = quotedEnd(s, p);
            names.push_back(s.substr(p + 1, q - p - 1));
            p = q < s.size() && s[q] == '"' ? q + 1 : q;
        } else if (c == '#' && (p == 0 || s[p - 1] == '\n')) {
            while (p < s.size() && s[p] != '\n') ++p;  // a comment line
        } else {
            std::size_t q = p;
            while (q < s.size() && !isSpace(s[q]) && s[q] != ',' && s[q] != '"' && s[q] != '=') ++q;
            const std::string word = upper(s.substr(p, q - p));
            std::size_t after = q;
            while (after < s.size() && isSpace(s[after])) ++after;
            // The list ends at the next record of the preamble, or at a NAME=VALUE.
            if (word.empty() || (after < s.size() && s[after] == '=') ||
                std::find(std::begin(kKeywords), std::end(kKeywords), word) != std::end(kKeywords))
                break;
            names.push_back(s.substr(p, q - p));
            p = q;
        }
    }
    return names;
}

int countVariables(const std::string& variables) { return static_cast<int>(variableNames(variables).size()); }

bool beginsVariablesList(const std::string& token) {
    return upper(token.substr(0, 9)) == "VARIABLES" && (token.size() == 9 || token[9] == '=' || token[9] == '"');
}

bool isZoneKeyword(const std::string& token) {
    return (token.size() == 4 || (token.size() > 4 && token[4] == ',')) && upper(token.substr(0, 4)) == "ZONE";
}

bool beginsNumber(const std::string& text) {
    std::size_t k = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (k < text.size() && isDigit(text[k])) return true;
    return k + 1 < text.size() && text[k] == '.' && isDigit(text[k + 1]);
}

std::string shownToken(const std::string& word, bool longer) {
    return word.empty() ? "a token" : shownText(word, kShownTokenBytes, true, longer);
}
