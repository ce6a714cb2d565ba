// Text from outside made fit for logs, terminals and the status line, and the keys made of UIDs
// from outside; the scripts print logs by the same rules.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/printable.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace housetone {
namespace {

const std::string fffd = "\xEF\xBF\xBD";

// Valid UTF-8 at each lead byte's limits; ill-formed input whose every maximal ill-formed part
// becomes one U+FFFD.
const std::string valid =
    "Caf\xC3\xA9\xC2\xA0\xE0\xA4\x85\xED\x9F\xBF\xF0\x9F\x94\x8A\xF4\x8F\xBF\xBF";
const std::string illFormed =
    "a\x80"              // a stray continuation byte
    "b\xE2\x82"          // a sequence cut short
    "c\xC0\xAF"          // an overlong two-byte form
    "d\xE0\x80\xAF"      // an overlong three-byte form
    "e\xF0\x80\x80\xAF"  // an overlong four-byte form
    "f\xED\xA0\x80"      // a surrogate
    "g\xF4\x90\x80\x80"  // past U+10FFFF
    "h\xFF"              // a byte UTF-8 never uses
    "i\xF0\x9F\x94";     // cut short at the very end
const std::string illFormedReplaced = "a" + fffd + "b" + fffd + "c" + fffd + fffd + "d" + fffd +
                                      fffd + fffd + "e" + fffd + fffd + fffd + fffd + "f" + fffd +
                                      fffd + fffd + "g" + fffd + fffd + fffd + fffd + "h" + fffd +
                                      "i" + fffd;
const std::string controls =
    "T\x1B]0;x\x07\tn\n\r\x7F\xC2\x9B"
    "2J ~";

TEST(Printable, IllFormedPartsBecomeOneReplacementEachAndControlsAreWrittenOut) {
    EXPECT_EQ(printable(valid), valid);
    EXPECT_EQ(printable(illFormed), illFormedReplaced);
    EXPECT_EQ(printable(controls), "T\\x1b]0;x\\x07\\x09n\\x0a\\x0d\\x7f\\x9b2J ~");
    EXPECT_EQ(printableLines(controls), "T\\x1b]0;x\\x07\\x09n\n\\x0d\\x7f\\x9b2J ~");
}

TEST(Printable, UIDsThatArePrintableStayAndAnyOtherGetsAPrintableKeyOfItsOwn) {
    for (const std::string& uid :
         std::vector<std::string>{"room-kitchen-speaker", "alsa_output.pci-0000_00_1f.3", valid})
        EXPECT_EQ(printableUID(uid), uid);
    // Each of these would show as one of the others, or as a name that is printable already.
    const std::vector<std::string> raw = {"tv\xFF", "tv\xFE", "tv\x1B", "tv\\x1b", "tv" + fffd};
    std::set<std::string> keys;
    for (const std::string& r : raw) {
        const std::string key = printableUID(r);
        EXPECT_EQ(printable(key), key);
        EXPECT_EQ(key.rfind(printable(r), 0), 0u) << key;  // what it shows comes first
        EXPECT_EQ(printableUID(std::string(r)), key);
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), raw.size());
}

TEST(Printable, TheScriptsPrintALogByTheSameRules) {
    const testsupport::TempDir dir;
    const std::string text = valid + "\n" + illFormed + "\n" + controls + "\n";
    std::ofstream(dir / "log", std::ios::binary) << text;
    const std::string command = "bash -c 'source \"" HOUSETONE_SOURCE_DIR
                                "/scripts/lib.sh\" && print_text \"$0\"' " +
                                (dir / "log").string();
    int status = -1;
    EXPECT_EQ(testsupport::commandOutput(command, &status), printableLines(text));
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace housetone
