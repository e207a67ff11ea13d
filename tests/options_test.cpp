#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qmr {
namespace {

ParsedCommandLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "qmr");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return parse_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseArguments, RootsAndPatternsAreTakenVerbatimInOrder) {
  const auto parsed = parse({"/FROM:C:\\data", "-to:/tmp/a b%s", "/FILES:*.txt;*.doc", "/files:*.c",
                             "/EX:", "/EX:a*"});
  EXPECT_EQ(parsed.request, Request::kRun);
  EXPECT_EQ(parsed.options.source_root, "C:\\data");
  EXPECT_EQ(parsed.options.dest_root, "/tmp/a b%s");
  EXPECT_EQ(parsed.options.include_patterns, (PatternList{"*.txt;*.doc", "*.c"}));
  EXPECT_EQ(parsed.options.exclude_patterns, (PatternList{"", "a*"}));
}

TEST(ParseArguments, LastRootAndLastModeWin) {
  const auto parsed = parse({"/FROM:a", "/FROM:b", "/TO:c", "/TO:", "/COPYALL", "/UPDATE"});
  EXPECT_EQ(parsed.options.source_root, "b");
  EXPECT_EQ(parsed.options.dest_root, "");
  EXPECT_EQ(parsed.options.mode, SyncMode::kUpdate);

  EXPECT_EQ(parse({"/UPDATE", "/COPYONLY"}).options.mode, SyncMode::kCopyOnly);
  EXPECT_EQ(parse({"/UPDATE", "-delonly"}).options.mode, SyncMode::kDelOnly);
  EXPECT_EQ(parse({"/DELONLY", "/CopyAll"}).options.mode, SyncMode::kCopyAll);
  EXPECT_EQ(parse({"/DELONLY", "/UPDATE2"}).options.mode, SyncMode::kUpdate);
  EXPECT_EQ(parse({}).options.mode, SyncMode::kUpdate);
}

TEST(ParseArguments, PrefixKeywordsAcceptAnythingAfterThem) {
  EXPECT_TRUE(parse({"/quietly"}).options.quiet);
  EXPECT_TRUE(parse({"-QUIET"}).options.quiet);
  EXPECT_FALSE(parse({"/QUIE"}).options.quiet);
  EXPECT_EQ(parse({"/COPYONLYX"}).options.mode, SyncMode::kCopyOnly);
}

TEST(ParseArguments, ThreadsTakesAWorkerCountAndNothingElse) {
  EXPECT_EQ(parse({}).options.threads, 0u) << "the run chooses";
  EXPECT_EQ(parse({"/THREADS:4"}).options.threads, 4u);
  EXPECT_EQ(parse({"-threads:1"}).options.threads, 1u);
  EXPECT_EQ(parse({"/THREADS:64"}).options.threads, 64u);
  EXPECT_EQ(parse({"/THREADS:x", "/THREADS:3"}).options.threads, 3u) << "the last one wins";
  for (const char* bad : {"/THREADS:", "/THREADS:0", "/THREADS:65", "/THREADS:4x", "/THREADS:-1",
                          "/THREADS:99999999999", "/THREADS: 2"}) {
    const auto parsed = parse({"/THREADS:2", bad});
    EXPECT_TRUE(parsed.options.threads_invalid) << bad;
    EXPECT_EQ(parsed.options.threads, 0u) << bad;
  }
  EXPECT_FALSE(parse({"/THREADS"}).options.threads_invalid) << "no colon: an unknown option";
}

TEST(ParseArguments, WholeKeywordsMustStandAlone) {
  EXPECT_TRUE(parse({"/r"}).options.recurse);
  EXPECT_TRUE(parse({"-R"}).options.recurse);
  EXPECT_FALSE(parse({"/RECURSE"}).options.recurse);
  EXPECT_FALSE(parse({"/Rx"}).options.recurse);
  EXPECT_EQ(parse({"/HELP"}).request, Request::kRun);
  EXPECT_EQ(parse({"/??"}).request, Request::kRun);
}

TEST(ParseArguments, UnknownKeysAndPlainArgumentsAreIgnored) {
  const auto parsed = parse({"C:\\data", "FROM:x", "/BOGUS", "", "/", "-", "/TO:d"});
  EXPECT_EQ(parsed.request, Request::kRun);
  EXPECT_EQ(parsed.options.source_root, "");
  EXPECT_EQ(parsed.options.dest_root, "d");
  EXPECT_FALSE(parsed.options.recurse);
  EXPECT_FALSE(parsed.options.quiet);
  EXPECT_TRUE(parsed.options.include_patterns.empty());
}

TEST(ParseArguments, HelpStopsParsingWhereItStands) {
  for (const char* help : {"/H", "/h", "-?", "/?", "-H"}) {
    const auto parsed = parse({"/QUIET", "/FROM:a", help, "/TO:b", "/R"});
    EXPECT_EQ(parsed.request, Request::kHelp) << help;
    EXPECT_EQ(parsed.options.source_root, "a");
    EXPECT_EQ(parsed.options.dest_root, "") << "arguments after help were read";
    EXPECT_FALSE(parsed.options.recurse);
  }
}

