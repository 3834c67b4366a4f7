// ParseDeviceId: which field values it finds, and exactly how it leaves the
// text, under a single-byte and a double-byte ANSI code page.
#include "discovery/device_id.h"
#include "platform/simulated_win32.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

struct ParseCase {
    const char* name;
    std::string text;
    int result;
    std::optional<std::string> manufacturer; // none: null
    std::optional<std::string> model;
    std::string textAfter; // every byte of the text once parsed, terminator excluded
};

std::ostream& operator<<(std::ostream& out, const ParseCase& c) {
    return out << c.name;
}

// Parses a copy of `c.text` and checks the results against the case; the
// values must point into the text, not at copies.
void ExpectParse(const ParseCase& c) {
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    char* manufacturer = reinterpret_cast<char*>(1);
    char* model = reinterpret_cast<char*>(1);

    EXPECT_EQ(ParseDeviceId(text.data(), &manufacturer, &model), c.result);

    const char* end = text.data() + text.size();
    for (const char* value : {manufacturer, model}) {
        if (value != nullptr) {
            ASSERT_TRUE(value >= text.data() && value < end) << "value outside the text";
        }
    }
    auto read = [](const char* value) {
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    EXPECT_EQ(read(manufacturer), c.manufacturer);
    EXPECT_EQ(read(model), c.model);
    EXPECT_EQ(std::string(text.data(), c.text.size()), c.textAfter);
    EXPECT_EQ(text.back(), '\0');
}

class ParseDeviceIdTest : public ::testing::TestWithParam<ParseCase> {
  protected:
    void SetUp() override {
        sim::Sim().Reset();
        LoadLeadByteSet();
    }
};

const ParseCase kSingleByteCases[] = {
    {"EmptyText", "", 0, {}, {}, ""},
    {"OnlySemicolons", ";;;", 0, {}, {}, ";;;"},
    {"ManufacturerAndModel", "MFG:Acme;MDL:P100;CLS:PRINTER;", 1, "Acme", "P100",
     "MFG:Acme\0MDL:P100\0CLS:PRINTER\0"s},
    {"LeadingDoubledAndTrailingSemicolons", ";;MFG:Acme;;MDL:P100;;", 1, "Acme", "P100",
     ";;MFG:Acme\0;MDL:P100\0;"s},
    {"BareManufacturerKeyCountsAsFound", "MFG:;MDL:P100", 1, "", "P100", "MFG:\0MDL:P100"s},
    {"BareModelKeyAtTheEnd", "MFG:Acme;MDL:", 1, "Acme", "", "MFG:Acme\0MDL:"s},
    {"ManufacturerWithoutModel", "MFG:Acme;CLS:PRINTER", 0, "Acme", {}, "MFG:Acme\0CLS:PRINTER"s},
    {"ModelWithoutManufacturer", "CLS:PRINTER;MODEL:P1;", 0, {}, "P1", "CLS:PRINTER\0MODEL:P1\0"s},
    {"LaterManufacturerWins", "MFG:First;MDL:P;MFG:Second", 1, "Second", "P",
     "MFG:First\0MDL:P\0MFG:Second"s},
    {"ModelFieldAfterMdlFieldWins", "MFG:A;MDL:Short;MODEL:Long", 1, "A", "Long",
     "MFG:A\0MDL:Short\0MODEL:Long"s},
    {"MdlFieldAfterModelFieldWins", "MFG:A;MODEL:Long;MDL:Short", 1, "A", "Short",
     "MFG:A\0MODEL:Long\0MDL:Short"s},
    {"FieldWithBothKeysGivesOnlyTheManufacturer",
     "MFG:Acme MDL:P100;CLS:X",
     0,
     "Acme MDL:P100",
     {},
     "MFG:Acme MDL:P100\0CLS:X"s},
    {"ManufacturerKeyWinsEvenWhenLaterInItsField",
     "MDL:P100 MFG:Acme",
     0,
     "Acme",
     {},
     "MDL:P100 MFG:Acme"},
    {"MdlKeyWinsOverEarlierModelKeyInOneField", "MFG:A;MODEL:X MDL:Y", 1, "A", "Y",
     "MFG:A\0MODEL:X MDL:Y"s},
    {"KeyAfterOtherBytes", "*MFG:Acme;xxMDL:P100", 1, "Acme", "P100", "*MFG:Acme\0xxMDL:P100"s},
    {"ValueKeepsColonsAndBlanks", "MFG: Acme: Corp ;MDL:P:1", 1, " Acme: Corp ", "P:1",
     "MFG: Acme: Corp \0MDL:P:1"s},
    {"LowerCaseKeysAreNotRecognised",
     "mfg:Acme;mdl:P;Model:Q",
     0,
     {},
     {},
     "mfg:Acme\0mdl:P\0Model:Q"s},
    {"BlankBeforeColonIsNotRecognised",
     "MFG :Acme;MDL :P;MODEL :Q",
     0,
     {},
     {},
     "MFG :Acme\0MDL :P\0MODEL :Q"s},
    {"LongManufacturerNameIsNotRecognised",
     "MANUFACTURER:Acme;MDL:P",
     0,
     {},
     "P",
     "MANUFACTURER:Acme\0MDL:P"s},
    {"KeySplitBySemicolonIsNotFound", "MF;G:Acme;MD;L:P", 0, {}, {}, "MF\0G:Acme\0MD\0L:P"s},
    {"PartialKeyAtTheEnd", "MFG:Acme;MODEL", 0, "Acme", {}, "MFG:Acme\0MODEL"s},
    {"OneFieldWithoutSemicolonIsUnchanged",
     "MFG:Acme MDL:P100",
     0,
     "Acme MDL:P100",
     {},
     "MFG:Acme MDL:P100"},
    {"TextReadsOnlyToItsFirstFieldAfterwards", "CMD:PCL;MFG:Acme;MDL:P100", 1, "Acme", "P100",
     "CMD:PCL\0MFG:Acme\0MDL:P100"s},
    {"HighBytesSplitLikeAnyOther", "MFG:\x81;A;MDL:B\x81", 1, "\x81", "B\x81",
     "MFG:\x81\0A\0MDL:B\x81"s},
};

TEST_P(ParseDeviceIdTest, SingleByteCodePage) {
    ExpectParse(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseDeviceIdTest, ::testing::ValuesIn(kSingleByteCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The lead bytes of code page 932: 0x81-0x9F and 0xE0-0xFC.
class DoubleByteParseTest : public ::testing::TestWithParam<ParseCase> {
  protected:
    void SetUp() override {
        sim::Sim().Reset();
        sim::Sim().codePage = 932;
        sim::Sim().leadByteRanges = {{0x81, 0x9F}, {0xE0, 0xFC}};
        LoadLeadByteSet();
    }
    void TearDown() override {
        sim::Sim().Reset();
        LoadLeadByteSet();
    }
};

const ParseCase kDoubleByteCases[] = {
    {"LeadByteBeforeSemicolonJoinsTwoFields", "MFG:\x81;A;MDL:B", 1, "\x81;A", "B",
     "MFG:\x81;A\0MDL:B"s},
    {"LeadBytesAtRangeEdgesJoin", "MDL:\x9F;1;MFG:\xE0;2;CLS:\xFC;3", 1, "\xE0;2", "\x9F;1",
     "MDL:\x9F;1\0MFG:\xE0;2\0CLS:\xFC;3"s},
    {"BytesOutsideTheRangesSplit", "MFG:\x80;MDL:\xA0;CLS:\xFD;", 1, "\x80", "\xA0",
     "MFG:\x80\0MDL:\xA0\0CLS:\xFD\0"s},
    {"SecondByteIsNeverALeadByte", "MFG:A\x81\x81;MDL:B", 1, "A\x81\x81", "B",
     "MFG:A\x81\x81\0MDL:B"s},
    {"ThirdLeadByteJoinsAgain",
     "MFG:A\x81\x81\x81;MDL:B",
     0,
     "A\x81\x81\x81;MDL:B",
     {},
     "MFG:A\x81\x81\x81;MDL:B"s},
    {"KeyIsFoundAtASecondByte", "\x81MFG:A;MDL:B", 1, "A", "B", "\x81MFG:A\0MDL:B"s},
    {"LeadByteAsLastByteIsDropped", "MFG:A;MDL:B\x81", 1, "A", "B", "MFG:A\0MDL:B\0"s},
    {"LoneLeadByteAtTheEndIsNoField", "MFG:A;MDL:B;\x81", 1, "A", "B", "MFG:A\0MDL:B\0\0"s},
    {"LoneLeadByteTextIsEmptiedAndHasNoField", "\x81", 0, {}, {}, "\0"s},
    {"SemicolonAsLastSecondByteStaysInTheValue", "MFG:\x81;", 0, "\x81;", {}, "MFG:\x81;"},
};

TEST_P(DoubleByteParseTest, DoubleByteCodePage) {
    ExpectParse(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Texts, DoubleByteParseTest, ::testing::ValuesIn(kDoubleByteCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The manufacturer parsed out of a copy of `text`, or "<null>".
std::string ManufacturerOf(std::string text) {
    char* manufacturer = nullptr;
    char* model = nullptr;
    ParseDeviceId(text.data(), &manufacturer, &model);
    return manufacturer ? manufacturer : "<null>";
}

class LeadByteSetTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::Sim().Reset(); }
    void TearDown() override {
        sim::Sim().Reset();
        LoadLeadByteSet();
    }
};

// A set loaded later replaces the earlier one entirely.
TEST_F(LeadByteSetTest, ReloadingForgetsTheEarlierSet) {
    sim::Sim().leadByteRanges = {{0x81, 0x9F}};
    LoadLeadByteSet();
    ASSERT_EQ(ManufacturerOf("MFG:\x81;X"), "\x81;X");

    sim::Sim().leadByteRanges = {{0xE0, 0xE0}};
    LoadLeadByteSet();
    EXPECT_EQ(ManufacturerOf("MFG:\x81;X"), "\x81");
    EXPECT_EQ(ManufacturerOf("MFG:\xE0;X"), "\xE0;X");
}

// Every range the code page reports counts, the last one included.
TEST_F(LeadByteSetTest, EveryReportedRangeIsLoaded) {
    sim::Sim().leadByteRanges = {
        {0x81, 0x81}, {0x83, 0x83}, {0x85, 0x85}, {0x87, 0x87}, {0x89, 0x89}};
    LoadLeadByteSet();
    EXPECT_EQ(ManufacturerOf("MFG:\x89;X"), "\x89;X");
    EXPECT_EQ(ManufacturerOf("MFG:\x82;X"), "\x82");
}

TEST_F(LeadByteSetTest, EmptySetSplitsAtEverySemicolon) {
    LoadLeadByteSet();
    EXPECT_EQ(ManufacturerOf("MFG:\x81;X"), "\x81");
}

} // namespace
