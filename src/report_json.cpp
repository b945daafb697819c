// kestrum-scan's JSON form: the document made from the scan's findings and
// its report's text, as they were listed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"
#include "version.h"

namespace {

void AppendUtf8(std::string& out, unsigned long point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// A JSON string, in UTF-8, of a name exactly as the registry or the file
// system holds it. A registry name is any sequence of UTF-16 code units:
// a surrogate that is not half of a pair has no UTF-8 form, so it is
// written as its \uXXXX escape, which JSON allows and which a reader that
// keeps UTF-16 strings (.NET, so PowerShell) reads back as that very unit.
// Control characters (NUL, line breaks) are escaped as JSON requires.
void AppendString(std::string& out, std::wstring_view text) {
  out += '"';
  for (size_t at = 0; at < text.size(); ++at) {
    const unsigned long unit = static_cast<unsigned short>(text[at]);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const unsigned long next = at + 1 < text.size() ? static_cast<unsigned short>(text[at + 1]) : 0;
    if (unit == '"' || unit == '\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit == '\n') {
      out += "\\n";
    } else if (unit == '\r') {
      out += "\\r";
    } else if (unit == '\t') {
      out += "\\t";
    } else if (high && next >= 0xDC00 && next <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
      ++at;
    } else if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04lX", unit);
      out += escaped;
    } else {
      AppendUtf8(out, unit);
    }
  }
  out += '"';
}

// One object, its members written as they are added.
class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  ~JsonObject() { out_ += '}'; }
  JsonObject& Text(const char* name, std::wstring_view value) {
    AppendString(Member(name), value);
    return *this;
  }
  JsonObject& TextIfAny(const char* name, std::wstring_view value) { return value.empty() ? *this : Text(name, value); }
  JsonObject& Number(const char* name, long long value) {
    Member(name) += std::to_string(value);
    return *this;
  }

 private:
  std::string& Member(const char* name) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\": ";
    return out_;
  }
  std::string& out_;
  bool first_ = true;
};

// Where a registry finding is: its hive, and another user's SID.
JsonObject& Place(JsonObject& item, const Finding& finding) {
  return item.Text("hive", finding.place).TextIfAny("user", finding.user).Text("path", finding.path);
}

// The finding's item in "found", if it has one there.
bool AppendFound(std::string& out, const Finding& finding) {
  switch (finding.kind) {
    case FindingKind::Service:
      JsonObject(out).Text("kind", L"service").Text("name", finding.name).Text("state", finding.detail);
      return true;
    case FindingKind::Process:
      JsonObject(out).Text("kind", L"process").Text("image", finding.name).Number("processId", finding.number);
      return true;
    case FindingKind::Folder: {
      JsonObject item(out);
      item.Text("kind", L"folder").Text("path", finding.path).Number("entries", finding.number);
      if (finding.unlisted != 0) item.Number("unlisted", finding.unlisted);
      return true;
    }
    case FindingKind::Key: {
      JsonObject item(out);
      Place(item.Text("kind", L"key"), finding);
      if (finding.code) item.Number("code", *finding.code);
      return true;
    }
    case FindingKind::Value: {
      JsonObject item(out);
      Place(item.Text("kind", L"value"), finding).Text("name", finding.name);
      return true;
    }
    default: return false;
  }
}

bool AppendAtRestart(std::string& out, const Finding& finding) {
  if (finding.kind != FindingKind::ServiceRestart) return false;
  JsonObject(out).Text("kind", L"service").Text("name", finding.name);
  return true;
}

bool AppendShared(std::string& out, const Finding& finding) {
  if (finding.kind != FindingKind::SharedKey) return false;
  JsonObject item(out);
  Place(item, finding);
  return true;
}

// The finding's item in "notLookedAt", if it has one there: a folder found
// with folders in it that could not be listed has one in both.
bool AppendNotLookedAt(std::string& out, const Finding& finding) {
  switch (finding.kind) {
    case FindingKind::Folder:
      if (finding.unlisted == 0) return false;
      JsonObject(out).Text("kind", L"folder").Text("path", finding.path).Number("unlisted", finding.unlisted);
      return true;
    case FindingKind::ServiceUnread:
      JsonObject(out).Text("kind", L"service").Text("name", finding.name).Number("code", finding.code.value_or(0));
      return true;
    case FindingKind::ProcessUnopened:
      JsonObject(out)
          .Text("kind", L"process")
          .Text("image", finding.name)
          .Number("processId", finding.number)
          .Number("code", finding.code.value_or(0));
      return true;
    case FindingKind::BaseFolderUnknown:
      JsonObject(out).Text("kind", L"baseFolder").Text("name", finding.name).Text("base", finding.place);
      return true;
    case FindingKind::UserHiveUnopened:
      JsonObject(out).Text("kind", L"userRegistry").Text("user", finding.user).Number("code", finding.code.value_or(0));
      return true;
    default: return false;
  }
}

template <typename Append, typename Items>
void AppendArray(std::string& out, const char* name, const Items& items, Append append) {
  out += "  \"";
  out += name;
  out += "\": [";
  const char* separator = "\n    ";
  for (const auto& item : items) {
    std::string one;
    if (!append(one, item)) continue;
    out += separator;
    out += one;
    separator = ",\n    ";
  }
  out += separator[0] == ',' ? "\n  ],\n" : "],\n";
}

std::wstring ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &length) ? std::wstring(name, length) : std::wstring();
}

}  // namespace

const wchar_t* ProgramVersion() { return L"" KESTRUM_VERSION_TEXT; }
const wchar_t* ProgramBuild() { return sizeof(void*) == 8 ? L"64-bit" : L"32-bit"; }

std::string ScanDocument::Json(int status) const {
  std::string out = "{\n  \"version\": ";
  AppendString(out, ProgramVersion());
  out += ",\n  \"build\": ";
  AppendString(out, ProgramBuild());
  out += ",\n  \"machine\": ";
  AppendString(out, ComputerName());
  out += ",\n  \"options\": {\"bootstrapperOnly\": ";
  out += BootstrapperOnlyFlag ? "true" : "false";
  out += "},\n  \"status\": " + std::to_string(status) + ",\n";
  AppendArray(out, "found", findings_, AppendFound);
  AppendArray(out, "atNextRestart", findings_, AppendAtRestart);
  AppendArray(out, "sharedKeys", findings_, AppendShared);
  AppendArray(out, "notLookedAt", findings_, AppendNotLookedAt);
  out += "  \"counts\": ";
  JsonObject(out)
      .Number("services", Found.services)
      .Number("processes", Found.processes)
      .Number("folders", Found.folders)
      .Number("keys", Found.keys)
      .Number("values", Found.values)
      .Number("atNextRestart", Found.restarts)
      .Number("sharedKeys", Found.sharedKeys)
      .Number("notLookedAt", Found.unsearched);
  out += ",\n";
  // The text form, line by line: its last line feed ends the last line.
  std::vector<std::wstring_view> lines;
  for (size_t at = 0; at < text_.size();) {
    const size_t end = std::min(text_.find(L'\n', at), text_.size());
    lines.push_back(std::wstring_view(text_).substr(at, end - at));
    at = end + 1;
  }
  AppendArray(out, "lines", lines, [](std::string& one, std::wstring_view line) {
    AppendString(one, line);
    return true;
  });
  out.resize(out.size() - 2);  // the last array's comma
  out += "\n}\n";
  return out;
}
