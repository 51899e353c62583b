#include "RunConfig.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>

namespace {

// The items of the configuration file before the input list, for messages: the
// label before each value, then the value. The labels' usage words follow.
const char* const kLabelItems[] = {
    "the label before xmin",
    "the label before ymin",
    "the label before xmax",
    "the label before ymax",
    "the label before resx",
    "the label before resy",
    "the label before the output file name",
};
const char* const kNumberItems[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
const char* const kLabels[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy", "output", "input"};

// What a UTF-8 editor may put before the first word.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// A word of the configuration as a message shows it: a control character as
// \xHH, so that no byte of the file can act on a terminal, and at most the
// first 64 bytes, then "...".
std::string shown(const std::string& word) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    const std::size_t n = std::min<std::size_t>(word.size(), 64);
    for (std::size_t k = 0; k < n; ++k) {
        const auto c = static_cast<unsigned char>(word[k]);
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (n < word.size()) out += "...";
    return out;
}

// Letter case ignored, in ASCII.
bool sameWordIgnoringCase(const std::string& word, const char* usage) {
    std::size_t k = 0;
    for (; k < word.size() && usage[k] != '\0'; ++k) {
        const char a = word[k] >= 'A' && word[k] <= 'Z' ? static_cast<char>(word[k] - 'A' + 'a') : word[k];
        if (a != usage[k]) return false;
    }
    return k == word.size() && usage[k] == '\0';
}

// What the grid numbers cannot make a grid of, or nullptr. The counts are
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

// The configuration's tokens in order, into one RunConfig. Reading ends at the
// first token that cannot be read; what it was is kept in the RunConfig.
class ConfigReader {
public:
    ConfigReader(GisAscFile& file, RunConfig& cfg, std::ostream& warnings)
        : file_(file), cfg_(cfg), warnings_(warnings) {}

    // The next token into word; false, with the failure kept, when there is none.
    bool next(std::string& word, const char* item) {
        file_.getString(word);
        if (!file_.fail()) return true;
        fail(item);
        return false;
    }

    // The mode word, after a byte-order mark that stands alone or before it.
    bool modeWord() {
        std::string word;
        if (!next(word, "the mode word")) return false;
        if (word.compare(0, 3, kByteOrderMark) == 0) {
            word.erase(0, 3);
            if (word.empty() && !next(word, "the mode word")) return false;
        }
        cfg_.isVelocity = word == "Velocity";
        if (!cfg_.isVelocity && word != "PileHeight")
            warn("mode word \"" + shown(word) + "\" is neither Velocity nor PileHeight; pile height is used");
        return true;
    }

    // The label before value k. Labels are not used, but a wrong one usually
    // means a missing one, which shifts every later token: the first is named.
    bool label(int k) {
        std::string word;
        if (!next(word, kLabelItems[k])) return false;
        checkLabel(word, k);
        return true;
    }

    // Number k, which must be the whole of its token.
    bool number(int k, double& value) {
        std::string word;
        if (!next(word, kNumberItems[k])) return false;
        if (GisAscFile::wholeNumber(word, value)) return true;
        fail(kNumberItems[k]);
        cfg_.failedToken = std::move(word);
        return false;
    }

    // The label before the input list, then the names up to the end of the
    // file. A file that ends before the label has an empty list.
    void inputList() {
        std::string word;
        file_.getString(word);
        if (file_.fail()) {
            if (!file_.readProblem().empty()) fail("the label before the input list");
            return;
        }
        checkLabel(word, 7);
        for (;;) {
            std::string name;
            file_.getString(name);
            if (file_.fail()) break;
            cfg_.inFileNames.push_back(std::move(name));
        }
        // Reading that stopped short of the end would silently cut the list.
        if (!file_.readProblem().empty()) fail("the input list");
    }

private:
    void fail(const char* item) {
        cfg_.failedItem = item;
        cfg_.failedLine = file_.lineNumber();
        cfg_.failedAtEnd = file_.endedBeforeToken();
        cfg_.readProblem = file_.readProblem();
    }

    void checkLabel(const std::string& word, int k) {
        if (labelWarned_ || sameWordIgnoringCase(word, kLabels[k])) return;
        warn(std::string("label ") + kLabels[k] + " expected, found \"" + shown(word) + '"');
        labelWarned_ = true;
    }

    // The read position stands right after the token the warning is about.
    void warn(const std::string& text) {
        warnings_ << shown(file_.name()) << ':' << file_.lineNumber() << ": " << text << '\n';
    }

    GisAscFile& file_;
    RunConfig& cfg_;
    std::ostream& warnings_;
    bool labelWarned_ = false;
};

}  // namespace

RunConfig readRunConfig(GisAscFile& cfgFile) { return readRunConfig(cfgFile, std::cerr); }

RunConfig readRunConfig(GisAscFile& cfgFile, std::ostream& warnings) {
    // Tokens by position: the mode word, six label and number pairs, a label and
    // the output file name, a label and the input names.
    RunConfig cfg;
    ConfigReader in(cfgFile, cfg, warnings);
    if (!in.modeWord()) return cfg;
    double* const numbers[6] = {&cfg.xmin, &cfg.ymin, &cfg.xmax, &cfg.ymax, &cfg.resx, &cfg.resy};
    for (int k = 0; k < 6; ++k)
        if (!in.label(k) || !in.number(k, *numbers[k])) return cfg;
    if (!in.label(6) || !in.next(cfg.outFileName, "the output file name")) return cfg;
    in.inputList();
    return cfg;
}

std::string configProblem(const RunConfig& cfg) {
    const std::string at = ':' + std::to_string(cfg.failedLine) + ": ";
    if (!cfg.readProblem.empty()) return at + cfg.readProblem;
    if (cfg.failedItem && cfg.failedAtEnd) return std::string(" ends before ") + cfg.failedItem;
    if (cfg.failedItem) return at + cfg.failedItem + " \"" + shown(cfg.failedToken) + "\" is not a number";
    const char* problem = gridProblem(cfg);
    return problem ? std::string(": ") + problem : std::string();
}
