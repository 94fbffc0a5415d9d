#pragma once

// The conversion of a lot's PostScript document to PDF by Ghostscript, run
// as a child process with a deadline.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Spawn.h"

// How long Ghostscript may run before it is killed.
constexpr int64_t GS_TIMEOUT_MS = 60000;

// ExeFolder + Ghostscript's program name ("gs") when that file exists, else
// the program of that name found on the PATH, else the path beside the
// executable (which the conversion then reports missing).
std::string FindGhostscript(const std::string& ExeFolder);
// Ghostscript's arguments after the program name. A "%" of the PDF path is
// doubled (Ghostscript reads "%d" there as a page number); a relative path
// is given as "./path" so that it can never read as an option.
std::vector<std::string> GhostscriptArguments(const std::string& PSFile,
                                              const std::string& PDFFile);
// Runs Ghostscript with a deadline of GS_TIMEOUT_MS, writing to a hidden
// name beside PDFFile ("." + name + ".part"); once Ghostscript ended with
// code 0, its PDF is flushed to disk under PDFFile. True when that was
// done. A PDF left by a failed or killed run is removed (unless it was there
// before), so an incomplete file never passes for the lot's report.
bool ConvertPStoPDF(const std::string& PSFile, const std::string& PDFFile,
                    const std::string& GsExe);

// --- Test seams ------------------------------------------------------------------
// Runs the converter: program path, arguments after it, deadline in ms.
using TConverterRunner = std::function<platform::TSpawnResult(
    const std::string& Program, const std::vector<std::string>& Args, int64_t DeadlineMs)>;
// Replaces the runner (an empty function restores the real one).
void SetConverterRunnerForTesting(TConverterRunner Runner);
// Replaces the deadline (0 restores GS_TIMEOUT_MS).
void SetConverterDeadlineForTesting(int64_t DeadlineMs);
