// The report's own rules, checked on the bytes that reach standard output.
#include <gtest/gtest.h>

#include "harness.h"
#include "report.h"

namespace {

TEST(Report, WritesUtf8WithLineFeedsExactlyAsGiven) {
  ReportCapture capture;
  WriteReport(Message::CurrentDirectory, L"C:\\\x00C9t\x00E9\\\x043A\x0438\x0442\\\x732B\\\xD83D\xDE00");
  WriteReport(Message::DeletingKey, L"SOFTWARE\\Velmoran");
  WriteReport(Message::Failed, 5);
  EXPECT_EQ(capture.Text(),
            "Current Directory: C:\\\xC3\x89t\xC3\xA9\\\xD0\xBA\xD0\xB8\xD1\x82\\\xE7\x8C\xAB\\\xF0\x9F\x98\x80\n"
            "Deleting SOFTWARE\\Velmoran..FAILED: 5\n");
}

TEST(Report, NegativeAndLargeCodesArePrintedAsSigned32BitIntegers) {
  ReportCapture capture;
  WriteReport(Message::Failed, static_cast<int>(0x80070005));
  WriteReport(Message::Failed, 1018);
  EXPECT_EQ(capture.Text(), "FAILED: -2147024891\nFAILED: 1018\n");
}

TEST(Report, QuietFlagSilencesReportButNotWriteReport) {
  ReportCapture capture;
  {
    QuietScope quiet(true);
    Report(Message::DeletingFilesHeader);
  }
  {
    QuietScope loud(false);
    Report(Message::Success);
  }
  EXPECT_EQ(capture.Text(), "SUCCESS\n");
}

TEST(Report, StageObjectKeepsTheFlagItWasCreatedWith) {
  ReportCapture capture;
  QuietScope quiet(true);
  const Stage quietStage;
  QuietFlag = false;
  const Stage reportingStage;
  QuietFlag = true;
  quietStage.Report(Message::FoundService);
  reportingStage.Report(Message::ServiceStopped);
  EXPECT_EQ(capture.Text(), "Service stopped.\n");
}

TEST(Report, FormattingBuffersTakeWideStrings) {
  wchar_t LineBuffer[LineBufferSize];
  FormatLine(LineBuffer, Message::TerminatingProcess, L"OrvClient.exe");
  EXPECT_STREQ(LineBuffer, L"Terminating process: OrvClient.exe");

  wchar_t PatternBuffer[PatternBufferSize];
  const std::wstring longFolder = L"C:\\" + std::wstring(MAX_PATH, L'p') + L"\\Quillfen";
  FormatPattern(PatternBuffer, L"%ls\\*.*", longFolder.c_str());
  EXPECT_EQ(std::wstring(PatternBuffer), longFolder + L"\\*.*");
}

TEST(Report, StageHeadersHaveADashForEveryLetterOfTheirTitle) {
  for (const wchar_t* header :
       {Message::StoppingServiceHeader, Message::DeletingServiceHeader, Message::KillingProcessesHeader,
        Message::DeletingFilesHeader, Message::DeletingRegistryHeader, Message::DeletingInstallerHeader,
        Message::DeletingBootstrapperHeader}) {
    const std::wstring text = header;
    ASSERT_EQ(text.front(), L'\n');
    ASSERT_EQ(text.back(), L'\n');
    const size_t titleEnd = text.find(L'\n', 1);
    const std::wstring title = text.substr(1, titleEnd - 1);
    const std::wstring dashes = text.substr(titleEnd + 1, text.size() - titleEnd - 2);
    EXPECT_EQ(dashes, std::wstring(title.size(), L'-')) << Utf8(title);
  }
}

}  // namespace
