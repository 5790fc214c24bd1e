
#include <gtest/gtest.h>
#include <langinfo.h>
#include <unistd.h>
#include <QCoreApplication>

#include "support/log.h"
#include "support/text.h"
#include "tests/common/stdout_capture.h"

namespace {

// "升级文件下载失败！" in UTF-8 (27 bytes) and in code page 936 (18 bytes).
const std::string kFailureUtf8 =
    "\xE5\x8D\x87\xE7\xBA\xA7\xE6\x96\x87\xE4\xBB\xB6\xE4\xB8\x8B\xE8\xBD\xBD\xE5\xA4\xB1\xE8"
    "\xB4\xA5\xEF\xBC\x81";
const std::string kFailure936 =
    "\xC9\xFD\xBC\xB6\xCE\xC4\xBC\xFE\xCF\xC2\xD4\xD8\xCA\xA7\xB0\xDC\xA3\xA1";

QString FailureText() {
  return QString::fromUtf8(kFailureUtf8);
}

// The conversions under code page 936, whichever way that code page was chosen.
void ExpectCodePage936Conversions() {
  StdoutCapture capture;
  const std::string ansi = CStringToAnsi(FailureText());
  const std::string out = capture.Stop();

  EXPECT_EQ(ansi.size(), 18u);
  EXPECT_EQ(ansi, kFailure936);
  EXPECT_EQ(out, "pChar=" + kFailure936 + ", charCount=9, byteSize=18\n");

  const std::string utf8 = AnsiToUtf8(kFailure936);
  EXPECT_EQ(utf8.size(), 27u);
  EXPECT_EQ(utf8, kFailureUtf8);
}

class CodePage936 : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = SystemCodePage();
    ASSERT_TRUE(SetSystemCodePage("CP936"));
  }
  void TearDown() override { SetSystemCodePage(saved_); }

 private:
  std::string saved_;
};

TEST_F(CodePage936, FailureMessageRoundTrips) {
  // Asking for a UTF-8 console, as the service operations do, changes no conversion.
  SetConsoleOutputCodePage(kCodePageUtf8);
  ExpectCodePage936Conversions();
}

TEST_F(CodePage936, UnmappableCharactersBecomeReplacementsAndNothingIsLost) {
  StdoutCapture capture;
  // An emoji (a surrogate pair) and a lone surrogate have no code page 936 form.
  QString text = QString::fromUtf8(
                     "A\xF0\x9F\x98\x80"
                     "B") +
                 QChar(0xD800) + QString("C升");
  const std::string ansi = CStringToAnsi(text);
  capture.Stop();
  EXPECT_EQ(ansi, "A?B?C\xC9\xFD");
}

TEST_F(CodePage936, IllFormedNarrowTextStaysTotal) {
  // 0xFF never starts a character; a lead byte at the very end is cut off.
  EXPECT_EQ(AnsiToUtf8("A\xFF"
                       "B"),
            "A\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(AnsiToUtf8("A\xC9"), "A\xEF\xBF\xBD");
  EXPECT_EQ(AnsiToUtf8(kFailure936 + std::string("\0tail", 5)), kFailureUtf8);
}

TEST_F(CodePage936, LongTextIsConvertedWhole) {
  // Longer than the converter's working buffer.
  QString text;
  for (int i = 0; i < 5000; ++i)
    text += FailureText();
  StdoutCapture capture;
  const std::string ansi = CStringToAnsi(text);
  capture.Stop();
  ASSERT_EQ(ansi.size(), 5000u * 18u);
  EXPECT_EQ(AnsiToUtf8(ansi).size(), 5000u * 27u);
}

// UTF-16 units, each ill-formed sequence one replacement, the end at the first NUL.
TEST(Utf8ToWide, CountsUtf16UnitsAndStaysTotal) {
  const QString text = Utf8ToWide("ASE\xE8\x8A\xAF\xE7\x89\x87");  // "ASE芯片", 9 bytes
  EXPECT_EQ(text.size(), 5);
  EXPECT_EQ(text, QString::fromUtf8("ASE芯片"));
  // Outside the basic plane: one character, two units.
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80").size(), 2);
  const QChar r(0xFFFD);
  EXPECT_EQ(Utf8ToWide("a\xC3(b"), QString("a") + r + "(b");
  EXPECT_EQ(Utf8ToWide("a\x80\x80z"), QString("a") + r + r + "z");
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80x"), QString(r) + r + r + "x");  // an encoded surrogate
  EXPECT_EQ(Utf8ToWide("ok\xE8\x8A"), QString("ok") + r);            // cut off at the end
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), QString("ab"));
}

TEST(Conversions, UnknownCodesetIsRefused) {
  const std::string saved = SystemCodePage();
  EXPECT_FALSE(SetSystemCodePage("NO-SUCH-CODESET"));
  EXPECT_FALSE(SetSystemCodePage(""));
  EXPECT_EQ(SystemCodePage(), saved);
}

TEST(Log, LineIsLabelValueNewlineAndIsFlushed) {
  StdoutCapture capture;
  LogLine("pos=", static_cast<std::uint8_t>(95));
  // Without anybody flushing, the line must already be out.
  EXPECT_EQ(capture.Peek(), "pos=95\n");
  LogLine("bytes=", std::string("\xC9\xFD\0x", 4), ", n=", -7, ", big=", std::int64_t{1} << 40);
  EXPECT_EQ(capture.Stop(),
            "pos=95\nbytes=" + std::string("\xC9\xFD\0x", 4) + ", n=-7, big=1099511627776\n");
}

TEST(Log, BrokenOutputIsNoErrorAndSilencesNothingAfterIt) {
  PrepareStandardStreams();
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // the reader has gone: writes fail with EPIPE
  const int saved = dup(STDOUT_FILENO);
  dup2(ends[1], STDOUT_FILENO);
  close(ends[1]);
  LogLine("lost=", 1);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  StdoutCapture capture;
  LogLine("kept=", 2);
  EXPECT_EQ(capture.Stop(), "kept=2\n");
}

// Run only by the CTest entry that starts this binary under the zh_CN.GBK locale: the code
// page comes from the environment, as in the tool, and survives Qt's switch to UTF-8.
TEST(SystemLocale, Gbk) {
  InitSystemCodePage();
  int argc = 1;
  char name[] = "support_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  EXPECT_EQ(SystemCodePage(), "GBK");
  ExpectCodePage936Conversions();
}

}  // namespace
