// One file read in parts on several threads against the same file read by one
// reader: the grid, the messages and the exit status must be the same, also
// where a section stops having one node or element a line part way, which
// the parts must notice and hand back to one reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace {

constexpr int kSide = 24;  // nodes along each side of the mesh

// The node table of a kSide x kSide mesh, one node a line: x, y, then the pile
// height and the momenta of a smooth mound.
std::vector<std::string> nodeLines() {
    std::vector<std::string> lines;
    for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
            const double h = (i * (kSide - 1 - i) + j * (kSide - 1 - j)) / 50.0;
            char line[160];
            std::snprintf(line, sizeof line, "%.4f %.4f %.6f %.5f %.5f", i * 1.0 + (i % 5 == 2 ? 0.3 : 0.0), j * 1.0, h,
                          h * 0.7, -h * 0.2);
            lines.emplace_back(line);
        }
    return lines;
}

// The quadrilaterals of that mesh, one a line.
std::vector<std::string> elementLines() {
    std::vector<std::string> lines;
    for (int j = 0; j + 1 < kSide; ++j)
        for (int i = 0; i + 1 < kSide; ++i) {
            const int a = j * kSide + i + 1;
            lines.push_back(std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + kSide + 1) +
                            " " + std::to_string(a + kSide));
        }
    return lines;
}

struct Mesh {
    std::string header = "VARIABLES = \"X\", \"Y\", \"H\", \"HU\", \"HV\"\n";
    std::string record;  // the zone record; empty: from the counts
    std::vector<std::string> nodes = nodeLines();
    std::vector<std::string> elements = elementLines();
    std::string end = "\n";  // after the last element line
    std::string after;       // another zone, say

    std::string text() const {
        std::string t = header;
        t += record.empty() ? "ZONE N=" + std::to_string(nodeLines().size()) +
                                  ", E=" + std::to_string(elementLines().size()) + ", F=FEPOINT, ET=QUADRILATERAL\n"
                            : record;
        for (const std::string& n : nodes) t += n + "\n";
        for (std::size_t k = 0; k < elements.size(); ++k) t += elements[k] + (k + 1 < elements.size() ? "\n" : end);
        return t + after;
    }
};

struct Variant {
    const char* what;
    std::function<void(Mesh&)> change;
};

const std::size_t kMid = 290;  // a line well inside both sections

