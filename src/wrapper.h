// kestrum-run: the deployment entry point. It runs the kestrum.exe of its
// own folder as a child, keeps the report, judges it by kestrum's own
// lines, logs the run and ends with a status that fleet engines act on.
// A process boundary keeps kestrum.exe as it is and turns its crash into a
// status; the wrapper never gives a status for a run it did not make or a
// report it could not read back.
#pragma once

#include <windows.h>

#include <string_view>

// Its statuses, besides kestrum.exe's own non-zero status (a crash), which
// is passed on.
namespace WrapperStatus {
constexpr DWORD Removed = 0;     // nothing of the product left
constexpr DWORD NotWritten = 1;  // report folder or file not made: kestrum.exe not started
constexpr DWORD Left = 2;        // the report says something stayed
constexpr DWORD Unjudged = 3;    // kestrum ran; its report not written whole or not read back
constexpr DWORD Busy = 1618;     // another run or wrapper, or the report held: try again later
constexpr DWORD RestartPending = 3010;
constexpr DWORD KestrumMissing = 9009;     // no kestrum.exe beside the wrapper (cmd's code)
constexpr DWORD KestrumNotStarted = 9010;  // there, but the system would not start it
}  // namespace WrapperStatus

// The log is rotated to kestrum-run.lo_ (the one older file kept) when a
// run starts and finds it this long or longer; a run's own entries come on
// top, so it stays within this bound and one run.
constexpr ULONGLONG RunLogBound = 1 << 20;

// Kestrum's own lines that the verdict reads, counted by line: one that
// holds the text counts, wherever it stands in the line, so that a path
// holding such a text errs away from 0, never towards it.
struct ReportCounts {
  int stayed = 0;   // "STAYED: "
  int failed = 0;   // "FAILED to ", "..FAILED: "
  int gaveUp = 0;   // "FAILED: another ": the run waited for another too long and did nothing
  int restart = 0;  // "RESTART: "
};
ReportCounts CountReportLines(std::string_view report);
DWORD StatusOfReport(const ReportCounts& counts);

// The whole wrapper run, from the process's command line; its status.
DWORD RunWrapper();
