#include "report.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

bool QuietFlag = false;
bool BootstrapperOnlyFlag = false;
ScanTally Found;

namespace {

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
void WriteUtf8(const std::wstring& text) {
  if (text.empty()) return;
  LineOpen = text.back() != L'\n';
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void WriteReportV(const wchar_t* format, va_list args) { WriteUtf8(FormatText(format, args)); }

}  // namespace

void WriteReport(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteReportV(format, args);
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
    held_->append(FormatText(format, args));
  else
    WriteReportV(format, args);
  va_end(args);
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
