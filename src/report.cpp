#include "report.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

bool QuietFlag = false;
bool BootstrapperOnlyFlag = false;
ScanTally Found;
ScanDocument* ReportDocument = nullptr;

namespace {

void WriteBytes(DWORD standardHandle, std::string_view bytes) {
  HANDLE output = GetStdHandle(standardHandle);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Whether the last piece written ended without a line feed.
bool LineOpen = false;

// Formats into a buffer that grows until the text fits: registry paths have
// no useful upper bound, and a report line must never be cut short.
std::wstring FormatText(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int length = vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (length >= 0 && static_cast<size_t>(length) < buffer.size())
      return std::wstring(buffer.data(), length);
    if (buffer.size() >= (1u << 24)) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

// UTF-8 keeps every character of a path intact, where the runtime's wide
// output would squeeze it through the ANSI code page. Line feeds stay as
// they are: the bytes written are exactly the report's texts.
std::string Utf8Of(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  return bytes;
}

void WriteUtf8(const std::wstring& text) {
  if (text.empty()) return;
  LineOpen = text.back() != L'\n';
  if (ReportDocument != nullptr) {
    ReportDocument->Append(text);
    return;
  }
  WriteBytes(STD_OUTPUT_HANDLE, Utf8Of(text));
}

void WriteReportV(const wchar_t* format, va_list args) { WriteUtf8(FormatText(format, args)); }

std::wstring Formatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatText(format, args);
  va_end(args);
  return text;
}

}  // namespace

void WriteReport(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteReportV(format, args);
  va_end(args);
}

void WriteOutput(std::string_view bytes) { WriteBytes(STD_OUTPUT_HANDLE, bytes); }

void WriteError(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteBytes(STD_ERROR_HANDLE, Utf8Of(FormatText(format, args)));
  va_end(args);
}

void Report(const wchar_t* format, ...) {
  if (QuietFlag) return;
  va_list args;
  va_start(args, format);
  WriteReportV(format, args);
  va_end(args);
}

void EndOpenLine() {
  if (LineOpen) Report(L"\n");
}

void Stage::Report(const wchar_t* format, ...) const {
  if (quiet) return;
  va_list args;
  va_start(args, format);
  if (held_ != nullptr)
    held_->text.append(FormatText(format, args));
  else
    WriteReportV(format, args);
  va_end(args);
}

void Stage::List(const Finding& finding) const {
  Found.Count(finding);
  if (quiet) return;
  if (held_ != nullptr) {
    held_->text.append(FindingLine(finding));
    held_->findings.push_back(finding);
    return;
  }
  if (ReportDocument != nullptr) ReportDocument->Add(finding);
  WriteUtf8(FindingLine(finding));
}

void Stage::Release(const HeldReport& held) const {
  if (quiet) return;
  if (held_ != nullptr) {
    held_->text.append(held.text);
    held_->findings.insert(held_->findings.end(), held.findings.begin(), held.findings.end());
    return;
  }
  if (ReportDocument != nullptr)
    for (const Finding& finding : held.findings) ReportDocument->Add(finding);
  WriteUtf8(held.text);
}

void List(const Finding& finding) { Stage().List(finding); }

void ScanTally::Count(const Finding& finding) {
  switch (finding.kind) {
    case FindingKind::Service: ++services; break;
    case FindingKind::Process: ++processes; break;
    case FindingKind::Folder:
      ++folders;
      if (finding.unlisted != 0) ++unsearched;
      break;
    case FindingKind::Key: ++keys; break;
    case FindingKind::Value: ++values; break;
    case FindingKind::SharedKey: ++sharedKeys; break;
    case FindingKind::ServiceRestart: ++restarts; break;
    default: ++unsearched; break;
  }
}

std::wstring FindingLine(const Finding& finding) {
  using namespace Message;
  const std::wstring shown = Printable(finding.user.empty() ? finding.path : finding.user + L'\\' + finding.path);
  const int code = static_cast<int>(finding.code.value_or(0));
  const int number = static_cast<int>(finding.number);
  switch (finding.kind) {
    case FindingKind::Service: return Formatted(ScanService, finding.name.c_str(), finding.detail);
    case FindingKind::Process: return Formatted(ScanProcess, finding.name.c_str(), finding.number);
    case FindingKind::Folder:
      if (finding.unlisted == 0) return Formatted(ScanFolder, finding.path.c_str(), number);
      return Formatted(ScanFolderPartly, finding.path.c_str(), number, static_cast<int>(finding.unlisted));
    case FindingKind::Key:
      return finding.code ? Formatted(ScanKeyFailed, shown.c_str(), code) : Formatted(ScanKey, shown.c_str());
    case FindingKind::Value: return Formatted(ScanValue, Printable(finding.name).c_str(), shown.c_str());
    case FindingKind::SharedKey: return Formatted(ScanSharedKey, shown.c_str());
    case FindingKind::ServiceUnread: return Formatted(ScanServiceFailed, finding.name.c_str(), code);
    case FindingKind::ProcessUnopened:
      return Formatted(ScanProcessFailed, finding.name.c_str(), finding.number, code);
    case FindingKind::BaseFolderUnknown: return std::wstring();
    case FindingKind::UserHiveUnopened: return Formatted(FailedToOpenUserHive, finding.user.c_str(), code);
    case FindingKind::ServiceRestart: return Formatted(ServiceGoesAtRestart, finding.name.c_str());
  }
  return std::wstring();
}

std::wstring Printable(std::wstring_view name) {
  std::wstring printable;
  printable.reserve(name.size());
  for (const wchar_t unit : name) {
    if (unit == L'\r' || unit == L'\n' || unit == L'\0' || unit == 0x0085 || unit == 0x2028 || unit == 0x2029) {
      wchar_t escaped[9];
      swprintf(escaped, 9, L"<U+%04X>", static_cast<unsigned>(unit));
      printable += escaped;
    } else {
      printable += unit;
    }
  }
  return printable;
}

void FormatLine(wchar_t (&LineBuffer)[LineBufferSize], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vswprintf_s(LineBuffer, LineBufferSize, format, args);
  va_end(args);
}

void FormatPattern(wchar_t (&PatternBuffer)[PatternBufferSize], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vswprintf_s(PatternBuffer, PatternBufferSize, format, args);
  va_end(args);
}
