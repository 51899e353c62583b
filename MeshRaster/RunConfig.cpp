#include "RunConfig.h"

#include <cmath>
#include <utility>

namespace {

// Tokens of the configuration file before the input list, for messages.
const char* const kConfigItems[] = {
    "the mode word",
    "the label before xmin",
    "xmin",
    "the label before ymin",
    "ymin",
    "the label before xmax",
    "xmax",
    "the label before ymax",
    "ymax",
    "the label before resx",
    "resx",
    "the label before resy",
    "resy",
    "the label before the output file name",
    "the output file name",
};

// What is wrong with the grid the numbers describe, or nullptr. The counts are
// tested before the grid is allocated, in the range of double.
const char* gridProblem(const RunConfig& c) {
    for (double n : {c.xmin, c.ymin, c.xmax, c.ymax, c.resx, c.resy})
        if (!std::isfinite(n)) return "a grid number is not finite";
    if (!(c.resx > 0)) return "resx must be greater than 0";
    if (!(c.resy > 0)) return "resy must be greater than 0";
    if (c.xmax < c.xmin) return "xmax is below xmin";
    if (c.ymax < c.ymin) return "ymax is below ymin";
    if (!((c.xmax - c.xmin) / c.resx < 2147483648.0))
        return "the grid would have more than 2147483647 columns; use a larger resx";
    if (!((c.ymax - c.ymin) / c.resy < 2147483648.0))
        return "the grid would have more than 2147483647 rows; use a larger resy";
    return nullptr;
}

// The words up to the end of the file. A read that finds no word leaves the
// name empty; one that takes a word up to the end of the file still delivers it.
std::vector<std::string> readInputNames(GisAscFile& cfgFile) {
    std::vector<std::string> names;
    for (;;) {
        std::string name;
        cfgFile.getString(name);
        if (name.empty()) return names;
        names.push_back(std::move(name));
    }
}

}  // namespace

RunConfig readRunConfig(GisAscFile& cfgFile) {
    // Tokens by position: the mode word, six label and number pairs, a label and
    // the output file name, a label and the input names. A failed read leaves
    // its target unchanged and every later read fails too, so only the first
    // failure is kept.
    RunConfig cfg;
    auto check = [&](int item) {
        if (cfg.failedItem || !cfgFile.fail()) return;
        cfg.failedItem = kConfigItems[item];
        cfg.failedAtEnd = cfgFile.endedBeforeToken();
        cfg.failedLine = cfgFile.lineNumber();
    };
    std::string word;
    cfgFile.getString(word);
    check(0);
    cfg.isVelocity = word == "Velocity";
    double* const numbers[6] = {&cfg.xmin, &cfg.ymin, &cfg.xmax, &cfg.ymax, &cfg.resx, &cfg.resy};
    for (int k = 0; k < 6; ++k) {
        cfgFile.getString(word);
        check(1 + 2 * k);
        cfgFile.getAscDouble(*numbers[k]);
        check(2 + 2 * k);
    }
    cfgFile.getString(word);
    check(13);
    cfgFile.getString(cfg.outFileName);
    check(14);
    cfgFile.getString(word);  // the label before the input list
    cfg.inFileNames = readInputNames(cfgFile);
    return cfg;
}

std::string configProblem(const RunConfig& cfg) {
    if (cfg.failedItem && cfg.failedAtEnd) return std::string(" ends before ") + cfg.failedItem;
    if (cfg.failedItem) return ':' + std::to_string(cfg.failedLine) + ": " + cfg.failedItem + " is not a number";
    const char* problem = gridProblem(cfg);
    return problem ? std::string(": ") + problem : std::string();
}
