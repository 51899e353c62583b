// Resolving the output's name while other runs replace the same file.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "OutputFile.h"
#include "TestSupport.h"

// Before, a run that looked at the output's name while another run renamed its
// new grid into place saw two different files in its two looks, took the name
// for something it cannot replace, and refused it ("not a regular file") or
// wrote it in place. Now the looks are taken again until they agree.
TEST(OutputTarget, FileReplacedMeanwhileIsStillReplacedByRename) {
    TempDir dir;
    const std::string target = dir.file("r.asc");
    dir.write("r.asc", "old\n");
    std::atomic<bool> stop{false};
    std::thread other([&]() {
        for (int k = 0; !stop.load(); ++k) {
            const std::string next = dir.write("next" + std::to_string(k % 2), "new\n");
            std::rename(next.c_str(), target.c_str());
        }
    });
    int inPlace = 0, failed = 0;
    for (int k = 0; k < 20000; ++k) {
        OutputTarget t;
        if (resolveOutputTarget(target, t) != 0)
            ++failed;
        else if (t.inPlace)
            ++inPlace;
    }
    stop = true;
    other.join();
    EXPECT_EQ(inPlace, 0);
    EXPECT_EQ(failed, 0);
}
