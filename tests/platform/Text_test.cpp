#include "platform/Text.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(CodePages, Utf8ToAnsiMapsWindows1252AndReplacesTheRest) {
  EXPECT_EQ(Utf8ToAnsi("é—€"), "\xE9\x97\x80");
  EXPECT_EQ(Utf8ToAnsi("Œuvre ŒŸ"), "\x8Cuvre \x8C\x9F");
  EXPECT_EQ(Utf8ToAnsi("日本"), "??");
  EXPECT_EQ(Utf8ToAnsi("a\xFF"
                       "b"),
            "a?b");  // invalid UTF-8 byte
  EXPECT_EQ(Utf8ToAnsi("plain"), "plain");
}

TEST(CodePages, AnsiToUtf8RoundTripsEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = AnsiToUtf8(all);
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_EQ(Utf8ToAnsi(utf8), all);
  EXPECT_EQ(AnsiToUtf8("H\xE9l\xE8ne \x97"), "Hélène —");
}

TEST(CodePages, DecodeTextFollowsTheByteOrderMark) {
  EXPECT_EQ(DecodeText("\xEF\xBB\xBF"
                       "caf\xC3\xA9",
                       TNoBomEncoding::ansi),
            "café");
  EXPECT_EQ(DecodeText(std::string("\xFF\xFE"
                                   "a\0\xE9\0",
                                   6),
                       TNoBomEncoding::ansi),
            "aé");
  EXPECT_EQ(DecodeText(std::string("\xFE\xFF\0a\0\xE9", 6), TNoBomEncoding::ansi), "aé");
  // A surrogate pair in UTF-16 LE.
  EXPECT_EQ(DecodeText(std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), TNoBomEncoding::ansi),
            "\xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeText("caf\xE9", TNoBomEncoding::ansi), "café");
  EXPECT_EQ(DecodeText("caf\xC3\xA9", TNoBomEncoding::utf8_or_ansi), "café");
  EXPECT_EQ(DecodeText("caf\xE9", TNoBomEncoding::utf8_or_ansi), "café");
  // Result files: Windows-1252 behind a UTF-8 mark keeps its accents, and
  // UTF-16 marks are plain Windows-1252 bytes.
  EXPECT_EQ(DecodeText("\xEF\xBB\xBF"
                       "caf\xE9",
                       TNoBomEncoding::utf8_or_ansi),
            "café");
  EXPECT_EQ(DecodeText("\xEF\xBB\xBF"
                       "caf\xE9",
                       TNoBomEncoding::ansi),
            "caf\uFFFD");
  EXPECT_EQ(DecodeText("\xFF\xFE"
                       "a",
                       TNoBomEncoding::utf8_or_ansi),
            "ÿþa");
}

TEST(Lines, SplitLinesAcceptsEveryLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitLines("").empty());
  EXPECT_EQ(SplitLines("\n"), (std::vector<std::string>{""}));
}

TEST(StringRules, TrimRemovesBlanksAndControlCharacters) {
  EXPECT_EQ(Trim("\x02 \t abc \r\n\x03"), "abc");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("é"), "é");  // bytes above 127 are never trimmed
}

TEST(StringRules, CaseFoldingTouchesAsciiLettersOnly) {
  EXPECT_EQ(UpperAscii("abc-é"), "ABC-é");
  EXPECT_TRUE(SameTextAscii("QC_Lot", "qc_LOT"));
  EXPECT_LT(CompareTextAscii("a.tra", "B.tra"), 0);
  EXPECT_TRUE(LessTextThenBytes("B", "b"));  // equal without case: bytes decide
  EXPECT_FALSE(LessTextThenBytes("b", "B"));
}

TEST(StringRules, SplitKeepEmptyKeepsEveryPiece) {
  EXPECT_EQ(SplitKeepEmpty("a||b|", '|'), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(SplitKeepEmpty("", '|'), (std::vector<std::string>{""}));
}

TEST(StringRules, IntegerParsing) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {{"12", true, 12},
                        {"-5", true, -5},
                        {"+7", true, 7},
                        {"$1F", true, 31},
                        {"0x1f", true, 31},
                        {"2147483647", true, 2147483647},
                        {"2147483648", false, 0},
                        {"-2147483648", true, INT32_MIN},
                        {"99999999999999", false, 0},
                        {"", false, 0},
                        {"12a", false, 0},
                        {" 12", false, 0},
                        {"0x", false, 0},
                        {"-", false, 0}};
  for (const Case& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  EXPECT_EQ(StrToIntDef("x", 30), 30);
}

TEST(StringRules, Utf8CutsNeverSplitACharacter) {
  EXPECT_EQ(Utf8Length("héé"), 3u);
  EXPECT_EQ(Utf8Left("héé", 2), "hé");
  EXPECT_EQ(Utf8Right("héé", 2), "éé");
  EXPECT_EQ(Utf8Mid("abcdé", 3, 5), "dé");
}

TEST(StringRules, FormatHandlesLongResults) {
  const std::string longText(2000, 'x');
  EXPECT_EQ(Format("[%s] %d", longText.c_str(), 42), "[" + longText + "] 42");
  EXPECT_EQ(Format("%s", ""), "");
}
