// A private copy of a profile's hive file, to be loaded in place of the
// user's own: loading a hive holds its file (the user, logging on then,
// gets a temporary profile) and may write to it (pending log data is
// recovered into it). The copy lives in a folder of its own below the
// system's Windows folder's Temp that only SYSTEM and the administrators
// may enter, named as the hive it is loaded under, so that a later run can
// tell a killed run's copies by the same name. This is the mechanism; when
// a copy is read instead of the user's own file is the caller's.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class HiveCopy {
 public:
  // Copies file, and its transaction logs beside it (file.LOG, .LOG1,
  // .LOG2) when they are there, into a new folder called name. Each is read
  // with backup semantics, as itself: a link or folder in its place gives
  // ERROR_CANT_ACCESS_FILE. The folder is made afresh with its own DACL; a
  // name already taken (by anybody) gives ERROR_ALREADY_EXISTS.
  HiveCopy(const std::wstring& name, const std::wstring& file);
  // Deletes whatever is in the folder (the load adds logs of its own) and
  // the folder; what cannot go yet (a hive that did not unload) is left to
  // the next run.
  ~HiveCopy();
  HiveCopy(const HiveCopy&) = delete;
  HiveCopy& operator=(const HiveCopy&) = delete;

  [[nodiscard]] LONG result() const { return result_; }
  [[nodiscard]] const std::wstring& file() const { return file_; }

 private:
  std::wstring folder_;
  std::wstring file_;  // the copy of the hive file
  bool made_ = false;
  LONG result_;
};

// The names of the entries below the copies' place that begin "kestrum.".
std::vector<std::wstring> HiveCopyNames();

// Deletes the copy folder called name, with the files in it, when it is a
// folder (not a link) that SYSTEM, the administrators or the account this
// process runs as own: any user may make a folder of that name there, and
// it is then not a copy's.
void DeleteHiveCopy(const std::wstring& name);
