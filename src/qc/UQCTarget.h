#pragma once

// QC target values: for each QC level (1 to 4) and reagent, the reaction the
// laboratory expects, read from a tab-separated file beside the executable.
// A reading is judged on positivity only: "OK" when the grade and the target
// agree on positive / not positive, "NOK" when they differ.
//
// The tables are written only by LoadQCTargets (during InitQCManager, before
// the processing thread starts) and only read afterwards.

#include <string>

constexpr const char* QC_TARGET_FILE = "QC_Target_qual.csv";

// Rebuilds the tables from the file and returns the number of data rows
// accepted (0 when the file is missing or holds fewer than two lines).
// Line 1 names the reagents from its fourth field on; each further line is
// level, two ignored fields, then one target per reagent column. An empty
// cell removes the target; a later row of the same level replaces values.
// The file is decoded by its byte-order mark, Windows-1252 without one.
int LoadQCTargets(const std::string& FilePath);

// The last digit 1 to 4 of the trimmed test name ("LOT 12" gives "2"), or
// empty.
std::string ExtractQCLevel(const std::string& TestName);

// The target of `Reagent` (letter case ignored) at `Level` ("1" to "4"), or
// empty when none is loaded.
std::string GetQCTargetValue(const std::string& Level, const std::string& Reagent);

// False for an empty text, "0", "-" and "NEG" (trimmed, case ignored); true
// for anything else, error grade texts included.
bool IsPositive(const std::string& V);

// "OK" when grade and target agree on positivity, "NOK" when not, empty
// when the target is blank.
std::string CheckQCResult(const std::string& Grade, const std::string& Target);