TEST(ParseArguments, ListOnlyIsAPrefixKeywordAndDoubleDashWordsAreRequests) {
  EXPECT_TRUE(parse({"/LISTONLY"}).options.list_only);
  EXPECT_TRUE(parse({"-listonlyx"}).options.list_only);
  EXPECT_FALSE(parse({"/LIST"}).options.list_only);
  EXPECT_EQ(parse({"/FROM:a", "--help", "/TO:b"}).request, Request::kHelp);
  EXPECT_EQ(parse({"/FROM:a", "--help", "/TO:b"}).options.dest_root, "");
  EXPECT_EQ(parse({"--version", "/?"}).request, Request::kVersion);
  EXPECT_EQ(parse({"--HELP"}).request, Request::kHelp);
  EXPECT_EQ(parse({"--Version"}).request, Request::kVersion);
  EXPECT_EQ(parse({"--versions", "--"}).request, Request::kRun);
}

// Ignoring these would change what the user asked to keep: they refuse the
// run. Every other unknown argument is ignored with a warning.
TEST(ParseArguments, PreviewRequestsDoubleDashOptionsAndMisspeltValueKeywordsRefuse) {
  struct Case {
    const char* argument;
    const char* hint;
  };
  for (const Case& c : {Case{"--dry-run", "/LISTONLY"}, Case{"--max-delete=5", ""},
                        Case{"--exclude=keep", "/EX:"}, Case{"--versions", ""}, Case{"--", ""},
                        Case{"-n", "/LISTONLY"}, Case{"/l", "/LISTONLY"}, Case{"/DRYRUN", "/LISTONLY"},
                        Case{"-List", "/LISTONLY"}, Case{"/LISTONY", "/LISTONLY"}, Case{"/COPYONL", "/COPYONLY"},
                        Case{"/LISTNOLY", "/LISTONLY"}, Case{"/XCOPYONLY", "/COPYONLY"},
                        Case{"/EXDIR=keep", "/EXDIR:keep"}, Case{"/from=x", "/FROM:x"}, Case{"/TO=d", "/TO:d"},
                        Case{"/FILES=*.c", "/FILES:*.c"}, Case{"/EX=a", "/EX:a"}, Case{"/THREADS=2", "/THREADS:2"},
                        Case{"/MAXDEL=5", ""}, Case{"/LOG=f", ""}}) {
    const auto parsed = parse({"/FROM:a", "/TO:b", c.argument});
    ASSERT_EQ(parsed.ignored.size(), 1u) << c.argument;
    EXPECT_TRUE(parsed.refused()) << c.argument;
    EXPECT_EQ(parsed.ignored[0].hint, c.hint) << c.argument;
    EXPECT_EQ(ignored_text(parsed.ignored[0]).rfind(std::string("qmr: refusing to run with unknown option ") +
                                                        c.argument, 0), 0u) << ignored_text(parsed.ignored[0]);
  }
  for (const char* still_runs : {"/FROMAGE", "/TOTAL", "/FILES", "/EXTRA", "/UPDAT", "/COPY", "/DEL", "/QUIE",
                                 "/RR", "/HH", "/", "-", "plain", "/X:1", "/EXCLUDE:a", "/LISTONLYX"}) {
    EXPECT_FALSE(parse({still_runs}).refused()) << still_runs;
  }
  EXPECT_EQ(parse({"/UPDAT"}).ignored[0].hint, "/UPDATE");
  EXPECT_EQ(parse({"/FILES"}).ignored[0].hint, "/FILES:");
  EXPECT_EQ(parse({"/RR"}).ignored[0].hint, "/R");
  EXPECT_EQ(parse({"/X:1"}).ignored[0].hint, "");
}

TEST(OneTypoApart, CountsOneEditOfAnyKind) {
  EXPECT_TRUE(one_typo_apart("LISTONY", "listonly"));   // dropped
  EXPECT_TRUE(one_typo_apart("LISTONLLY", "LISTONLY"));  // added
  EXPECT_TRUE(one_typo_apart("LISTONLX", "LISTONLY"));   // changed
  EXPECT_TRUE(one_typo_apart("LITSONLY", "LISTONLY"));   // swapped
  EXPECT_FALSE(one_typo_apart("LISTONLY", "listonly"));  // the same word
  EXPECT_FALSE(one_typo_apart("LTSIONLY", "LISTONLY"));
  EXPECT_FALSE(one_typo_apart("LISTON", "LISTONLY"));
  EXPECT_FALSE(one_typo_apart("", ""));
  EXPECT_TRUE(one_typo_apart("", "R"));
}

TEST(ParseArguments, BytesOfAnyKindAndLongValuesSurviveWhole) {
  const std::string long_value(100000, 'x');
  const auto parsed = parse({"/FROM:" + long_value, "/TO:\xe9t\xe9/%n%s", "/FILES:\xff*"});
  EXPECT_EQ(parsed.options.source_root, long_value);
  EXPECT_EQ(parsed.options.dest_root, "\xe9t\xe9/%n%s");
  EXPECT_EQ(parsed.options.include_patterns, PatternList{"\xff*"});
}

}  // namespace
}  // namespace qmr
