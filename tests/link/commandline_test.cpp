// The command line of Linkvmii: rebuilding it from argv, the words of file-list mode, list
// files, the pairs of parameter mode and options files.
#include "link/linkvmii.h"
#include "tests/link/process.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vm::link;
using vm::link::testing::TempFolder;
using Strings = std::vector<std::string>;
using Parameters = std::vector<Parameter>;

namespace {

// --- argv to command line ----------------------------------------------------------------

struct ArgsCase {
    const char* name;
    Strings args;
    std::string line;
    Mode mode;
};

void PrintTo(const ArgsCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkArgs : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(LinkArgs, RebuildTheWindowsCommandLine)
{
    const auto& c = GetParam();
    std::string line = commandLineFromArgs(c.args);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(modeOf(line), c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkArgs,
    ::testing::Values(
        ArgsCase{"NameWithBlankIsQuoted", {"/my designs/rose.pes", "b.pes"}, R"("/my designs/rose.pes" b.pes)", Mode::FileList},
        ArgsCase{"PlainWordsAreJoined", {"a.pes", "b.jos"}, "a.pes b.jos", Mode::FileList},
        ArgsCase{"NoWords", {}, "", Mode::FileList},
        // Only the value is quoted, as in key="value" on a Windows command line.
        ArgsCase{"PairWithBlankQuotesItsValue", {"filename=/my designs/rose.pes", "prefix=rose"},
                 R"(filename="/my designs/rose.pes" prefix=rose)", Mode::Parameters},
        // Quotes that came with the word are kept, not doubled.
        ArgsCase{"QuotedWordStaysAsItIs", {R"(filename="C:\My Designs\rose.pes")"}, R"(filename="C:\My Designs\rose.pes")",
                 Mode::Parameters}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinkArgsRoundTrip, FileNamesComeBackAsTheyWere)
{
    Strings names{"/my designs/rose.pes", "tulip.pes", "/a b/c d/e f.pes"};
    EXPECT_EQ(splitWords(commandLineFromArgs(names)), names);
}

// --- Words of file-list mode ----------------------------------------------------------------

struct WordsCase {
    const char* name;
    std::string line;
    Strings words;
};

void PrintTo(const WordsCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkWords : public ::testing::TestWithParam<WordsCase> {};

TEST_P(LinkWords, Split)
{
    EXPECT_EQ(splitWords(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkWords,
    ::testing::Values(
        WordsCase{"QuotedNameWithBlankThenPlainName", R"("C:\My Designs\rose.pes" tulip.pes)", {R"(C:\My Designs\rose.pes)", "tulip.pes"}},
        WordsCase{"RunsOfBlanks", "   a.pes    b.pes  ", {"a.pes", "b.pes"}},
        WordsCase{"EmptyQuotedWordIsDropped", R"("" a.pes "")", {"a.pes"}},
        WordsCase{"UnclosedQuoteRunsToTheEnd", R"(a.pes "my rose.pes)", {"a.pes", "my rose.pes"}},
        WordsCase{"WordBehindClosingQuoteStartsThere", R"("a b"c d)", {"a b", "c", "d"}},
        WordsCase{"QuoteInsidePlainWordIsKept", R"(x"y z")", {"x\"y", "z\""}},
        WordsCase{"Empty", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ListNameCase {
    const char* word;
    bool isList;
};

void PrintTo(const ListNameCase& c, std::ostream* os)
{
    *os << c.word;
}

class LinkListName : public ::testing::TestWithParam<ListNameCase> {};

TEST_P(LinkListName, ByExtensionAfterTheLastDot)
{
    EXPECT_EQ(isListFile(GetParam().word), GetParam().isList) << GetParam().word;
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkListName,
                         ::testing::Values(ListNameCase{"designs.jos", true}, ListNameCase{"C:\\TEMP\\LIST.TMP", true},
                                           ListNameCase{"a.b.Tmp", true}, ListNameCase{"rose.pes", false},
                                           ListNameCase{"list.tmpx", false}, ListNameCase{"tmp", false},
                                           ListNameCase{"/lists.jos/rose.pes", false}, ListNameCase{"rose.", false}));

// --- List files -------------------------------------------------------------------------------

struct ListFileCase {
    const char* name;
    std::string content;
    Strings names;
};

void PrintTo(const ListFileCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkListFile : public ::testing::TestWithParam<ListFileCase> {};

TEST_P(LinkListFile, Lines)
{
    TempFolder folder;
    std::string list = folder.write("designs.tmp", GetParam().content);
    EXPECT_EQ(readListFile(list), GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkListFile,
    ::testing::Values(
        ListFileCase{"LineBeginningWithBlankIsSkipped", "rose.pes\n tulip.pes\nlily.pes", {"rose.pes", "lily.pes"}},
        // Only the line feed goes.
        ListFileCase{"CarriageReturnStays", "rose.pes\r\nlily.pes\r\n", {"rose.pes\r", "lily.pes\r"}},
        // 600 characters come as a piece of 511 and one of 89.
        ListFileCase{"LongLineComesInPieces", std::string(600, 'x') + "\nend.pes\n",
                     {std::string(511, 'x'), std::string(89, 'x'), "end.pes"}},
        // The second piece is a line of its own, so its leading blank drops it.
        ListFileCase{"PieceBeginningWithBlankIsSkipped", std::string(511, 'x') + " tail\n", {std::string(511, 'x')}},
        ListFileCase{"Empty", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinkDesignFiles, ListFilesAreReplacedByTheirLinesAndMissingOnesSkipped)
{
    TempFolder folder;
    std::string list = folder.write("my list.TMP", "a.pes\n b.pes\nc.pes\n");
    std::string missing = (folder.path() / "missing.jos").string();
    std::string line = "\"" + list + "\" \"/my designs/rose.pes\" " + missing + " z.pes";
    EXPECT_EQ(collectDesignFiles(line), (Strings{"a.pes", "c.pes", "/my designs/rose.pes", "z.pes"}));
    EXPECT_TRUE(readListFile(missing).empty());
}

// --- Pairs of parameter mode --------------------------------------------------------------

struct PairsCase {
    const char* name;
    std::string line;
    Parameters pairs;
};

void PrintTo(const PairsCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkPairs : public ::testing::TestWithParam<PairsCase> {};

TEST_P(LinkPairs, Split)
{
    EXPECT_EQ(splitPairs(GetParam().line), GetParam().pairs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkPairs,
    ::testing::Values(
        PairsCase{"QuotedPathThenSecondPair", R"(filename="C:\My Designs\rose.pes" prefix=rose)",
                  {{"filename", R"(C:\My Designs\rose.pes)"}, {"prefix", "rose"}}},
        PairsCase{"UnquotedValueRunsToTheLastBlankBeforeTheNextKey", "title=My red rose size=big",
                  {{"title", "My red rose"}, {"size", "big"}}},
        PairsCase{"BlanksAroundValuesAreTrimmed", "  a=  1   b=2  ", {{"a", "1"}, {"b", "2"}}},
        // The key is taken as it stands, up to the "=".
        PairsCase{"KeyKeepsBlanksBeforeEquals", "key =value", {{"key ", "value"}}},
        // No blank between a value's start and the next "=": empty value, and the end.
        PairsCase{"NoBlankBeforeNextEqualsEndsParsing", "a=1 b=x=y c=3", {{"a", "1"}, {"b", ""}}},
        PairsCase{"ValueMissingAtTheEnd", "prefix=", {{"prefix", ""}}},
        PairsCase{"QuotedValueKeepsInnerBlanks", R"(title=" a b " x=1)", {{"title", " a b "}, {"x", "1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct TrimCase {
    std::string value;
    std::string trimmed;
};

void PrintTo(const TrimCase& c, std::ostream* os)
{
    *os << c.value;
}

class LinkTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(LinkTrim, BlanksFirstThenOneQuoteAtEachEnd)
{
    EXPECT_EQ(trimValue(GetParam().value), GetParam().trimmed) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkTrim,
                         ::testing::Values(TrimCase{R"(  "a b"  )", "a b"}, TrimCase{R"("a)", "a"}, TrimCase{R"(a")", "a"},
                                           TrimCase{R"(""x"")", R"("x")"}, TrimCase{R"(" x ")", " x "},
                                           TrimCase{"   ", ""}, TrimCase{"\"", ""}));

// --- Options files --------------------------------------------------------------------------

struct OptionsCase {
    const char* name;
    std::string content;
    Parameters options;
};

void PrintTo(const OptionsCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkOptionsFile : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(LinkOptionsFile, Lines)
{
    TempFolder folder;
    EXPECT_EQ(readOptionsFile(folder.write("options.txt", GetParam().content)), GetParam().options);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkOptionsFile,
    ::testing::Values(
        // Only the line feed goes: the carriage return ends each value.
        OptionsCase{"CarriageReturnStays", "prefix=rose\r\nhoop=100*100\r\n", {{"prefix", "rose\r"}, {"hoop", "100*100\r"}}},
        OptionsCase{"SplitAtFirstEqualsUntrimmed", "junk line\n a = x=y \n=v\n", {{" a ", " x=y "}, {"", "v"}}},
        // 300 characters: a piece of 255 ("k=" and 253 v), then 45 v without "=".
        OptionsCase{"LongLineSecondPieceWithoutEqualsIsSkipped", "k=" + std::string(298, 'v') + "\n",
                    {{"k", std::string(253, 'v')}}},
        OptionsCase{"LongLineSecondPieceIsAPairOfItsOwn", "k=" + std::string(253, 'v') + "m=2\n",
                    {{"k", std::string(253, 'v')}, {"m", "2"}}},
        OptionsCase{"LastLineWithoutLineFeed", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Parameters as stored ------------------------------------------------------------------

struct FolderCase {
    std::string fileName;
    std::optional<std::string> folder;
};

void PrintTo(const FolderCase& c, std::ostream* os)
{
    *os << c.fileName;
}

class LinkReadDirectory : public ::testing::TestWithParam<FolderCase> {};

TEST_P(LinkReadDirectory, CutAtTheLastSeparatorOfEitherKind)
{
    EXPECT_EQ(readDirectoryOf(GetParam().fileName), GetParam().folder) << GetParam().fileName;
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkReadDirectory,
                         ::testing::Values(FolderCase{R"(C:\My Designs\rose.pes)", R"(C:\My Designs)"},
                                           FolderCase{"/home/anna/designs/rose.pes", "/home/anna/designs"},
                                           FolderCase{R"(/a/b\c.pes)", "/a/b"}, FolderCase{R"(a\b/c.pes)", R"(a\b)"},
                                           FolderCase{"/rose.pes", "/"}, FolderCase{"rose.pes", std::nullopt}));

TEST(LinkParameters, FileNameAlsoGivesReadDirectory)
{
    EXPECT_EQ(collectParameters(R"(filename="C:\My Designs\rose.pes" prefix=rose)"),
              (Parameters{{"filename", R"(C:\My Designs\rose.pes)"}, {"ReadDirectory", R"(C:\My Designs)"}, {"prefix", "rose"}}));
    EXPECT_EQ(collectParameters("FileName=/home/anna/rose.pes"),
              (Parameters{{"FileName", "/home/anna/rose.pes"}, {"ReadDirectory", "/home/anna"}}));
    EXPECT_EQ(collectParameters("filename=rose.pes"), (Parameters{{"filename", "rose.pes"}}));
}

TEST(LinkParameters, OptionsFileIsStoredInPlaceOfItsKey)
{
    TempFolder folder;
    std::string options = folder.write("my options.txt", "filename=C:\\cards\\rose.pes\r\nhoop=100*100\r\noptions=x\r\n");
    EXPECT_EQ(collectParameters("first=1 OPTIONS=\"" + options + "\" last=2"),
              (Parameters{{"first", "1"},
                          {"filename", "C:\\cards\\rose.pes\r"},
                          {"ReadDirectory", "C:\\cards"},
                          {"hoop", "100*100\r"},
                          {"options", "x\r"},  // stored, not opened: no chains of files
                          {"last", "2"}}));
    // A file that cannot be opened is skipped.
    EXPECT_EQ(collectParameters("options=" + (folder.path() / "missing").string() + " last=2"), (Parameters{{"last", "2"}}));
}

}  // namespace