const Variant kVariants[] = {
    {"one node or element a line throughout", [](Mesh&) {}},
    {"a node over two lines", [](Mesh& m) { m.nodes[kMid].replace(m.nodes[kMid].find(' '), 1, "\n"); }},
    {"two nodes on one line",
     [](Mesh& m) {
         m.nodes[kMid] += " " + m.nodes[kMid + 1];
         m.nodes.erase(m.nodes.begin() + kMid + 1);
     }},
    {"a blank line among the nodes", [](Mesh& m) { m.nodes[kMid] += "\n"; }},
    {"a word among the nodes", [](Mesh& m) { m.nodes[kMid] = "3.0 4.0 abc 1 1"; }},
    {"a word among the elements", [](Mesh& m) { m.elements[kMid] = "1 2 x 4"; }},
    {"two elements on one line",
     [](Mesh& m) {
         m.elements[kMid] += " " + m.elements[kMid + 1];
         m.elements.erase(m.elements.begin() + kMid + 1);
     }},
    {"an element over two lines", [](Mesh& m) { m.elements[kMid].replace(m.elements[kMid].find(' '), 1, "\n"); }},
    {"an element over two lines and later two on one, a skipped element between",
     [](Mesh& m) {
         m.elements[kMid].replace(m.elements[kMid].find(' '), 1, "\n");
         m.elements[kMid + 2] = "0 1 2 3";
         m.elements[kMid + 4] += " " + m.elements[kMid + 5];
         m.elements.erase(m.elements.begin() + kMid + 5);
     }},
    {"an element short of a number", [](Mesh& m) { m.elements[kMid] = "1 2 3"; }},
    {"elements naming nodes outside the table",
     [](Mesh& m) {
         m.elements[17] = "0 1 2 3";
         m.elements[kMid] = "1 2 3 99999";
     }},
    {"values that are not finite in the grid",
     [](Mesh& m) {
         for (std::size_t k = 200; k < 260; ++k)
             m.nodes[k] = m.nodes[k].substr(0, m.nodes[k].find(' ', 9)) + " 1.7e308 1 1";
     }},
    {"fewer elements than stated", [](Mesh& m) { m.elements.resize(m.elements.size() - 40); }},
    {"more elements than stated", [](Mesh& m) { m.elements.push_back("1 2 3 4"); }},
    {"the file ends within its last number",
     [](Mesh& m) {
         m.elements.back().pop_back();
         m.end = "";
     }},
    {"lines ending in carriage returns",
     [](Mesh& m) {
         for (std::string& n : m.nodes) n += "\r";
         for (std::string& e : m.elements) e += "\r";
     }},
    {"no VARIABLES list, extra columns skipped",
     [](Mesh& m) {
         m.header = "";
         for (std::string& n : m.nodes) n += " 7 8 9";
     }},
    {"bed elevation before the pile height",
     [](Mesh& m) {
         m.header = "VARIABLES = \"x\", \"y\", \"z\", \"h\", \"hu\", \"hv\"\n";
         for (std::string& n : m.nodes) n.insert(n.find(' ', n.find(' ') + 1), " 1000.5");
     }},
    {"Fortran exponents",
     [](Mesh& m) {
         for (std::size_t k = 100; k < 400; ++k) m.nodes[k] += "";
         m.nodes[kMid] = "5.0D+00 5.0d0 1.00000000+001 0.0 0.0";
     }},
    {"a second zone after the first",
     [](Mesh& m) {
         Mesh second;
         std::string t = second.text();
         m.after = t.substr(t.find("ZONE"));
     }},
    {"triangles",
     [](Mesh& m) {
         m.record = "ZONE N=" + std::to_string(m.nodes.size()) + ", E=" + std::to_string(2 * m.elements.size()) +
                    ", F=FEPOINT, ET=TRIANGLE\n";
         std::vector<std::string> triangles;
         for (const std::string& e : elementLines()) {
             int a, b, c, d;
             std::sscanf(e.c_str(), "%d %d %d %d", &a, &b, &c, &d);
             triangles.push_back(std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
             triangles.push_back(std::to_string(a) + " " + std::to_string(c) + " " + std::to_string(d));
         }
         m.elements = triangles;
     }},
};

RunResult convert(const TempDir& dir, int jobs, const char* partItems) {
    if (partItems != nullptr) ::setenv("MESHRASTER_ITEMS_AT_ONCE", partItems, 1);
    RunResult r = runProgram(MESHRASTER_BINARY, {"-j", std::to_string(jobs), "run.cfg"}, dir.path());
    ::unsetenv("MESHRASTER_ITEMS_AT_ONCE");
    r.out += "--- grid ---\n" + readFile(dir.file("out.grd"));
    return r;
}

}  // namespace

TEST(OneFileParts, SameGridMessagesAndStatusAsOneReader) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.what);
        TempDir dir;
        Mesh mesh;
        v.change(mesh);
        dir.write("mesh.tec", mesh.text());
        dir.write("run.cfg",
                  "PileHeight\nxmin -0.7\nymin -0.6\nxmax 23.9\nymax 24.1\nresx 0.3\nresy 0.3\n"
                  "output out.grd\ninput mesh.tec\n");
        const RunResult one = convert(dir, 1, nullptr);
        ASSERT_NE(one.out.find("--- grid ---\nGRIDREG"), std::string::npos) << one.out << one.err;
        if (&v == &kVariants[0]) {
            ASSERT_NE(one.out.find_first_of("123456789", one.out.find("INFO_END")), std::string::npos) << "empty grid";
        }
        // Parts of a few lines, so that their ends fall everywhere, and of
        // about a third of a section.
        const std::pair<const char*, int> runs[] = {{"2", 3}, {"7", 2}, {"150", 3}};
        for (const auto& [partItems, jobs] : runs) {
            SCOPED_TRACE(std::string("parts from ") + partItems + " items, -j " + std::to_string(jobs));
            const RunResult parts = convert(dir, jobs, partItems);
            EXPECT_EQ(parts.status, one.status);
            EXPECT_EQ(parts.err, one.err);
            EXPECT_TRUE(parts.out == one.out) << "the grid or the standard output differs";
        }
    }
}
