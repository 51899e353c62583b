// The golden cases of the zone records other programs write hold one mesh,
// nine nodes and eight triangles: each must expect the grid that the same
// triangles give as four-node elements in a record read as before. The
// expected files are checked against the program by their own cases; this
// keeps them from drifting apart.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

TEST(ZoneCases, EveryRecordOfTheMeshExpectsTheGridOfItsFourNodeTwin) {
    const std::string cases = MESHRASTER_CASES_DIR;
    const std::string twin = readFile(cases + "/zone_triangle_zone_as_four_node_elements/out.grd.expected");
    ASSERT_NE(twin.find("3.6875"), std::string::npos) << "the twin's grid holds the mesh";
    for (const char* name :
         {"zone_triangle_zone", "zone_written_with_fortran_spacing", "zone_keyword_in_lower_case",
          "zone_mixed_case_without_commas", "zone_title_with_a_comma_first", "zone_record_over_several_lines",
          "zone_quoted_title_holds_zone", "zone_nodes_and_elements_by_their_long_names"})
        EXPECT_EQ(readFile(cases + "/" + name + "/out.grd.expected"), twin) << name;
}
